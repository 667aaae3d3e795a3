"""Headset.read and velmora.Data: arrays on the headset's sample clock,
compared with the same session's CSV and BDF recordings; MNE; markers;
the bounded buffer; reconnects; bad input."""

import os
import time

import numpy as np
import pytest

import velmora

PERIOD = 1 / velmora.SAMPLE_RATE


def events_in(path, signal):
    """(sample, value) of the non-zero samples of a BDF's event signal ("Blink", "RR")."""
    mne = pytest.importorskip("mne")
    values = mne.io.read_raw_bdf(path, infer_types=True, verbose="error").get_data(picks=signal)[0]
    return [(int(i), int(round(values[i]))) for i in np.flatnonzero(values)]


def test_read_equals_the_recordings_of_the_same_session(device_dir, tmp_path):
    mne = pytest.importorskip("mne")
    bdf = str(tmp_path / "session.bdf")
    with velmora.Simulator(mode="mixed", speed=8, seconds=60, seed=11, device_dir=device_dir), \
            velmora.Headset(record=tmp_path, edf=bdf, uv_per_count=0.5) as headset:
        first = headset.read(seconds=15)
        marked_at = headset.annotate("stimulus")
        rest = headset.read(seconds=30, timeout=120)
    parts = [first, rest, headset.read()]  # and what close() took in
    whole = velmora.Data.concatenate(parts)

    rows = velmora.read_recording(headset.recording, uv_per_count=0.5)["RAW"]
    assert first.raw.size == 7680 and np.array_equal(first.raw, rows["value"][:7680])
    assert np.array_equal(whole.raw, rows["value"]) and whole.raw.size >= 45 * 512
    assert np.allclose(first.raw_uv, rows["value"][:7680] * 0.5)
    assert np.all(np.abs(np.diff(whole.t) / PERIOD - 1) < 0.01)

    # Every blink and beat of the BDF file, at the same sample with the same value.
    for series, signal, field in ((whole.blinks, "Blink", "strength"), (whole.rr, "RR", "ms")):
        assert series.size > 3
        assert events_in(bdf, signal) == list(zip(np.searchsorted(whole.t, series["t"]).tolist(),
                                                  series[field].tolist()))
    assert np.all(np.abs(60000 / whole.rr["ms"] - whole.heart_rate["bpm"]) <= 0.5)
    assert whole.markers.tolist() == [(marked_at, "stimulus")]
    raw_file = mne.io.read_raw_bdf(bdf, infer_types=True, verbose="error")
    assert [a["description"] for a in raw_file.annotations].count("stimulus") == 1
    assert raw_file.get_channel_types(picks="Raw") == ["eeg"] and np.allclose(
        raw_file.get_data(picks="Raw")[0][:7680], first.raw * 0.5e-6, atol=1e-9)
    assert whole.poor_signal.size >= 40 and set(whole.poor_signal["value"][-5:]) == {200}

    # MNE: 512 Hz, every sample, one annotation per event with fixed texts.
    raw = velmora.to_mne(first)
    assert raw.info["sfreq"] == 512 and raw.n_times == 7680
    assert raw.get_channel_types()[0] == "eeg"
    assert np.allclose(raw.get_data(picks="Raw")[0], first.raw * 0.5e-6)
    assert list(raw.annotations.description).count("blink") == first.blinks.size
    events, ids = mne.events_from_annotations(whole_mne := velmora.to_mne(whole, uv_per_count=None), verbose="error")
    assert set(ids) == {"blink", "beat", "stimulus"} and len(events) == whole.blinks.size + whole.rr.size + 1
    assert whole_mne.get_channel_types()[0] == "eeg"  # the scale the data carries

    # Saved and loaded with numpy, joined, compared.
    whole.save(tmp_path / "whole.npz")
    back = velmora.Data.load(tmp_path / "whole.npz")
    for name, array in whole.arrays().items():
        assert np.array_equal(array, back.arrays()[name]), name
    loaded = np.load(tmp_path / "whole.npz")
    assert np.array_equal(velmora.Data(**loaded).raw, whole.raw)


def test_data_joins_and_converts_without_a_headset():
    t = 1.7e9 + np.arange(1024) * PERIOD
    a = velmora.Data(np.arange(512), t[:512], blinks=(t[[10]], [40]), markers=(t[[20]], ["go"]),
                     poor_signal=(t[[0, 300]], [0, 26]))
    b = velmora.Data(np.arange(512), t[512:] + 5, gaps=([t[512]], [t[512] + 5]), rr=(t[[600]] + 5, [800]),
                     markers=(t[[700]] + 5, ["a longer text"]))
    whole = a + b
    assert whole.raw.size == 1024 and whole.markers["text"].tolist() == ["go", "a longer text"]
    assert whole.raw_uv is None and "counts" in repr(whole)
    with pytest.raises(ValueError, match="uv_per_count"):
        a + velmora.Data(uv_per_count=1.0)
    for bad in (0, -1.0, float("inf")):
        with pytest.raises(ValueError, match="uv_per_count"):
            velmora.Data(uv_per_count=bad)

    pytest.importorskip("mne")
    raw = velmora.to_mne(whole)
    assert raw.get_channel_types()[0] == "misc" and np.array_equal(raw.get_data(picks="Raw")[0], whole.raw)
    held = raw.get_data(picks="poor_signal")[0]
    assert np.isnan(held[:0]).all() and held[299] == 0 and held[300] == 26 and held[-1] == 26
    got = {(d, round(o * 512)) for d, o in zip(raw.annotations.description, raw.annotations.onset)}
    assert got == {("blink", 10), ("go", 20), ("beat", 600), ("a longer text", 700), ("BAD_disconnected", 511)}
    with pytest.raises(ValueError, match="no raw samples"):
        velmora.to_mne(velmora.Data())


