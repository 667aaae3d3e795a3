#!/usr/bin/env python3
"""velmora.decode throughput beside the `velmora decode` tool's.

usage: PYTHONPATH=BUILD/python python3 bench/python_decode.py BUILD/velmora [SECONDS] [REPETITIONS]

Decodes SECONDS (default 3600) of simulated mixed stream (seed 1, as
scripts/bench.sh's tool run) with both, best of REPETITIONS (default 3), and
prints "key: value" lines: the packets each gave (they must agree), the best
wall time of each, and the rate in packets per second.
"""
import os
import subprocess
import sys
import tempfile
import time

import velmora

tool = sys.argv[1]
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 3600.0
repetitions = int(sys.argv[3]) if len(sys.argv) > 3 else 3

data = velmora.generate("mixed", seconds, seed=1)
with tempfile.TemporaryDirectory() as work:
    capture = os.path.join(work, "capture.bin")
    with open(capture, "wb") as f:
        f.write(data)
    tool_best, tool_packets = None, 0
    for _ in range(repetitions):
        start = time.perf_counter_ns()
        out = subprocess.run([tool, "decode", capture], check=True, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL).stdout
        elapsed = time.perf_counter_ns() - start
        tool_packets = out.count(b"\n")
        tool_best = elapsed if tool_best is None else min(tool_best, elapsed)

python_best, python_packets = None, 0
for _ in range(repetitions):
    start = time.perf_counter_ns()
    packets = velmora.decode(data)
    elapsed = time.perf_counter_ns() - start
    python_packets = len(packets)
    del packets
    python_best = elapsed if python_best is None else min(python_best, elapsed)

if python_packets != tool_packets:
    sys.exit(f"python_decode: velmora.decode gave {python_packets} packets, the tool {tool_packets}")
print(f"python_decode_stream_seconds: {seconds:.0f}")
print(f"python_decode_repetitions: {repetitions}")
print(f"python_decode_packets: {python_packets}")
print(f"python_decode_ns: {python_best}")
print(f"python_decode_tool_ns: {tool_best}")
print(f"python_decode_rate: {python_packets / (python_best / 1e9):.0f}")
print(f"python_decode_tool_rate: {tool_packets / (tool_best / 1e9):.0f}")
