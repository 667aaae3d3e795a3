#!/usr/bin/env python3
"""30 s of live data into numpy, then into MNE-Python and a plot, headless.

    PYTHONPATH=build/python /usr/bin/python3 examples/read_to_mne.py [PNG]

Streams 30 s of headset time from a simulated headset (at 8x speed, so it
takes about 4 s) with ``Headset.read``, marks the moment the first half
ended, converts the result with ``velmora.to_mne`` and saves MNE's plot of
it to PNG (default velmora-mne.png). With a real headset, leave out the
Simulator and pass your headset's ``uv_per_count`` (from its maker).
"""

import sys
import tempfile

import matplotlib

matplotlib.use("Agg")  # no display needed

import mne  # noqa: E402

import velmora  # noqa: E402

png = sys.argv[1] if len(sys.argv) > 1 else "velmora-mne.png"

with tempfile.TemporaryDirectory() as devices, \
        velmora.Simulator(mode="mixed", speed=8, seconds=40, device_dir=devices), \
        velmora.Headset(device_dir=devices, uv_per_count=0.5) as headset:
    first = headset.read(seconds=15)
    headset.annotate("half time")
    data = first + headset.read(seconds=15)
print(data)  # raw, t, 1 Hz values, blinks, rr, markers as numpy arrays

raw = velmora.to_mne(data)
print(mne.events_from_annotations(raw, verbose="error")[1])  # event ids: {'blink': 1, 'half time': 2}
figure = raw.copy().pick(["Raw"]).plot(duration=30, scalings={"eeg": 2e-4}, show=False)
figure.savefig(png, dpi=80)
print("saved", png)
