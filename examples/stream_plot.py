#!/usr/bin/env python3
"""Stream from a simulated headset and plot what arrived, notebook style.

    PYTHONPATH=build/python /usr/bin/python3 examples/stream_plot.py [PNG]

Runs a simulated ECG headset for 70 s of headset time at 8x speed, collects
the deliveries and the RR intervals the library found in them, prints the
LF/HF analysis, and saves the raw trace and the RR tachogram to PNG (default
velmora-stream.png) when matplotlib is installed. Every cell below works the
same in a notebook; with a real headset, leave out the Simulator.
"""

import sys
import tempfile

import numpy as np

import velmora

png = sys.argv[1] if len(sys.argv) > 1 else "velmora-stream.png"

# %% Stream: a private device folder, so that no other simulated headset is found.
samples, rr_ms, rr_time = [], [], []
received = 0  # raw samples so far: where each RR interval lies on the timeline
with tempfile.TemporaryDirectory() as devices, \
        velmora.Simulator(mode="ecg", speed=8, seconds=70, seed=1, device_dir=devices) as sim, \
        velmora.Headset(device_dir=devices) as headset:
    print("connected to", sim.name)
    for delivery in headset.deliveries(timeout=2.0):
        if "raw" in delivery:
            samples.append(delivery["raw"])
            received += len(delivery["raw"])
        if "rrInt" in delivery:
            rr_ms.append(delivery["rrInt"])
            rr_time.append(received / 512.0)
raw = np.concatenate(samples)
print(f"{raw.size} samples ({raw.size / 512:.1f} s), {len(rr_ms)} RR intervals")

# %% Heart-rate variability over the intervals (it needs 64 s of beats).
print("HRV:", velmora.hrv(rr_ms))

# %% Plot
try:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    print("matplotlib is not installed (apt-get install python3-matplotlib); no plot")
    sys.exit(0)

fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 6))
seconds = np.arange(raw.size) / 512.0
shown = seconds < 5
top.plot(seconds[shown], raw[shown], linewidth=0.7)
top.set(title="Raw trace (first 5 s)", xlabel="s", ylabel="sample")
bottom.plot(rr_time, rr_ms, marker="o")
bottom.set(title="RR tachogram", xlabel="s", ylabel="RR interval (ms)")
fig.tight_layout()
fig.savefig(png, dpi=100)
print("saved", png)
