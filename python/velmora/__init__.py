"""Velmora for Python: EEG and biosignal headsets over serial links.

The whole library with numpy arrays, no C++ compiler needed:

* ``decode(data)`` turns a captured headset byte stream into one dict per
  packet, exactly as ``velmora decode`` prints them;
* ``hrv(rr_ms)`` computes LF, HF, LF/HF and the energy level of RR intervals;
  ``hrv_standard(rr_ms)`` the field's standard measures (SDNN, RMSSD, pNN50,
  Welch LF and HF in ms², ...), comparable with published figures;
* ``blinks(samples)`` and ``rr_intervals(samples)`` run the library's blink
  and heart-beat detectors over arrays of raw samples;
* ``Headset`` streams from a headset (or a simulated one): ``read()`` gives
  numpy arrays on the headset's sample clock (``Data``), ``deliveries()``
  dicts every 20 ms; it records the stream log (``record``) and BDF+/EDF+
  (``edf``), and ``annotate()`` stamps markers; ``read_recording(path)``
  reads the stream log back;
* ``to_mne(data)`` turns ``Data`` into an MNE-Python ``RawArray``;
* ``Simulator`` publishes a simulated headset, so that tests and notebooks
  need no hardware; ``generate()`` makes a capture of one offline.

Threads.  The library runs a thread of its own for the module's life: the
thread that runs its main run loop, where the serial ports report, and where
received bytes are framed, decoded and recorded.  It starts with the first
``Headset``, ``Simulator`` or ``decode()`` and ends when the interpreter
exits.  Deliveries and events are copied there (or on the library's dispatch
thread) into a queue; Python code never runs on a library thread, so a slow
loop or one that raises never holds the library up.  Python takes them on
the thread that iterates ``Headset.deliveries()``, where the ``on_connect``,
``on_disconnect`` and ``on_error`` callbacks run too.  Every wait releases
the GIL and lets Ctrl-C (KeyboardInterrupt) through within 50 ms. A process
forked after the thread started (multiprocessing's default on Linux) has no
such thread: it can decode and analyse, but a Headset there raises
RuntimeError; start workers that stream with the "spawn" method.

Logging.  The library's log lines go to the ``logging`` logger "velmora" at
level INFO, passed on by the next call into the module on a Python thread.

The device folder.  Simulated headsets (and any tty a user publishes as a
"tty.NAME" link) are found in one folder per process: ``device_dir`` of the
first ``Headset`` or ``Simulator`` (else ``$VELMORA_DEVICE_DIR``, else
``$XDG_RUNTIME_DIR/velmora/devices``).  The library watches the folder it
first used for the rest of the process, so a later ``device_dir`` must name
the same folder.
"""

from __future__ import annotations

import atexit
import logging
import math
import os
import threading
import weakref
from typing import Any, Callable, Dict, Iterator, Optional, Sequence, Tuple, Union

import numpy as np

from . import _velmora
from ._data import SAMPLE_RATE, VALUE_KEYS, VALUE_NAMES, Data, _scale
from ._mne import to_mne

__all__ = [
    "decode", "hrv", "hrv_standard", "blinks", "rr_intervals", "read_recording", "generate",
    "Headset", "Simulator", "Data", "to_mne", "device_folder",
    "PORT_ERROR", "HEADSET_SWITCHED_OFF", "PORT_REMOVED", "RECORDING_TAGS", "LIBRARY_VERSION", "SAMPLE_RATE",
]

__version__ = "0.1.0"
#: The version number the library reports (its ``getVersion``).
LIBRARY_VERSION: int = _velmora.LIBRARY_VERSION

#: Error codes passed to ``on_error``: a port error (streaming goes on), the
#: headset was switched off, the port was removed from the system.
PORT_ERROR = 0
HEADSET_SWITCHED_OFF = 2
PORT_REMOVED = 3

