#!/usr/bin/env python3
"""The live view under load: `velmora stream --json --web --record` over
SECONDS of simulated headset time (mixed EEG and ECG) at SPEED, once with no
web viewer and once with VIEWERS viewers of GET /events, one of which
connects and never reads.  Checks that stdout and the recording lose
nothing, that the stalled viewer is dropped while the others get every
sample, and reports the tool's CPU per viewer and its peak memory as a
markdown section for bench/RESULTS.md.

    bench/web_viewers.py build/velmora [SECONDS [SPEED [VIEWERS]]]
"""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

RATE = 512
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rss_kib(pid):
    match = re.search(r"VmRSS:\s+(\d+)", open(f"/proc/{pid}/status").read())
    return int(match.group(1)) if match else 0


def connect_events(port, stalled):
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    if stalled:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.sendall(f"GET /events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
    return sock


def read_viewer(sock, result):
    """Reads the whole stream; counts the raw samples and whether it ended."""
    buffer, samples, ended, hello = b"", 0, False, None
    while True:
        try:
            chunk = sock.recv(1 << 16)
        except OSError:  # a time-out, or reset: the server has dropped it
            break
        if not chunk:
            break
        buffer += chunk
        *lines, buffer = buffer.split(b"\n")
        for line in lines:
            # Chunked transfer coding puts sizes on lines of their own; the
            # objects are on the "data:" lines.
            if line.startswith(b"data: "):
                obj = json.loads(line[6:])
                samples += len(obj.get("raw", []))
                hello = obj if obj.get("event") == "hello" else hello
                ended = ended or obj.get("event") == "ended"
    result.update(samples=samples + (hello or {}).get("samples", 0), ended=ended)


def run(tool, seconds, speed, viewers):
    with tempfile.TemporaryDirectory(prefix="velmora-web-bench-") as folder:
        devices, record = os.path.join(folder, "devices"), os.path.join(folder, "record")
        os.mkdir(devices, 0o700)
        os.mkdir(record)
        sim = subprocess.Popen([tool, "simulate", "--mode", "mixed", "--speed", str(speed), "--seconds",
                                str(seconds), "--fault", "pause@0:2", "--device-dir", devices],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while not any(n.startswith("tty.") for n in os.listdir(devices)):
            time.sleep(0.05)
        out = open(os.path.join(folder, "out.jsonl"), "wb")
        err_path = os.path.join(folder, "err.txt")
        stream = subprocess.Popen([tool, "stream", "--json", "--web", "0", "--record", record,
                                   "--device-dir", devices], stdout=out, stderr=open(err_path, "wb"))
        port = None
        while port is None:
            match = re.search(r"live view at http://127\.0\.0\.1:(\d+)/", open(err_path).read())
            port = match and int(match.group(1))
            time.sleep(0.05)
        readers, results, stalled = [], [], None
        for i in range(viewers):
            sock = connect_events(port, stalled=(i == 0))
            if i == 0:
                stalled = sock
                continue
            results.append({})
            readers.append(threading.Thread(target=read_viewer, args=(sock, results[-1])))
            readers[-1].start()
        cpu0, peak = cpu_seconds(stream.pid), 0
        began = time.monotonic()
        while sim.poll() is None or time.monotonic() - began < 1:
            peak = max(peak, rss_kib(stream.pid))
            time.sleep(0.2)
        # Wait (at most 30 s) until stdout holds every sample the simulator sent.
        for _ in range(60):
            with open(out.name, "rb") as lines:
                if sum(len(json.loads(line).get("raw", [])) for line in lines if line.strip()) >= seconds * RATE:
                    break
            time.sleep(0.5)
        cpu = cpu_seconds(stream.pid) - cpu0
        stream.send_signal(signal.SIGTERM)
        status = stream.wait(timeout=30)
        for reader in readers:
            reader.join(timeout=30)
        dropped = None
        if stalled is not None:
            # A dropped viewer never sees the end: the server closed its
            # stream early (what the kernel still holds may never come).
            stalled.settimeout(3)
            got = {}
            read_viewer(stalled, got)
            dropped = not got["ended"]
        samples = sum(len(json.loads(line).get("raw", [])) for line in open(out.name, "rb") if line.strip())
        rows = sum(1 for line in open(os.path.join(record, "ambrix.log.csv"), errors="replace") if "[RAW]" in line)
        sim.wait()
        # The viewers are held to what stdout got: a loaded machine may leave
        # the last samples in the pty when the simulator ends (its drain
        # wait is bounded), which no viewer can be given.
        return dict(status=status, cpu=cpu, peak=peak, samples=samples, rows=rows, expected=seconds * RATE,
                    viewers_complete=sum(1 for r in results if r.get("ended") and r["samples"] == samples),
                    viewers_read=len(results), stalled_dropped=dropped)


def main():
    tool = sys.argv[1]
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    speed = float(sys.argv[3]) if len(sys.argv) > 3 else 20
    viewers = int(sys.argv[4]) if len(sys.argv) > 4 else 20
    alone = run(tool, seconds, speed, 0)
    loaded = run(tool, seconds, speed, viewers)
    per_viewer = (loaded["cpu"] - alone["cpu"]) / viewers
    per_minute = per_viewer / (seconds / 60)
    lossless = all(r["status"] == 0 and r["samples"] == r["rows"] for r in (alone, loaded))
    good = lossless and loaded["stalled_dropped"] and loaded["viewers_complete"] == loaded["viewers_read"]
    print("\n## Live view in the browser\n")
    print(f"`bench/web_viewers.py build/velmora {seconds} {speed:g} {viewers}`: `velmora stream --json --web "
          f"--record` over {seconds} s of simulated headset time at {speed:g}x, without viewers and with "
          f"{viewers} viewers of GET /events, one of which never reads.\n")
    print("| measure | figure | target | |\n|---|---|---|---|")
    print(f"| samples on stdout / raw rows recorded, without and with viewers | {alone['samples']} / {alone['rows']}; "
          f"{loaded['samples']} / {loaded['rows']} ({loaded['expected']} sent) | stdout and recording alike | "
          f"{'met' if lossless else '**missed**'} |")
    print(f"| viewers that got every sample and the end; the stalled viewer | {loaded['viewers_complete']} of "
          f"{loaded['viewers_read']}; {'dropped' if loaded['stalled_dropped'] else 'not dropped'} | all; dropped | "
          f"{'met' if good else '**missed**'} |")
    print(f"| tool CPU, without viewers -> with {viewers} | {alone['cpu']:.2f} s -> {loaded['cpu']:.2f} s | "
          "(no target) |  |")
    print(f"| CPU per viewer | {per_viewer * 1000:.1f} ms per {seconds} s of headset time "
          f"({per_minute * 1000:.2f} ms per headset minute, {per_minute / 60 * 100:.4f} % of one core at real time) "
          "| (no target) |  |")
    print(f"| peak resident memory of the tool, without -> with viewers | {alone['peak']} -> {loaded['peak']} KiB "
          f"(each viewer's queue is bounded at 512 KiB) | bounded |  |")
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