def test_a_lost_headset_is_a_gap_with_reconnect_and_an_error_without(device_dir):
    with velmora.Simulator(name="KovaGap", mode="eeg", speed=1, device_dir=device_dir) as sim:
        with velmora.Headset(port="KovaGap", reconnect=True, connect_timeout=10) as headset:
            before = headset.read(seconds=1, timeout=10)
            assert abs(before.t[-1] - time.time()) < 0.1  # at real time, near the host's clock
            sim.unplug()
            data = before
            while headset.connected:
                data = data + headset.read(timeout=0.05)
            sim.replug()
            data = data + headset.read(seconds=2, timeout=30)
            while data.gaps.size == 0:
                data = data + headset.read(seconds=1, timeout=30)
        (start, end), = data.gaps.tolist()
        after = np.searchsorted(data.t, end)
        assert data.t[after - 1] < start <= end == data.t[after]
        assert np.all(np.diff(data.t) > 0)
        assert np.all(np.abs(np.delete(np.diff(data.t), after - 1) / PERIOD - 1) < 0.01)

        with velmora.Headset(port="KovaGap", connect_timeout=10) as headset:
            assert headset.read(samples=512, timeout=10).raw.size == 512
            with pytest.raises(ValueError, match="more than the buffer holds"):
                headset.read(seconds=601)  # would wait for ever
            sim.unplug()
            sizes = []
            with pytest.raises(ConnectionError, match="lost the headset"):
                while True:  # what came before the loss, then the error
                    sizes.append(headset.read(seconds=600).raw.size)
            assert all(0 < n < 600 * 512 for n in sizes)
        assert headset.read().raw.size == 0


@pytest.mark.slow
def test_a_host_that_never_reads_keeps_ten_minutes_and_counts_the_rest(device_dir):
    def rss_kib():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

    with velmora.Simulator(name="KovaIdle", mode="mixed", speed=20, seconds=1200, device_dir=device_dir) as sim, \
            velmora.Headset(port="KovaIdle", connect_timeout=10) as headset:
        while headset.dropped < 100 * 512:  # the buffer is full: from here on nothing may grow
            sim.wait(0.1)
        full = rss_kib()
        sim.wait(300)
        while headset.dropped + 600 * 512 < sim.samples_sent:
            sim.wait(0.1)
        assert rss_kib() - full < 8_000
    data = headset.read()
    assert data.raw.size == 600 * 512 and headset.dropped == sim.samples_sent - 600 * 512
    assert data.t[-1] - data.t[0] == pytest.approx(600, rel=0.01)
    assert data.poor_signal.size <= 601 and data.blinks["t"].min() >= data.t[0]


@pytest.mark.parametrize("call", [
    lambda d: velmora.Simulator(name="KovaN\0ul", device_dir=d),
    lambda d: velmora.Headset(port="/dev/tty\0S0", device_dir=d),
    lambda d: velmora.Headset(port="Kova\0", device_dir=d),
    lambda d: velmora.Headset(record="/tmp\0x", device_dir=d),
    lambda d: velmora.Headset(edf="/tmp/a\0.bdf", device_dir=d),
    lambda d: velmora.Headset(device_dir=d + "\0"),
    lambda d: velmora.read_recording("/tmp/x\0.csv"),
    lambda d: velmora.Headset(edf="/tmp/a.txt", device_dir=d),
    lambda d: velmora.Headset(buffer_seconds=10, device_dir=d),
])
def test_bad_arguments_are_value_errors(device_dir, call):
    with pytest.raises(ValueError):
        call(device_dir)


def test_a_name_that_is_no_utf8_streams_and_records(device_dir, tmp_path):
    name = os.fsdecode(b"Kova\xff\xfe")
    folder = tmp_path / os.fsdecode(b"d\xe9j\xe0")
    folder.mkdir()
    with velmora.Simulator(name=name, speed=8, device_dir=device_dir) as sim, \
            velmora.Headset(port=sim.device_path, record=folder, edf=folder / "s.bdf") as headset:
        assert sim.device_path.endswith(name) and headset.read(samples=600, timeout=10).raw.size == 600
        with pytest.raises(ValueError, match="NUL"):
            headset.annotate("a\0b")
    assert headset.recording == os.path.join(folder, "ambrix.log.csv") and (folder / "s.bdf").exists()
