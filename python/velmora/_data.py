"""``velmora.Data``: a stretch of a headset's stream as numpy arrays.

Every time is in seconds since 1970 (float64) on the headset's sample clock
(see ``Headset.read``), so that all arrays of one ``Data`` share one time
axis and ``raw[i]`` was taken at ``t[i]``.
"""

from __future__ import annotations

import math
import os
from typing import Any, Dict, Iterable, Optional, Union

import numpy as np

# Raw samples per second of the headset's sample clock, as the module that
# stamps the times counts them.
from ._velmora import SAMPLE_RATE

#: The 1 Hz values: ``Data`` attribute names and the data dictionary's keys.
VALUE_NAMES = ("poor_signal", "attention", "meditation", "eegDelta", "eegTheta", "eegLowAlpha", "eegHighAlpha",
               "eegLowBeta", "eegHighBeta", "eegLowGamma", "eegHighGamma")
VALUE_KEYS = ("poorSignal", "vScoreAttention", "vScoreMeditation") + VALUE_NAMES[3:]

_EVENT_FIELDS = {"blinks": "strength", "rr": "ms", "heart_rate": "bpm"}
GAP_DTYPE = np.dtype([("start", "<f8"), ("end", "<f8")])


def _stamped(t: Any, values: Any, field: str) -> np.ndarray:
    """A structured array with fields "t" (float64) and `field` (int32)."""
    t = np.asarray(t, dtype=np.float64).ravel()
    values = np.asarray(values, dtype=np.int32).ravel()
    if t.shape != values.shape:
        raise ValueError(f"{t.size} times for {values.size} values")
    out = np.empty(t.size, dtype=[("t", "<f8"), (field, "<i4")])
    out["t"], out[field] = t, values
    return out


def _markers(t: Any, texts: Any) -> np.ndarray:
    texts = np.asarray(list(texts) if not isinstance(texts, np.ndarray) else texts, dtype=str).ravel()
    t = np.asarray(t, dtype=np.float64).ravel()
    if t.shape != texts.shape:
        raise ValueError(f"{t.size} marker times for {texts.size} texts")
    out = np.empty(t.size, dtype=[("t", "<f8"), ("text", texts.dtype if texts.size else "<U1")])
    out["t"], out["text"] = t, texts
    return out


def _scale(uv_per_count: Any) -> Optional[float]:
    """A checked microvolts-per-count factor, or None."""
    if uv_per_count is None:
        return None
    value = float(uv_per_count)
    if math.isnan(value) and np.ndim(uv_per_count) == 0 and isinstance(uv_per_count, np.ndarray):
        return None  # how a saved Data without a scale stores it
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"uv_per_count {uv_per_count!r}: a positive number of microvolts per count")
    return value


