"""The offline functions against the tool and against the library's own
in-stream detection."""

import concurrent.futures
import json
import multiprocessing
import subprocess
import threading

import numpy as np
import pytest

import velmora
from conftest import raw_of


def tool_json(value):
    """A decoded packet as the tool prints it: arrays as lists."""
    return {k: v.tolist() if isinstance(v, np.ndarray) else v for k, v in value.items()}


def test_decode_equals_the_tool_on_a_simulated_capture_with_faults(tool, tmp_path):
    capture = tmp_path / "capture.bin"
    subprocess.run([tool, "simulate", "--mode", "mixed", "--period", "5", "--seconds", "12", "--seed", "3",
                    "--fault", "checksum@2:3", "--fault", "sync@4:2", "--fault", "junk@6:40",
                    "--output", str(capture)], check=True, capture_output=True)
    data = capture.read_bytes()
    printed = [json.loads(line) for line in
               subprocess.run([tool, "decode", str(capture)], check=True, capture_output=True).stdout.splitlines()]
    packets = velmora.decode(data)
    assert [tool_json(p) for p in packets] == printed
    assert all(p["raw"].dtype == np.int32 for p in packets if "raw" in p)
    # Other buffer types, and a capture cut anywhere, give the same packets.
    assert [tool_json(p) for p in velmora.decode(memoryview(bytearray(data)))] == printed
    assert [tool_json(p) for p in velmora.decode(data[:-3])] == printed[:-1]
    # The offline generator sends what the simulator does.
    plain = tmp_path / "plain.bin"
    subprocess.run([tool, "simulate", "--mode", "ecg", "--seconds", "3", "--seed", "5", "--output", str(plain)],
                   check=True, capture_output=True)
    assert velmora.generate("ecg", 3, seed=5) == plain.read_bytes()


def decoded_samples(data):
    return raw_of(velmora.decode(data)).size


def decoded_by_threads(data, threads=4):
    """What each of `threads` threads decoding `data` at once gets."""
    start = threading.Barrier(threads)

    def decode(_):
        start.wait()
        return [tool_json(p) for p in velmora.decode(data)]
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        return list(pool.map(decode, range(threads)))


def test_decode_works_in_a_process_forked_after_the_library_started():
    data = velmora.generate("mixed", 120)
    expected = [tool_json(p) for p in velmora.decode(data)]  # starts the library's thread here
    assert len(expected) > 60000
    assert decoded_by_threads(data) == [expected] * 4
    with multiprocessing.get_context("fork").Pool(1) as pool:
        assert pool.apply_async(decoded_by_threads, (data,)).get(timeout=60) == [expected] * 4
        with pytest.raises(RuntimeError, match="spawn"):
            pool.apply_async(velmora.Headset).get(timeout=60)


def test_hrv_matches_the_tool_and_refuses_as_it_does(tool):
    rng = np.random.default_rng(4)
    rr = (800 + 60 * np.sin(np.arange(150) / 3.0) + rng.integers(-20, 20, 150)).astype(int)
    printed = json.loads(subprocess.run([tool, "hrv"], input=" ".join(map(str, rr)), text=True, check=True,
                                        capture_output=True).stdout)
    result = velmora.hrv(rr)
    assert list(result) == ["LF", "HF", "LF/HF", "energy"]
    assert result == pytest.approx(printed, rel=1e-12)
    assert isinstance(result["energy"], int)

    refused = subprocess.run([tool, "hrv"], input="1000\n" * 64, text=True, capture_output=True)
    assert refused.returncode == 1
    with pytest.raises(ValueError) as short:
        velmora.hrv([1000] * 64)
    assert f"velmora hrv: {short.value}" in refused.stderr
    assert velmora.hrv([1000] * 65)["energy"] == 1  # constant intervals: LF = HF = 0


@pytest.mark.parametrize("bad, error", [
    ([1000] * 70 + [0], ValueError),           # not an interval
    ([1000.5] * 70, ValueError),               # not whole
    ([[1000] * 70], ValueError),               # not one-dimensional
    ([2 ** 31] * 70, ValueError),              # beyond 32 bits
    (["1000"] * 70, TypeError),
], ids=["zero", "fraction", "2-D", "too-big", "text"])
def test_hrv_rejects_what_is_no_list_of_intervals(bad, error):
    with pytest.raises(error):
        velmora.hrv(bad)


def samples_with_quality(packets):
    """Raw samples and, for each, the signal quality decoded before it."""
    samples, quality, current = [], [], 0
    for p in packets:
        current = p.get("poorSignal", current)
        if "raw" in p:
            samples.extend(p["raw"])
            quality.extend([current] * len(p["raw"]))
    return np.array(samples), np.array(quality)


def in_stream(packets, key):
    """(sample index, value) of `key` as the decoder set it during the stream."""
    index, value, seen = [], [], 0
    for p in packets:
        seen += len(p.get("raw", ()))
        if key in p:
            index.append(seen - 1)
            value.append(p[key])
    return index, value


def test_analysers_over_arrays_find_what_the_stream_decoder_finds():
    eeg = velmora.decode(velmora.generate("eeg", 60, seed=2))
    samples, quality = samples_with_quality(eeg)
    index, strength = velmora.blinks(samples, quality)
    assert len(index) > 3
    assert (index.tolist(), strength.tolist()) == in_stream(eeg, "blinkStrength")
    # Above 50 the signal quality keeps the detector reset.
    assert velmora.blinks(samples, poor_signal=51)[0].size == 0

    ecg = velmora.decode(velmora.generate("ecg", 30, seed=2))
    samples, quality = samples_with_quality(ecg)
    fed = np.flatnonzero(quality == 200)  # the decoder feeds beats only at quality 200
    assert fed.size and np.all(np.diff(fed) == 1) and fed[-1] == len(samples) - 1
    index, rr = velmora.rr_intervals(samples[fed[0]:])
    assert len(rr) > 20
    assert ((index + fed[0]).tolist(), rr.tolist()) == in_stream(ecg, "rrInt")


STREAM_LOG = ("Timestamp, Data Type, Value\n"
              "1765000000.250000 , [PQ] , 200\r\n"
              "1765000000.251000, [RAW], -5\n"
              "\n"
              "1765000000.252000, [HR], 71\n")


@pytest.mark.parametrize("text, error", [
    ("", "line 1: not a stream log"),
    ("Time, Type\n1.0, [RAW], 5\n", "line 1: not a stream log"),
    (STREAM_LOG + "1765000000,253000, [RAW], 7\n", "line 6: a row has three"),
    (STREAM_LOG + "1765000000.253000, [EEG], 7\n", "line 6: unknown tag"),
    (STREAM_LOG + "nan, [RAW], 7\n", "line 6: the time"),
    (STREAM_LOG + "1765000000.253000, [RAW], 2147483648\n", "line 6: the value"),
], ids=["empty", "no-header", "decimal-comma", "unknown-tag", "nan-time", "value-range"])
def test_read_recording_refuses_what_is_no_stream_log(tmp_path, text, error):
    path = tmp_path / "ambrix.log.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=error):
        velmora.read_recording(path)


def test_read_recording_reads_every_row_format(tmp_path, german_locale):
    path = tmp_path / "ambrix.log.csv"
    path.write_text(STREAM_LOG)
    rows = velmora.read_recording(path)
    assert list(rows) == list(velmora.RECORDING_TAGS)
    assert rows["PQ"].tolist() == [(1765000000.25, 200)]
    assert rows["RAW"].tolist() == [(1765000000.251, -5)]
    assert rows["HR"]["value"].tolist() == [71] and rows["ATT"].size == 0
