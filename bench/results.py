#!/usr/bin/env python3
"""Writes bench/RESULTS.md from the outputs scripts/bench.sh collected.

usage: results.py WORKDIR COMMAND > bench/RESULTS.md
WORKDIR holds bench.json (Google Benchmark), decode.txt, latency.txt,
cpu.txt, cycles.txt and, when they ran, python.txt and soak.txt ("key: value"
lines).
"""
import datetime
import json
import os
import platform
import subprocess
import sys

work, command = sys.argv[1], sys.argv[2]


def keyvalues(name):
    path = os.path.join(work, name)
    out = {}
    if not os.path.exists(path):
        return out
    for line in open(path):
        if ": " in line:
            k, v = line.rstrip("\n").split(": ", 1)
            out[k] = v
    return out


def lscpu(field):
    for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
        if line.startswith(field + ":"):
            return line.split(":", 1)[1].strip()
    return "?"


bench = json.load(open(os.path.join(work, "bench.json")))
median = {b["run_name"]: b for b in bench["benchmarks"] if b.get("aggregate_name") == "median"}


def ns(name):
    b = median[name]
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    return b["cpu_time"] * scale


def verdict(ok):
    return "met" if ok else "**missed**"


rows = []
for arg in ("128", "1024"):
    name = f"BM_DecodeRawPackets/{arg}"
    if name in median:
        rate = median[name]["items_per_second"]
        rows.append((f"decode, raw-sample packets through framer, decoder, blink and HRV ({arg} per chunk)",
                     f"{rate / 1e6:.2f} M packets/s ({1e9 / rate:.1f} ns each)", ">= 10 M packets/s",
                     verdict(rate >= 10e6)))
for name, label in (("BM_BlinkDetectOneSample", "blink detector, per sample"),
                    ("BM_HrvAddDataOneSample", "HRV addData, per sample")):
    if name in median:
        rows.append((label, f"{ns(name):.1f} ns", "(no target)", ""))
for n in (128, 256, 512, 1024):
    name = f"BM_HrvCalculationAtFftLength/{n}"
    if name in median:
        rows.append((f"HRV energy calculation, {n}-point FFT", f"{ns(name) / 1e3:.1f} us", "(no target)", ""))

d = keyvalues("decode.txt")
if d:
    seconds = int(d["decode_ns"]) / 1e9
    mib = int(d["decode_bytes"]) / 2**20
    rows.append(("`velmora decode`, one hour of mixed stream (%.1f MiB), best of 3" % mib,
                 f"{seconds:.2f} s ({3600 / seconds:.0f}x real time, {mib / seconds:.1f} MiB/s)", "(no target)", ""))

py = keyvalues("python.txt")
if py:
    rate, tool_rate = float(py["python_decode_rate"]), float(py["python_decode_tool_rate"])
    rows.append((f'`velmora.decode` (Python), {py["python_decode_stream_seconds"]} s of mixed stream, '
                 f'best of {py["python_decode_repetitions"]}, beside `velmora decode`',
                 f"{rate / 1e6:.2f} M packets/s; the tool {tool_rate / 1e6:.2f} M packets/s ({tool_rate / rate:.2f}x)",
                 "within 2x of the tool", verdict(rate * 2 >= tool_rate)))

lat = keyvalues("latency.txt")
if lat:
    target = float(lat["latency_target_p99_ms"])
    p99 = float(lat["latency_p99_ms"])
    rows.append(("latency, byte written to the pty master -> dataReceived (dispatchInterval 0.02 s), p50 / p99 / max",
                 f'{lat["latency_p50_ms"]} / {lat["latency_p99_ms"]} / {lat["latency_max_ms"]} ms '
                 f'({lat["latency_samples"]} samples)', f"p99 <= {target:.0f} ms", verdict(p99 <= target)))

cpu = keyvalues("cpu.txt")
if cpu:
    pct = float(cpu["cpu_percent_of_one_core"])
    rows.append(("CPU of the library while streaming at real-time rate (headset in another process)",
                 f'{pct:.3f} % of one core ({cpu["cpu_seconds"]}; {cpu.get("wakeups_per_second", "?")} thread '
                 f'wake-ups/s)', "< 1 %", verdict(pct < 1.0)))
    rows.append(("resident memory, connected session (whole process: before Connect -> streaming)",
                 f'{cpu["rss_before_connect_kib"]} KiB -> {cpu["rss_connected_kib"]} KiB', "(no target)", ""))

cyc = keyvalues("cycles.txt")
if cyc:
    rows.append(("connect/disconnect cycles (descriptors, threads, mappings before -> after)",
                 f'{cyc["cycles"]}; fds {cyc["descriptors"]}; threads {cyc["threads"]}; maps {cyc["mappings"]}',
                 "nothing leaked", verdict(cyc.get("cycles_result") == "PASS")))

soak = keyvalues("soak.txt")
if soak:
    rows.append(("soak: headset time through a pty, recording on",
                 f'{float(soak["headset_seconds"]) / 3600:.1f} h in {soak["wall_seconds"]} s; '
                 f'{soak["samples_delivered"]} of {soak["samples_expected"]} samples delivered, hash '
                 f'{soak["delivered_hash_matches"]}; {soak["raw_rows"]} raw rows, hash {soak["recorded_hash_matches"]}',
                 "none lost or doubled, every row recorded",
                 verdict(soak.get("delivered_hash_matches") == "yes" and soak.get("recorded_hash_matches") == "yes")))
    rows.append(("soak: resident memory once warm (10 % of the stream) -> max -> end",
                 f'{soak["rss_warm_kib"]} -> {soak["rss_max_kib"]} -> {soak["rss_end_kib"]} KiB '
                 f'(growth {soak["rss_growth_kib"]})', "growth <= 1024 KiB",
                 verdict(soak.get("soak") == "PASS")))

print("# Benchmark results")
print()
print(f"- Machine: {lscpu('Model name')}, {os.cpu_count()} cores, kernel {platform.release()}")
print(f"- Date: {datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC')}")
print(f"- Command: `{command}` (Release build; Google Benchmark figures are medians of 5 repetitions, CPU time)")
print("- The machine is shared: other builds may run at the same time, so figures can be pessimistic.")
print()
print("| measure | figure | target | |")
print("|---|---|---|---|")
for r in rows:
    print("| " + " | ".join(r) + " |")

print()
print("## Notes")
print()
if cpu and float(cpu["cpu_percent_of_one_core"]) >= 1.0:
    print("- CPU at real-time rate misses 1 %. The work per sample is tiny (decode: about 50 ns a packet); what")
    print("  costs is waking threads. The simulated headset sends a batch every 5 ms (200 chunks a second, like a")
    print("  link that forwards small frames), and each chunk wakes the port's read loop (poll, read) and then the")
    print("  main thread (epoll, the queued task); the dispatch thread wakes 50 times a second. That is about 600")
    print("  wake-ups a second, and their kernel time (system time above) is most of the figure; it also rises")
    print("  with the machine's load. Getting under 1 % needs fewer wake-ups, e.g. a read loop that, once a byte")
    print("  is there, waits a few milliseconds for more before it reads (as VTIME does) - a change to the serial")
    print("  layer's read loop, proposed rather than made.")
print("- The soak runs at 100x real time (`velmora_soak --speed`). The main thread decodes and records about")
print("  200x real time on this machine (one write(2) per row); faster than that, the port's read loop outruns")
print("  it and the chunks queued on the main queue pile up, so resident memory then grows with the backlog.")
print("- Latency and CPU come from one run each on a shared machine; a busy machine shows in the maximum latency")
print("  (scheduling delays) more than in p50 and p99.")