class Data:
    """A stretch of a headset's stream as numpy arrays.

    * ``raw`` (int32, the headset's counts) and ``t`` (float64, one time per
      raw sample, 1/512 s apart within one connection);
    * ``raw_uv`` (float64 microvolts) when ``uv_per_count`` is known, else
      None: the values stay counts. The factor is the headset's gain, which
      only its maker can give;
    * the 1 Hz values, each a structured array with fields "t" and "value":
      ``poor_signal``, ``attention``, ``meditation`` and the band powers
      ``eegDelta``, ``eegTheta``, ``eegLowAlpha``, ``eegHighAlpha``,
      ``eegLowBeta``, ``eegHighBeta``, ``eegLowGamma``, ``eegHighGamma``;
    * ``blinks`` ("t", "strength"), ``rr`` ("t", "ms": the RR interval that
      ended at that beat), ``heart_rate`` ("t", "bpm"), each at the time of
      the raw sample that completed it;
    * ``markers`` ("t", "text"): ``Headset.annotate`` texts;
    * ``gaps`` ("start", "end"): each time the headset was away.

    ``a + b`` (or ``Data.concatenate``) joins stretches; ``save(path)`` and
    ``Data.load(path)`` store them with ``np.savez`` (``arrays()`` gives
    the arrays by name for your own ``np.savez``; ``Data(**np.load(path))``
    reads them back).
    """

    def __init__(self, raw: Any = (), t: Any = (), *, uv_per_count: Any = None, **series: Any) -> None:
        self.raw = np.asarray(raw, dtype=np.int32).ravel()
        self.t = np.asarray(t, dtype=np.float64).ravel()
        if self.raw.shape != self.t.shape:
            raise ValueError(f"{self.t.size} times for {self.raw.size} raw samples")
        self.uv_per_count = _scale(uv_per_count)
        unknown = set(series) - set(VALUE_NAMES) - set(_EVENT_FIELDS) - {"markers", "gaps"}
        if unknown:
            raise TypeError(f"Data() got unexpected series {sorted(unknown)}")
        for name in VALUE_NAMES:
            setattr(self, name, self._series(series.get(name), "value"))
        for name, field in _EVENT_FIELDS.items():
            setattr(self, name, self._series(series.get(name), field))
        markers = series.get("markers")
        self.markers = _markers((), ()) if markers is None else (
            _markers(markers["t"], markers["text"]) if getattr(markers, "dtype", None) is not None
            and markers.dtype.names else _markers(*markers))
        gaps = series.get("gaps")
        self.gaps = np.zeros(0, dtype=GAP_DTYPE) if gaps is None else self._gaps(gaps)

    @staticmethod
    def _series(value: Any, field: str) -> np.ndarray:
        if value is None:
            return _stamped((), (), field)
        if getattr(value, "dtype", None) is not None and value.dtype.names:
            return _stamped(value["t"], value[value.dtype.names[1]], field)
        return _stamped(*value, field)

    @staticmethod
    def _gaps(value: Any) -> np.ndarray:
        if getattr(value, "dtype", None) is not None and value.dtype.names:
            starts, ends = value["start"], value["end"]
        else:
            starts, ends = value
        out = np.empty(np.size(starts), dtype=GAP_DTYPE)
        out["start"], out["end"] = starts, ends
        return out

    @property
    def raw_uv(self) -> Optional[np.ndarray]:
        """The raw samples in microvolts (float64), or None without ``uv_per_count``."""
        return None if self.uv_per_count is None else self.raw * self.uv_per_count

    @property
    def seconds(self) -> float:
        """The headset time the raw samples cover (samples / 512)."""
        return self.raw.size / SAMPLE_RATE

    def arrays(self) -> Dict[str, np.ndarray]:
        """Every array by name, for ``np.savez(path, **data.arrays())``."""
        out = {"raw": self.raw, "t": self.t,
               "uv_per_count": np.array(np.nan if self.uv_per_count is None else self.uv_per_count)}
        for name in VALUE_NAMES + tuple(_EVENT_FIELDS) + ("markers", "gaps"):
            out[name] = getattr(self, name)
        return out

    def save(self, path: Union[str, os.PathLike]) -> None:
        """Store with ``np.savez`` (no pickles: ``Data.load`` reads it back)."""
        np.savez(path, **self.arrays())

    @classmethod
    def load(cls, path: Union[str, os.PathLike]) -> "Data":
        """Read what ``save`` stored."""
        with np.load(path, allow_pickle=False) as f:
            return cls(**{name: f[name] for name in f.files})

    @classmethod
    def concatenate(cls, parts: Iterable["Data"]) -> "Data":
        """One Data of `parts` in order; their ``uv_per_count`` must agree."""
        parts = list(parts)
        scales = {p.uv_per_count for p in parts}
        if len(scales) > 1:
            raise ValueError(f"cannot join Data with different uv_per_count: {sorted(scales, key=str)}")

        def join(name: str) -> np.ndarray:
            arrays = [getattr(p, name) for p in parts]
            if not arrays[0].dtype.names:
                return np.concatenate(arrays) if arrays else np.zeros(0)
            return tuple(np.concatenate([a[f] for a in arrays]) for f in arrays[0].dtype.names)

        if not parts:
            return cls()
        series = {name: join(name) for name in VALUE_NAMES + tuple(_EVENT_FIELDS) + ("markers", "gaps")}
        return cls(join("raw"), join("t"), uv_per_count=parts[0].uv_per_count, **series)

    def __add__(self, other: "Data") -> "Data":
        if not isinstance(other, Data):
            return NotImplemented
        return Data.concatenate([self, other])

    def __repr__(self) -> str:
        unit = f"{self.uv_per_count} uV per count" if self.uv_per_count is not None else "counts (no uv_per_count)"
        return (f"<velmora.Data {self.raw.size} samples ({self.seconds:.1f} s), {unit}, {self.blinks.size} blinks, "
                f"{self.rr.size} beats, {self.markers.size} markers, {self.gaps.size} gaps>")
