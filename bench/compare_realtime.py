#!/usr/bin/env python3
"""Real-time CPU, wake-ups and latency of two builds, side by side.

Runs `velmora_soak --cpu` and `velmora_soak --latency` of a BEFORE and an
AFTER build alternately, ROUNDS times, so that both meet the same machine
load, and prints a Markdown section with the median of each figure.

    bench/compare_realtime.py BEFORE_DIR AFTER_DIR [--rounds N] [--seconds S]

Each directory is a Release build holding velmora_soak.
"""
import argparse
import statistics
import subprocess
import sys


def run(soak, mode, seconds, wanted):
    """The soak's "key: value" lines.  A run that printed no `wanted` line
    (the simulated headset did not open, say) is shown and run once more, so
    that a passing failure does not turn a median into nan."""
    for attempt in (1, 2):
        done = subprocess.run([soak, mode, str(seconds)], capture_output=True, text=True, check=False)
        values = dict(line.partition(": ")[::2] for line in done.stdout.splitlines())
        if wanted in values:
            return values
        print(f"{soak} {mode} (attempt {attempt}) gave no {wanted}: exit {done.returncode}, "
              f"{done.stderr.strip() or done.stdout.strip()}", file=sys.stderr, flush=True)
    return values


def threads(text):
    """'main 256, velmora-read 274' -> {'main': 256.0, 'velmora-read': 274.0}"""
    out = {}
    for part in filter(None, (p.strip() for p in text.split(","))):
        name, _, count = part.rpartition(" ")
        out[name] = float(count)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=20)
    a = parser.parse_args()
    builds = {"before": a.before, "after": a.after}
    figures = {name: {"cpu": [], "wake": [], "threads": [], "runs": [], "p50": [], "p99": [], "samples": []}
               for name in builds}
    for r in range(a.rounds):
        # Alternate which build goes first, so neither always meets the same moment.
        order = list(builds) if r % 2 == 0 else list(reversed(builds))
        for name in order:
            soak = builds[name] + "/velmora_soak"
            cpu = run(soak, "--cpu", a.seconds, "cpu_percent_of_one_core")
            lat = run(soak, "--latency", a.seconds, "latency_p99_ms")
            f = figures[name]
            f["cpu"].append(float(cpu.get("cpu_percent_of_one_core", "nan")))
            f["wake"].append(float(cpu.get("wakeups_per_second", "nan")))
            f["threads"].append(threads(cpu.get("wakeups_per_second_by_thread", "")))
            # Older builds do not print it: their cells stay empty.
            f["runs"].append(threads(cpu.get("cpu_ms_per_second_by_thread", "")))
            f["p50"].append(float(lat.get("latency_p50_ms", "nan")))
            f["p99"].append(float(lat.get("latency_p99_ms", "nan")))
            f["samples"].append(lat.get("latency_samples", "?"))
            print(f"round {r + 1} {name}: cpu {f['cpu'][-1]:.3f} %, wake-ups {f['wake'][-1]:.0f}/s "
                  f"{f['threads'][-1]}, latency p50 {f['p50'][-1]:.2f} p99 {f['p99'][-1]:.2f} ms "
                  f"({f['samples'][-1]} samples)", file=sys.stderr, flush=True)

    def med(values):
        """The median of the runs that gave a figure (nan if none did)."""
        values = [v for v in values if v == v]
        return statistics.median(values) if values else float("nan")
    names = sorted({t for f in figures.values() for d in f["threads"] for t in d})

    def row(label, key, fmt):
        cells = [fmt(med(figures[n][key])) for n in builds]
        return f"| {label} | {cells[0]} | {cells[1]} |"

    print("| at real time, median of %d alternating rounds of %g s each | before | after |" % (a.rounds, a.seconds))
    print("|---|---|---|")
    print(row("CPU, ms per second of headset time (% of one core x 10)", "cpu", lambda v: f"{v * 10:.2f}"))
    print(row("thread wake-ups per second, whole process", "wake", lambda v: f"{v:.0f}"))
    for t in names:
        cells = [f"{med([d.get(t, 0) for d in figures[n]['threads']]):.0f}" for n in builds]
        print(f"| wake-ups per second, thread \"{t}\" | {cells[0]} | {cells[1]} |")
    run_names = sorted({t for f in figures.values() for d in f["runs"] for t in d})
    for t in run_names:
        cells = [f"{med([d[t] for d in figures[n]['runs'] if t in d]):.2f}"
                 if any(t in d for d in figures[n]["runs"]) else "-" for n in builds]
        print(f"| CPU ms per second, thread \"{t}\" | {cells[0]} | {cells[1]} |")
    print(row("latency p50, byte written -> dataReceived (ms)", "p50", lambda v: f"{v:.2f}"))
    print(row("latency p99 (ms)", "p99", lambda v: f"{v:.2f}"))
    cells = [" / ".join(figures[n]["samples"]) for n in builds]
    print(f"| latency samples delivered, each round | {cells[0]} | {cells[1]} |")
    ratios = [after / before for before, after in zip(figures["before"]["cpu"], figures["after"]["cpu"])
              if before == before and after == after and before > 0]
    print()
    print("Each round, CPU: " + "; ".join(
        f"{n} " + ", ".join(f"{v:.3f} %" for v in figures[n]["cpu"]) for n in builds) + ".")
    print(f"After as a share of before: {100 * med(figures['after']['cpu']) / med(figures['before']['cpu']):.0f} % "
          f"of the medians; round by round " + ", ".join(f"{100 * r:.0f} %" for r in ratios) +
          (f" (median {100 * med(ratios):.0f} %)." if ratios else "."))


if __name__ == "__main__":
    main()
