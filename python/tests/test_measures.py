"""Measurements others can compare: the standard HRV measures against an
independent computation with scipy, and a BDF recorded with a gain as MNE
reads it (types, volts, event kinds, every blink and beat value)."""

import json
import math
import os
import subprocess
import time

import numpy as np
import pytest

import velmora

scipy_signal = pytest.importorskip("scipy.signal")
scipy_interpolate = pytest.importorskip("scipy.interpolate")

KEYS = ["beats", "meanRR", "SDNN", "RMSSD", "pNN50", "meanHR", "LF", "HF", "LF/HF", "LFnu", "HFnu"]


def reference(rr):
    """The standard measures as the field's tools compute them."""
    rr = np.asarray(rr, dtype=float)
    t = np.cumsum(rr) / 1000.0
    d = np.diff(rr)
    grid = t[0] + np.arange(int((t[-1] - t[0]) * 4) + 2) / 4.0
    grid = grid[grid <= t[-1]]
    x = scipy_interpolate.CubicSpline(t, rr, bc_type="natural")(grid)
    x = x - x.mean()
    n = min(256, len(x))
    f, p = scipy_signal.welch(x, fs=4, window="hann", nperseg=n, noverlap=n // 2, detrend=False)
    trapz = getattr(np, "trapezoid", None) or np.trapz
    lf_bins, hf_bins = (f >= 0.04) & (f < 0.15), (f >= 0.15) & (f < 0.40)
    lf, hf = trapz(p[lf_bins], f[lf_bins]), trapz(p[hf_bins], f[hf_bins])
    return {"beats": len(rr), "meanRR": rr.mean(), "SDNN": rr.std(ddof=1), "RMSSD": math.sqrt(np.mean(d * d)),
            "pNN50": 100.0 * np.mean(np.abs(d) > 50), "meanHR": 60000.0 / rr.mean(), "LF": lf, "HF": hf,
            "LF/HF": lf / hf, "LFnu": 100 * lf / (lf + hf), "HFnu": 100 * hf / (lf + hf)}


def modulated(hz, seconds=300, amplitude=40.0, seed=1):
    """Intervals around 850 ms swinging at `hz`, with a little noise."""
    rng = np.random.default_rng(seed)
    rr, t = [], 0.0
    while t < seconds:
        rr.append(850 + amplitude * math.sin(2 * math.pi * hz * t) + rng.normal(0, 5))
        t += rr[-1] / 1000
    return np.round(rr)


def ectopic():
    rr = modulated(0.1, amplitude=20, seed=4)
    rr[30::25] = 520  # a premature beat, then the compensatory pause
    rr[31::25] = 1180
    return rr


def ecg_beats():
    packets = velmora.decode(velmora.generate("ecg", 120, seed=9))
    samples = np.concatenate([p["raw"] for p in packets if "raw" in p])
    return velmora.rr_intervals(samples)[1]


@pytest.mark.parametrize("rr", [modulated(0.0, amplitude=0, seed=2), modulated(0.1), modulated(0.25), ectopic(),
                                ecg_beats(), np.full(40, 1600.0) + np.arange(40) % 3 * 30],
                         ids=["steady", "lf", "hf", "ectopic", "ecg", "fewer-than-256-samples"])
def test_standard_hrv_agrees_with_an_independent_computation(rr, tool):
    got, want = velmora.hrv_standard(rr), reference(rr)
    assert list(got) == KEYS and isinstance(got["beats"], int)
    for key in KEYS:
        assert got[key] == pytest.approx(want[key], rel=1e-6, abs=1e-9), key
    printed = subprocess.run([tool, "hrv", "--standard"], input=" ".join(str(int(v)) for v in rr), text=True,
                             capture_output=True, check=True).stdout
    assert json.loads(printed) == pytest.approx(dict(got), rel=1e-12)


def test_the_bands_take_their_own_rhythm():
    lf, hf = velmora.hrv_standard(modulated(0.1)), velmora.hrv_standard(modulated(0.25))
    assert lf["LFnu"] > 90 and hf["HFnu"] > 90


@pytest.mark.parametrize("rr, error", [
    ([800] * 79, "at least 64000 ms"),
    ([800] * 100 + [199], "RR interval 199 ms at index 100 is outside 200..3000 ms"),
    ([3001] + [800] * 100, "RR interval 3001 ms at index 0"),
    ([800] * 100 + [float("nan")], "at index 100"),
    ([], "at least 64000 ms"),
])
def test_standard_hrv_refuses_what_it_cannot_measure(rr, error, tool):
    with pytest.raises(ValueError, match=error):
        velmora.hrv_standard(rr)
    if rr and not any(math.isnan(v) for v in rr):
        done = subprocess.run([tool, "hrv", "--standard"], input=" ".join(map(str, rr)), text=True,
                              capture_output=True)
        assert done.returncode == 1 and error in done.stderr
    with pytest.raises(ValueError):
        velmora.hrv_standard(np.full((2, 50), 800.0))


def log_rows(path):
    """The stream log's raw samples, each with the signal quality before it."""
    samples, quality, current = [], [], 0
    with open(path) as log:
        for line in log:
            parts = [p.strip() for p in line.split(",")]
            if len(parts) != 3 or parts[1] not in ("[PQ]", "[RAW]"):
                continue
            if parts[1] == "[PQ]":
                current = int(parts[2])
            else:
                samples.append(int(parts[2]))
                quality.append(current)
    return np.array(samples, dtype=np.int32), np.array(quality, dtype=np.int32)


def test_a_recording_with_a_gain_opens_in_mne_typed_in_volts_with_every_event_value(tool, tmp_path):
    mne = pytest.importorskip("mne")
    devices, bdf, csv = tmp_path / "devices", tmp_path / "s.bdf", tmp_path / "s.csv"
    devices.mkdir(mode=0o700)
    name = b"Kova\xff\xfe"  # not UTF-8: the connection annotation must still read
    simulator = subprocess.Popen([tool, "simulate", "--mode", "mixed", "--period", "30", "--seconds", "60",
                                  "--speed", "12", "--device-dir", str(devices), "--name", name],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 10
        while not any(p.name.startswith("tty.") for p in devices.iterdir()) and time.monotonic() < deadline:
            time.sleep(0.05)
        stream = subprocess.run([tool, "stream", "--json", "--device-dir", str(devices), "--seconds", "4.5",
                                 "--edf", str(bdf), "--uv-per-count", "0.5", "--save", str(csv)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
    finally:
        simulator.terminate()
        simulator.wait(10)
    assert stream.returncode == 0, stream.stderr

    raw = mne.io.read_raw_bdf(str(bdf), infer_types=True, preload=True, verbose="error")
    assert raw.get_channel_types() == ["eeg"] + ["misc"] * (len(raw.ch_names) - 1)
    assert raw.ch_names[0] == "Raw" and {"Blink", "RR", "Attention"} <= set(raw.ch_names)
    samples, quality = log_rows(csv)
    volts = raw.get_data(picks="Raw")[0]
    assert len(samples) > 20000 and len(volts) >= len(samples)
    np.testing.assert_allclose(volts[:len(samples)], samples * 0.5e-6, rtol=1e-9, atol=1e-15)

    events, ids = mne.events_from_annotations(raw, verbose="error")
    assert len(ids) <= 6, ids
    assert "Headset connected: Kova\ufffd\ufffd" in ids

    def read_back(kind, channel):
        at = events[events[:, 2] == ids[kind], 0]
        return at.tolist(), np.rint(raw.get_data(picks=channel)[0][at]).astype(int).tolist()

    index, strength = velmora.blinks(samples, quality)
    assert len(index) >= 1
    assert read_back("Blink", "Blink") == (index.tolist(), strength.tolist())
    fed = np.flatnonzero(quality == 200)  # beats are looked for at quality 200 only
    index, rr = velmora.rr_intervals(samples[fed[0]:])
    assert len(rr) > 10
    assert read_back("Beat", "RR") == ((index + fed[0]).tolist(), rr.tolist())