#: The row tags of the stream log, as keys of ``read_recording``'s result.
RECORDING_TAGS = ("PQ", "HR", "ATT", "MED", "RAW")

#: The row type of ``read_recording``'s arrays.
RECORDING_DTYPE = np.dtype([("time", "<f8"), ("value", "<i4")])

#: What ``hrv`` says when the intervals are too few (as ``velmora hrv`` does);
#: ``{total}`` is the sum of the intervals after the first.
HRV_TOO_SHORT = ("too short: the intervals after the first add up to {total} ms; the calculation needs at least "
                 "63500 ms (about 64 s of heartbeats); give a longer list")

_log = logging.getLogger("velmora")
_INT32 = np.iinfo(np.int32)
ArrayLike = Union[Sequence[int], np.ndarray]


def _flush_log() -> None:
    for line in _velmora.take_log_lines():
        _log.info("%s", line.decode("utf-8", "backslashreplace"))


def _text(value: Any, what: str) -> str:
    """A str (or path) argument checked for what C++ and the file system
    cannot hold: a NUL character would cut it short there."""
    text = os.fspath(value) if isinstance(value, os.PathLike) else value
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    if not isinstance(text, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if "\0" in text:
        raise ValueError(f"{what} {text!r} holds a NUL character")
    return text


def _path(value: Any, what: str) -> bytes:
    """A path argument as the bytes the file system sees (any name, UTF-8 or not)."""
    return os.fsencode(os.path.abspath(_text(value, what)))


def _int32_array(values: Any, what: str) -> np.ndarray:
    """``values`` as a one-dimensional int32 array; whole numbers only."""
    a = np.asarray(values)
    if a.ndim != 1:
        raise ValueError(f"{what} must be a one-dimensional sequence of integers, not of shape {a.shape}")
    if a.size == 0:
        return np.zeros(0, dtype=np.int32)
    if a.dtype.kind not in "iuf":
        raise TypeError(f"{what} must hold integers, not {a.dtype}")
    if a.dtype.kind == "f" and not (np.all(np.isfinite(a)) and np.all(a == np.trunc(a))):
        raise ValueError(f"{what} must hold whole numbers")
    if a.min() < _INT32.min or a.max() > _INT32.max:
        raise ValueError(f"{what} must lie within the 32-bit integer range")
    return np.ascontiguousarray(a, dtype=np.int32)


# ------------------------------------------------------------------ offline

def decode(data: Union[bytes, bytearray, memoryview]) -> list:
    """Decode a captured headset byte stream.

    Returns one dict per packet whose checksum matched and that wrote at
    least one value, in stream order: the same objects as ``velmora decode``
    prints. Each holds the data-dictionary keys the packet set (integers)
    and, for raw-sample packets, "raw" as a numpy int32 array of the
    packet's samples. Bytes that are not packets are skipped, as the headset
    link skips them.
    """
    if not isinstance(data, bytes):
        data = bytes(memoryview(data))
    try:
        return _velmora.decode(data)
    finally:
        _flush_log()


def hrv(rr_ms: ArrayLike) -> Dict[str, Union[float, int]]:
    """LF, HF, LF/HF and the energy level of a list of RR intervals (ms).

    Entry 0 gives the tachogram's first value; the intervals after it must
    add up to at least 63,500 ms (about 64 s of heartbeats), else
    ``ValueError``. Every interval must be above 0. Returns
    ``{"LF": float, "HF": float, "LF/HF": float, "energy": int}``; "LF/HF"
    is inf or nan when HF is 0.
    """
    rr = _int32_array(rr_ms, "rr_ms")
    bad = np.flatnonzero(rr <= 0)
    if bad.size:
        raise ValueError(f"rr_ms[{bad[0]}] = {rr[bad[0]]} is not an RR interval (intervals are in ms and above 0)")
    try:
        result = _velmora.hrv(rr)
    finally:
        _flush_log()
    if result is None:
        raise ValueError(HRV_TOO_SHORT.format(total=int(rr[1:].sum(dtype=np.int64))))
    return result


def hrv_standard(rr_ms: Union[Sequence[float], np.ndarray]) -> Dict[str, Union[float, int]]:
    """The standard heart-rate-variability measures of RR intervals (ms).

    Every interval must lie within 200..3000 ms and all together add up to at
    least 64,000 ms, else ``ValueError`` says why. Returns, in this order,
    ``beats`` (int), ``meanRR``, ``SDNN`` (n - 1), ``RMSSD`` (ms), ``pNN50``
    (%), ``meanHR`` (bpm), and ``LF``, ``HF`` (ms²): Welch's power spectral
    density of the intervals resampled at 4 Hz by a natural cubic spline
    (periodic Hann windows of min(256, samples), half overlap), integrated by
    the trapezoid rule over the bins in 0.04..0.15 and 0.15..0.40 Hz;
    ``LF/HF``, ``LFnu`` and ``HFnu`` (%). These differ by method from
    ``hrv()``, the library's own measure.
    """
    rr = np.asarray(rr_ms, dtype=np.float64)
    if rr.ndim != 1:
        raise ValueError(f"rr_ms must be a one-dimensional sequence of intervals in ms, not of shape {rr.shape}")
    return _velmora.hrv_standard(np.ascontiguousarray(rr))


def blinks(samples: ArrayLike, poor_signal: Union[int, ArrayLike] = 0) -> Tuple[np.ndarray, np.ndarray]:
    """Run the blink detector over raw EEG samples (512 per second).

    ``poor_signal`` is the signal-quality value for every sample (a number,
    or one per sample); above 50 it resets the detector, as the headset link
    does. Returns ``(index, strength)``: the indexes of the samples that
    completed a blink (int64) and each blink's strength code 1..255 (int32).
    Nothing is detected before the detector has seen 512 samples.
    """
    x = _int32_array(samples, "samples")
    if np.ndim(poor_signal) == 0:
        q = np.full(x.shape, _int32_array([poor_signal], "poor_signal")[0], dtype=np.int32)
    else:
        q = _int32_array(poor_signal, "poor_signal")
    if q.shape != x.shape:
        raise ValueError(f"poor_signal has {q.shape[0]} values for {x.shape[0]} samples")
    return _velmora.blinks(x, q)


def rr_intervals(samples: ArrayLike) -> Tuple[np.ndarray, np.ndarray]:
    """Run the heart-beat detector over ECG-type raw samples (512 per second).

    Returns ``(index, rr_ms)``: the indexes of the samples that completed an
    RR interval (int64) and each interval in milliseconds (int32). The first
    beat found only starts the count, as in the headset link.
    """
    return _velmora.rr_intervals(_int32_array(samples, "samples"))


def read_recording(path: Union[str, os.PathLike], uv_per_count: Optional[float] = None) -> Dict[str, np.ndarray]:
    """Read a stream log ("ambrix.log.csv") that ``Headset(record=...)`` wrote.

    Returns a dict with every tag of ``RECORDING_TAGS`` ("PQ", "HR", "ATT",
    "MED", "RAW"), each a structured array of the tag's rows in file order
    with the fields "time" (seconds since 1970, float64) and "value"
    (int32). Raises ``ValueError`` naming the line for anything that is not
    a stream log row; the process's locale does not matter.

    With ``uv_per_count`` (microvolts per count: the headset's gain, which
    only its maker can give) the dict also holds "RAW_uV", the RAW rows'
    values in microvolts (float64); without it the values are counts.
    """
    scale = _scale(uv_per_count)
    _text(path, "path")
    with open(path, "rb") as f:
        data = f.read()
    try:
        columns = _velmora.read_stream_log(data)
    except ValueError as e:
        raise ValueError(f"{os.fspath(path)}: {e}") from None
    out = {}
    for tag in RECORDING_TAGS:
        times, values = columns[tag]
        rows = np.empty(len(times), dtype=RECORDING_DTYPE)
        rows["time"] = times
        rows["value"] = values
        out[tag] = rows
    if scale is not None:
        out["RAW_uV"] = out["RAW"]["value"] * scale
    return out


def generate(mode: str = "eeg", seconds: float = 10.0, seed: int = 1) -> bytes:
    """The byte stream a ``Simulator`` would send, made offline.

    ``mode`` is "eeg" (blinks), "ecg" (heart beats at signal quality 200) or
    "mixed"; ``seconds`` of headset time at 512 samples per second.
    """
    return _velmora.generate(mode, float(seconds), int(seed))


# ------------------------------------------------------------------ the device folder

_folder_lock = threading.Lock()
_folder: Optional[str] = None


def _use_device_folder(device_dir: Optional[Union[str, os.PathLike]]) -> str:
    """Fixes the process's device folder on first use; checks it later."""
    global _folder
    with _folder_lock:
        if _folder is None:
            wanted = (_text(device_dir, "device_dir") if device_dir is not None
                      else os.environ.get("VELMORA_DEVICE_DIR"))
            if wanted:
                _velmora.set_device_folder(os.fsencode(os.path.abspath(wanted)))
            _folder = _velmora.device_folder()
        elif (device_dir is not None
              and os.path.realpath(_text(device_dir, "device_dir")) != os.path.realpath(_folder)):
            raise ValueError(f"device_dir {os.fspath(device_dir)!r}: this process already uses the device folder "
                             f"{_folder!r} (the library watches one folder per process); pass that one or none")
        return _folder


def device_folder() -> str:
    """The device folder this process uses (fixing the default if none was chosen yet)."""
    return _use_device_folder(None)


# ------------------------------------------------------------------ live objects

_open_objects: "weakref.WeakSet[Any]" = weakref.WeakSet()


@atexit.register
def _at_exit() -> None:
    for obj in list(_open_objects):
        try:
            obj.close()
        except OSError as e:  # a recording's loss, with nobody left to tell but the log
            _log.error("%s", e)
    _velmora.shutdown()
    _flush_log()


class Simulator:
    """A simulated headset on a pseudo-terminal, published in the device folder.

    It streams packets as the headset would, at ``speed`` times real time,
    for ``seconds`` of headset time (None: until closed), from a seeded
    synthesis: "eeg" (background EEG with blinks, signal quality 0..50),
    "ecg" (R waves with varying RR intervals, signal quality 200) or "mixed"
    (30 s of each in turn). ``Headset()`` finds it by its name, which begins
    with an accepted prefix ("Kova", "Trell", "Halobelt", "Quorvex").

    Use it as a context manager; it starts streaming on construction.
    """

    def __init__(self, name: str = "KovaSim-SPPDev", mode: str = "eeg", speed: float = 1.0,
                 seconds: Optional[float] = None, seed: int = 1,
                 device_dir: Optional[Union[str, os.PathLike]] = None) -> None:
        name = _text(name, "name")
        if not name or "/" in name or "." in name:
            raise ValueError(f"name {name!r}: a device name is not empty and has no '/' or '.'")
        _use_device_folder(device_dir)
        self.name = name
        self._sim = _velmora.Simulator(os.fsencode(name), mode, float(speed),
                                       None if seconds is None else float(seconds), int(seed))
        try:
            self._sim.start()
        finally:
            _flush_log()
        _open_objects.add(self)

    @property
    def device_path(self) -> str:
        """The "tty.NAME" link in the device folder."""
        return os.fsdecode(self._sim.device_path)

    @property
    def finished(self) -> bool:
        """The stream has ended (its seconds sent, a failure, or close())."""
        return self._sim.finished

    @property
    def samples_sent(self) -> int:
        """Raw samples sent so far."""
        return self._sim.samples_sent

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Wait until the stream has ended; False when ``timeout`` seconds passed first."""
        return self._sim.wait(timeout)

    def unplug(self) -> None:
        """Take the headset away (its link and pty vanish) until replug()."""
        self._sim.unplug()

    def replug(self) -> None:
        """Publish the headset again on a new pty; the stream goes on where it was."""
        self._sim.replug()

    def close(self) -> None:
        """Stop streaming and remove the link. Safe to call again."""
        self._sim.stop()
        _open_objects.discard(self)
        _flush_log()

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<velmora.Simulator {self.name} {'finished' if self.finished else 'streaming'}>"


def _connect_argument(port: Optional[str]) -> Optional[str]:
    """What the session is given for ``port``: as ``velmora stream --port``
    reads it, a name selects the listed port of that name, a path (anything
    with a "/") the port of the device it names."""
    if port is None:
        return None
    port = _text(port, "port")
    if not port:
        raise ValueError("port '': give a port's name or path (`velmora ports` lists them)")
    return port


class Headset:
    """A live stream from a headset: connects on construction.

    ``port`` picks the headset: None takes the first serial port whose name
    begins with "Kova", "Trell", "Halobelt" or "Quorvex"; a name (as
    ``velmora ports`` lists it) takes that port; a path (/dev/rfcomm0, a
    tty.NAME link) the port with that path. ``record`` names a folder to
    record the stream log "ambrix.log.csv" into, with ``flag`` bit 0 for raw
    rows and bit 1 for analysed rows. ``edf`` names a new BDF+ (".bdf",
    24-bit) or EDF+ (".edf", 16-bit) file to record to, as ``velmora stream
    --edf`` does (an existing file is never replaced). ``dispatch_interval``
    is the pause between deliveries in seconds. ``connect_timeout`` is how
    long to keep trying while no headset port opens (a headset just
    switched on or published may take a moment to be listed).

    ``uv_per_count`` is the headset's gain in microvolts per count, which
    only its maker can give: with it ``read()``'s ``Data`` has ``raw_uv``,
    ``to_mne`` types the raw channel as EEG in volts and the ``edf`` file
    stores microvolts (it takes 0.0001 to 300); without it the values stay
    counts, and the file says so. ``buffer_seconds`` of headset data (at least the
    default, ten minutes) wait for ``read()``; beyond that the oldest give
    way and ``dropped`` counts the raw samples lost. With ``reconnect``,
    ``read()`` connects again while the headset is lost (every 0.5 s) and
    ``Data.gaps`` notes the time it was away; without it, ``read()`` raises
    ``ConnectionError`` once everything that came before the loss was read.

    Raises ``ConnectionError`` saying what the serial ports show when no
    headset port opens, ``OSError`` when recording cannot start,
    ``ValueError`` for a bad argument (a path or name with a NUL character
    among them). One Headset may be open per process at a time (the
    library's packet framer is process-wide).

    Take the stream with ``read()`` (arrays) or ``deliveries()`` (dicts);
    each sees all of it. Use it as a context manager, or call close().
    """

    _open_lock = threading.Lock()
    _open: "Optional[weakref.ref[Headset]]" = None

    def __init__(self, port: Optional[str] = None, device_dir: Optional[Union[str, os.PathLike]] = None,
                 record: Optional[Union[str, os.PathLike]] = None, flag: int = 3, dispatch_interval: float = 0.02,
                 *, connect_timeout: float = 2.0, edf: Optional[Union[str, os.PathLike]] = None,
                 uv_per_count: Optional[float] = None, buffer_seconds: float = 600.0, reconnect: bool = False,
                 on_connect: Optional[Callable[[str], Any]] = None,
                 on_disconnect: Optional[Callable[[], Any]] = None,
                 on_error: Optional[Callable[[int], Any]] = None) -> None:
        self._session = None
        self._closed = True
        if not 0 <= int(flag) <= 255:
            raise ValueError(f"flag {flag}: 0 to 255 (1 records raw samples, 2 analysed values, 3 both)")
        if not (isinstance(dispatch_interval, (int, float)) and math.isfinite(dispatch_interval)
                and dispatch_interval > 0):
            raise ValueError(f"dispatch_interval {dispatch_interval!r}: a positive number of seconds")
        if not (math.isfinite(connect_timeout) and connect_timeout >= 0):
            raise ValueError(f"connect_timeout {connect_timeout!r}: 0 or more seconds")
        if not (isinstance(buffer_seconds, (int, float)) and math.isfinite(buffer_seconds)
                and buffer_seconds >= 600):
            raise ValueError(f"buffer_seconds {buffer_seconds!r}: 600 (ten minutes) or more")
        self.uv_per_count = _scale(uv_per_count)
        self._buffer_samples = int(buffer_seconds * SAMPLE_RATE)
        record_path = None
        if record is not None:
            record_path = _path(record, "record")
            if not os.path.isdir(record_path):
                raise FileNotFoundError(f"cannot record to {os.fspath(record)!r}: no such folder")
        edf_path = None
        if edf is not None:
            edf_path = _path(edf, "edf")
            if not edf_path.lower().endswith((b".bdf", b".edf")):
                raise ValueError(f"edf {os.fspath(edf)!r}: the name must end in .bdf (BDF+, 24-bit) or .edf "
                                 f"(EDF+, 16-bit)")
            if os.path.lexists(edf_path):
                raise FileExistsError(f"edf {os.fspath(edf)!r}: the file exists, and a recording never replaces "
                                      f"one; choose another name or remove it first")
        target = _connect_argument(port)
        _use_device_folder(device_dir)
        self.on_connect = on_connect
        self.on_disconnect = on_disconnect
        self.on_error = on_error
        with Headset._open_lock:
            other = Headset._open() if Headset._open else None
            if other is not None and not other._closed:
                raise RuntimeError("another velmora.Headset is open in this process; close it first")
            self._closed = False
            Headset._open = weakref.ref(self)
        try:
            self._session = _velmora.Session(None if target is None else os.fsencode(target), record_path,
                                             int(flag), float(dispatch_interval), float(connect_timeout),
                                             edf_path, self._buffer_samples, bool(reconnect),
                                             self.uv_per_count)
        except BaseException:
            self._closed = True
            raise
        finally:
            _flush_log()
        _open_objects.add(self)

    def read(self, seconds: Optional[float] = None, samples: Optional[int] = None,
             timeout: Optional[float] = None) -> Data:
        """New headset data as a ``Data``.

        Waits until ``seconds`` (or ``samples`` raw samples) of new data have
        arrived and returns exactly that much, keeping the rest for the next
        call; with neither it returns whatever is buffered now (possibly
        nothing). When ``timeout`` seconds pass first it returns what arrived
        (a slow headset never raises). After ``close()`` it returns what is
        left. A headset lost without ``reconnect`` ends the wait: the data
        that came before the loss is returned, and the next call raises
        ``ConnectionError``. The wait releases the GIL and lets Ctrl-C
        through.

        Times follow the headset's sample clock: within one connection raw
        samples are 1/512 s apart (within 0.5 %), anchored to the host's
        clock at the connection's first sample and kept near it by a smooth
        drift correction (at most 0.5 % faster or slower, so a simulated
        headset running faster than real time, or a backlog the port held
        before it was opened, puts the times ahead of the host's clock
        rather than bunching the samples). Blinks, beats and 1 Hz values carry the time of the raw
        sample they arrived with.
        """
        if seconds is not None and samples is not None:
            raise ValueError("give seconds or samples, not both")
        if seconds is not None:
            if not (isinstance(seconds, (int, float)) and math.isfinite(seconds) and seconds >= 0):
                raise ValueError(f"seconds {seconds!r}: 0 or more")
            samples = round(seconds * SAMPLE_RATE)
        elif samples is not None and (int(samples) != samples or samples < 0):
            raise ValueError(f"samples {samples!r}: a whole number, 0 or more")
        if samples is not None and samples > self._buffer_samples:
            raise ValueError(f"{samples} samples: more than the buffer holds ({self._buffer_samples}); read less at "
                             f"a time or give Headset a larger buffer_seconds")
        if timeout is not None and not (timeout >= 0):
            raise ValueError(f"timeout {timeout!r}: 0 or more seconds, or None")
        if self._session is None:
            return Data(uv_per_count=self.uv_per_count)
        got = self._session.read(None if samples is None else int(samples), timeout)
        _flush_log()
        series = dict(got["series"])
        for name, key in zip(VALUE_NAMES, VALUE_KEYS):
            series[name] = series.pop(key)
        data = Data(got["raw"], got["t"], uv_per_count=self.uv_per_count, markers=got["markers"],
                    gaps=got["gaps"], **series)
        if got["lost"] and not any(a.size for a in data.arrays().values() if a.ndim):
            raise ConnectionError(f"lost the headset: {self._session.loss_reason or 'its port closed'}")
        return data

    def annotate(self, text: str) -> float:
        """Stamp a marker at the newest sample: it appears in ``read()``'s
        ``Data.markers`` and, when recording with ``edf``, in the file.
        Returns the marker's time."""
        text = _text(text, "text")
        if self._session is None or self._closed:
            raise ValueError("the headset is closed")
        return self._session.annotate(text)

    @property
    def recording_error(self) -> Optional[str]:
        """None while the stream log (``record``) has lost nothing, else why
        ("cannot write to PATH: No space left on device"); also after
        close(), which then raises ``OSError``."""
        error = self._session.recording_error if self._session is not None else b""
        return os.fsdecode(error) if error else None

    @property
    def dropped(self) -> int:
        """Raw samples dropped because ``read()`` did not take them in time."""
        return self._session.dropped if self._session is not None else 0

    @property
    def connected(self) -> bool:
        """True while the headset's port is open and streaming; False after
        close(), or once the port was closed or removed."""
        return self._session is not None and self._session.connected

    @property
    def recording(self) -> Optional[str]:
        """The stream log's path when recording, else None."""
        path = self._session.recording_path if self._session is not None else b""
        return os.fsdecode(path) if path else None

    def deliveries(self, timeout: Optional[float] = None) -> Iterator[Dict[str, Any]]:
        """Yield the deliveries in order, as dicts.

        Each holds the keys decoded since the previous delivery (integers;
        "raw" a numpy int32 array of the raw samples in arrival order) and
        "t", the delivery's time in seconds since 1970. Connection events
        call ``on_connect(name)``, ``on_disconnect()`` and ``on_error(code)``
        on this thread as they come. The iteration ends when the headset is
        closed or lost (after everything that came before), or when nothing
        came for ``timeout`` seconds (None: wait without limit). Nothing is
        dropped while the loop body runs, however long it takes.
        """
        while self._session is not None:
            kind, value = self._session.next(timeout)
            _flush_log()
            if kind == "data":
                yield value
            elif kind == "connect":
                if self.on_connect is not None:
                    self.on_connect(value)
            elif kind == "disconnect":
                if self.on_disconnect is not None:
                    self.on_disconnect()
            elif kind == "error":
                if self.on_error is not None:
                    self.on_error(value)
            else:  # "end" or "timeout"
                return

    def close(self) -> None:
        """Disconnect, and stop recording (the files stay where they are).
        Deliveries and data already made can still be taken. Safe to call
        again. Raises ``OSError`` naming the loss, after closing everything,
        when a recording lost something (a full disk, say)."""
        session = self._session
        if session is None or self._closed:
            return
        try:
            session.close()
        finally:
            self._closed = True
            _open_objects.discard(self)
            _flush_log()
        if session.close_error:
            raise OSError(os.fsdecode(session.close_error))

    def __enter__(self) -> "Headset":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<velmora.Headset {'connected' if self.connected else 'not connected'}>"
