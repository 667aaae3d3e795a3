"""Measurements others can compare: the standard HRV measures against an
independent computation with scipy, and a BDF recorded with a gain as MNE
reads it (types, volts, event kinds, every blink and beat value)."""

import json
import math
import subprocess
import time

import numpy as np
import pytest

import velmora

signal = pytest.importorskip("scipy.signal")
interpolate = pytest.importorskip("scipy.interpolate")


def reference(rr):
    """The standard measures as the field's tools compute them."""
    rr = np.asarray(rr, dtype=float)
    t, d = np.cumsum(rr) / 1000.0, np.diff(rr)
    grid = t[0] + np.arange(int((t[-1] - t[0]) * 4) + 2) / 4.0
    x = interpolate.CubicSpline(t, rr, bc_type="natural")(grid[grid <= t[-1]])
    n = min(256, len(x))
    f, p = signal.welch(x - x.mean(), fs=4, window="hann", nperseg=n, noverlap=n // 2, detrend=False)
    trapz = getattr(np, "trapezoid", None) or np.trapz
    lf, hf = [trapz(p[(f >= lo) & (f < hi)], f[(f >= lo) & (f < hi)]) for lo, hi in ((0.04, 0.15), (0.15, 0.40))]
    return {"beats": len(rr), "meanRR": rr.mean(), "SDNN": rr.std(ddof=1), "RMSSD": math.sqrt(np.mean(d * d)),
            "pNN50": 100.0 * np.mean(np.abs(d) > 50), "meanHR": 60000.0 / rr.mean(), "LF": lf, "HF": hf,
            "LF/HF": lf / hf, "LFnu": 100 * lf / (lf + hf), "HFnu": 100 * hf / (lf + hf)}


def modulated(hz, amplitude=40.0, seed=1, premature_every=0):
    """Intervals around 850 ms swinging at `hz` for 300 s, with a little noise
    and, if asked, a premature beat and its compensatory pause."""
    rng, rr = np.random.default_rng(seed), []
    while sum(rr) < 300000:
        rr.append(round(850 + amplitude * math.sin(2 * math.pi * hz * sum(rr) / 1000) + rng.normal(0, 5)))
        if premature_every and len(rr) % premature_every == 0:
            rr += [520, 1180]
    return np.array(rr, dtype=float)


def ecg_beats():
    packets = velmora.decode(velmora.generate("ecg", 120, seed=9))
    return velmora.rr_intervals(np.concatenate([p["raw"] for p in packets if "raw" in p]))[1]


@pytest.mark.parametrize("rr", [modulated(0, 0), modulated(0.1), modulated(0.25), modulated(0.1, 20, 4, 25),
                                ecg_beats(), np.full(40, 1600.0) + np.arange(40) % 3 * 30],
                         ids=["steady", "lf", "hf", "ectopic", "ecg", "under-256-samples"])
def test_standard_hrv_agrees_with_an_independent_computation(rr, tool):
    got, want = velmora.hrv_standard(rr), reference(rr)
    assert list(got) == list(want) and isinstance(got["beats"], int)
    assert got == pytest.approx(want, rel=1e-6, abs=1e-9)
    printed = subprocess.run([tool, "hrv", "--standard"], input=" ".join(str(int(v)) for v in rr), text=True,
                             capture_output=True, check=True).stdout
    assert json.loads(printed) == pytest.approx(got, rel=1e-12)


@pytest.mark.parametrize("rr, error", [([800] * 79, "at least 64000 ms"), ([800] * 100 + [199], "199 ms at index 100"),
                                       ([800] * 100 + [float("nan")], "at index 100")])
def test_standard_hrv_refuses_what_it_cannot_measure(rr, error):
    with pytest.raises(ValueError, match=error):
        velmora.hrv_standard(rr)


def log_rows(path):
    """The stream log's raw samples, each with the signal quality before it."""
    samples, quality, current = [], [], 0
    with open(path) as log:
        for tag, value in (line.split(",")[1:] for line in log if line.count(",") == 2):
            if tag.strip() == "[PQ]":
                current = int(value)
            elif tag.strip() == "[RAW]":
                samples.append(int(value))
                quality.append(current)
    return np.array(samples, dtype=np.int32), np.array(quality, dtype=np.int32)


def test_a_recording_with_a_gain_opens_in_mne_typed_in_volts_with_every_event_value(tool, tmp_path):
    mne = pytest.importorskip("mne")
    devices, bdf, csv = tmp_path / "devices", tmp_path / "s.bdf", tmp_path / "s.csv"
    devices.mkdir(mode=0o700)
    # A name that is not UTF-8: its connection annotation must still read.
    simulator = subprocess.Popen([tool, "simulate", "--mode", "mixed", "--period", "30", "--seconds", "60", "--speed",
                                  "12", "--device-dir", str(devices), "--name", b"Kova\xff\xfe"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
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
    assert len(ids) <= 6 and "Headset connected: Kova\ufffd\ufffd" in ids, ids

    def read_back(kind, channel):
        at = events[events[:, 2] == ids[kind], 0]
        return at.tolist(), np.rint(raw.get_data(picks=channel)[0][at]).astype(int).tolist()

    index, strength = velmora.blinks(samples, quality)
    assert len(index) >= 1 and read_back("Blink", "Blink") == (index.tolist(), strength.tolist())
    fed = np.flatnonzero(quality == 200)  # beats are looked for at quality 200 only
    index, rr = velmora.rr_intervals(samples[fed[0]:])
    assert len(rr) > 10 and read_back("Beat", "RR") == ((index + fed[0]).tolist(), rr.tolist())
