"""``velmora.to_mne``: a ``Data`` as an MNE-Python ``RawArray``.

MNE is imported only when ``to_mne`` is called, so the rest of the package
works without it.
"""

from __future__ import annotations

import datetime
from typing import Any, Optional

import numpy as np

from ._data import SAMPLE_RATE, VALUE_NAMES, Data, _scale

#: The annotation descriptions ``to_mne`` writes besides the markers' texts.
BLINK, BEAT, DISCONNECTED = "blink", "beat", "BAD_disconnected"


def _held(series: np.ndarray, t: np.ndarray) -> np.ndarray:
    """The value in force at each time of `t`: the latest one stamped at or
    before it (NaN before the first)."""
    at = np.searchsorted(series["t"], t, side="right") - 1
    out = np.full(t.shape, np.nan)
    known = at >= 0
    out[known] = series["value"][at[known]]
    return out


def to_mne(data: Data, uv_per_count: Optional[float] = None) -> Any:
    """``data`` as an ``mne.io.RawArray`` at 512 Hz.

    The raw channel "Raw" is typed "eeg" in volts when a scale is known
    (``uv_per_count``, else the one ``data`` carries), otherwise "misc" in
    counts. The 1 Hz values follow as "misc" channels, each holding its
    latest value (NaN before the first). Annotations, with fixed
    descriptions so that ``mne.events_from_annotations`` gives a handful of
    event ids: "blink" at each blink, "beat" at each beat, each marker's own
    text, and "BAD_disconnected" over the junction where the headset was
    away (the array has no samples for that time, as EDF+C files have none:
    the span covers the last sample before and the first after, so epochs
    across it are rejected). Strengths and intervals stay in ``data``.
    ``meas_date`` is the first sample's time.
    """
    try:
        import mne
    except ImportError as e:
        raise ImportError("velmora.to_mne needs MNE-Python: install Debian's python3-mne "
                          "(or `python3 -m pip install mne`)") from e
    if data.raw.size == 0:
        raise ValueError("data holds no raw samples: nothing to convert")
    scale = _scale(uv_per_count) if uv_per_count is not None else data.uv_per_count
    signals = np.empty((1 + len(VALUE_NAMES), data.raw.size))
    signals[0] = data.raw * (scale * 1e-6) if scale is not None else data.raw
    for i, name in enumerate(VALUE_NAMES, start=1):
        signals[i] = _held(getattr(data, name), data.t)
    info = mne.create_info(["Raw"] + list(VALUE_NAMES), SAMPLE_RATE,
                           ["eeg" if scale is not None else "misc"] + ["misc"] * len(VALUE_NAMES))
    raw = mne.io.RawArray(signals, info, verbose="error")
    raw.set_meas_date(datetime.datetime.fromtimestamp(float(data.t[0]), tz=datetime.timezone.utc))

    def sample_of(times: np.ndarray) -> np.ndarray:
        return np.minimum(np.searchsorted(data.t, times), data.raw.size - 1)

    onsets, durations, texts = [], [], []
    for times, text in ((data.blinks["t"], BLINK), (data.rr["t"], BEAT)):
        onsets.append(sample_of(times) / SAMPLE_RATE)
        durations.append(np.zeros(times.size))
        texts += [text] * times.size
    onsets.append(sample_of(data.markers["t"]) / SAMPLE_RATE)
    durations.append(np.zeros(data.markers.size))
    texts += [str(s) for s in data.markers["text"]]
    after = sample_of(data.gaps["end"])
    onsets.append(np.maximum(after - 1, 0) / SAMPLE_RATE)
    durations.append(np.full(after.size, 2.0 / SAMPLE_RATE))
    texts += [DISCONNECTED] * after.size
    raw.set_annotations(mne.Annotations(np.concatenate(onsets), np.concatenate(durations), texts))
    return raw
