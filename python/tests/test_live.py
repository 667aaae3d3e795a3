"""Live sessions against the simulator: completeness and order, the
recording, events, Python code that is slow, raises or is interrupted."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import velmora
from conftest import raw_of


def find_run(whole, part):
    """Start of `part` inside `whole`; fails unless it is there unbroken."""
    assert part.size > 100
    for start in np.flatnonzero(whole[: whole.size - part.size + 1] == part[0]):
        if np.array_equal(whole[start:start + part.size], part):
            return start
    pytest.fail("the samples received are no unbroken run of the samples sent")


def test_every_sample_arrives_once_in_order_and_is_recorded(device_dir, tmp_path, german_locale):
    events = []
    with velmora.Simulator(mode="ecg", speed=8, seconds=60, seed=7, device_dir=device_dir), \
            velmora.Headset(device_dir=device_dir, record=tmp_path, on_connect=events.append) as headset:
        assert headset.connected and headset.recording == str(tmp_path / "ambrix.log.csv")
        deliveries = []
        for d in headset.deliveries(timeout=5.0):
            deliveries.append(d)
            if len(deliveries) in (5, 40):
                time.sleep(0.5)  # a slow loop body loses nothing
            if len(deliveries) == 10:  # nor does decoding beside the live stream
                assert velmora.decode(velmora.generate("eeg", 2)[:-3])  # ends inside a packet
            if len(deliveries) == 80:  # nor closing mid-stream: what was decoded is still delivered
                time.sleep(0.01)
                headset.close()
        assert not headset.connected and events == ["KovaSim-SPPDev"]

    received = raw_of(deliveries)
    find_run(raw_of(velmora.decode(velmora.generate("ecg", 60, seed=7))), received)
    assert all(isinstance(v, int) for d in deliveries for k, v in d.items() if k not in ("raw", "t"))
    assert np.all(np.diff([d["t"] for d in deliveries]) >= 0)
    assert any("heartRate" in d for d in deliveries)

    rows = velmora.read_recording(headset.recording)
    assert np.array_equal(rows["RAW"]["value"], received)
    assert rows["PQ"]["value"].size and np.all(rows["PQ"]["value"] == 200)
    assert abs(rows["RAW"]["time"][-1] - deliveries[-1]["t"]) < 60


def test_a_raising_loop_leaves_the_library_free_and_losses_end_the_loop(device_dir, tmp_path):
    with velmora.Simulator(name="KovaLoss", device_dir=device_dir) as sim:
        with pytest.raises(ConnectionError, match="KovaNone"):
            velmora.Headset(port="KovaNone", connect_timeout=0)
        (tmp_path / "ambrix.log.csv").mkdir()
        with pytest.raises(OSError, match="ambrix.log.csv: Is a directory"):
            velmora.Headset(port="KovaLoss", record=tmp_path)
        with pytest.raises(ZeroDivisionError):
            with velmora.Headset(port="KovaLoss", connect_timeout=10) as headset:
                with pytest.raises(RuntimeError, match="another velmora.Headset"):
                    velmora.Headset(port="KovaLoss")
                for _ in headset.deliveries():
                    1 / 0
        assert not headset.connected
        # Listed by now: the advice names the ports present and port=, not the tool's options.
        with pytest.raises(ConnectionError, match=r"No port named KovaNone\. Serial ports present: .*KovaLoss \(.*\); "
                                                  r"pass one of their names or paths as port=\.$"):
            velmora.Headset(port="KovaNone", connect_timeout=0)

        codes, closed = [], []
        with velmora.Headset(port=sim.device_path, on_error=codes.append,
                             on_disconnect=lambda: closed.append(True)) as headset:
            got = 0
            for d in headset.deliveries(timeout=10):
                got += len(d.get("raw", ()))
                if got > 512 and not codes:
                    sim.unplug()
            assert velmora.PORT_REMOVED in codes and closed and not headset.connected


CHILD = textwrap.dedent("""
    import sys, velmora
    devices, wait = sys.argv[1:]
    # Deliveries an hour apart: the loop waits inside the library.
    with velmora.Simulator(device_dir=devices) as sim, velmora.Headset(dispatch_interval=3600) as h:
        try:
            print("waiting", flush=True)
            if wait == "deliveries":
                for d in h.deliveries():
                    pass
            else:
                sim.wait()
        except KeyboardInterrupt:
            print("interrupted", flush=True)
""")


@pytest.mark.parametrize("wait", ["deliveries", "wait"])
def test_ctrl_c_interrupts_a_waiting_loop(tmp_path, wait):
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(tmp_path), wait], stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(velmora.__file__))))
    try:
        assert child.stdout.readline() == "waiting\n"
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    assert out.rstrip().endswith("interrupted") and child.returncode == 0


FULL_DISK = textwrap.dedent("""
    import resource, signal, sys, velmora
    devices, folder = sys.argv[1:]
    # Files of this process stop growing at 100 kB, as on a full disk.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, resource.RLIM_INFINITY))
    with velmora.Simulator(name="KovaFull", speed=8, device_dir=devices):
        headset = velmora.Headset(port="KovaFull", record=folder, connect_timeout=10)
        assert headset.recording_error is None
        while headset.recording_error is None:
            headset.read(seconds=1, timeout=10)
        print(headset.recording_error)
        try:
            headset.close()
        except OSError as e:
            print(e, headset.connected, headset.recording_error is not None)
""")


def test_a_recording_that_loses_rows_says_so_and_close_raises(tmp_path):
    devices, folder = tmp_path / "devices", tmp_path / "rec"
    devices.mkdir(mode=0o700)
    folder.mkdir()
    child = subprocess.run([sys.executable, "-c", FULL_DISK, str(devices), str(folder)], capture_output=True,
                           text=True, timeout=120,
                           env=dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(velmora.__file__))))
    assert child.returncode == 0, child.stderr
    error, closed = child.stdout.splitlines()
    log = folder / "ambrix.log.csv"
    assert error == f"cannot write to {log}: File too large"
    kept = len(log.read_text().splitlines()) - 1
    assert closed.startswith(f"the recording {log} lost ") and f" rows ({kept} kept): {error} False True" in closed
