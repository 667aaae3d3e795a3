#!/usr/bin/env bash
# Regenerates the seed corpora in fuzz/corpus/<target>/ from short streams of
# the headset simulator's offline generator (`velmora simulate --output`).
# The corpora are committed; run this only to change them.
#   fuzz/make-corpus.sh [PATH-TO-velmora]     (default: build/velmora)
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${1:-build/velmora}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sim() {  # sim NAME MODE SECONDS SEED [FAULT...]
  local name=$1 mode=$2 seconds=$3 seed=$4
  shift 4
  local faults=()
  for f in "$@"; do faults+=(--fault "$f"); done
  "$tool" simulate --mode "$mode" --seconds "$seconds" --seed "$seed" "${faults[@]}" --output "$work/$name.bin"
}
sim eeg eeg 0.25 1
sim ecg ecg 1.5 2
sim mixed mixed 0.3 3
sim faults eeg 0.3 4 checksum@0.05:2 sync@0.1 junk@0.2:40

rm -rf fuzz/corpus/fuzz_stream fuzz/corpus/fuzz_hrv fuzz/corpus/fuzz_request
mkdir -p fuzz/corpus/fuzz_stream fuzz/corpus/fuzz_hrv fuzz/corpus/fuzz_request
python3 - "$work" <<'PY'
import struct, sys
work = sys.argv[1]
def stream(name):
    return open(f"{work}/{name}.bin", "rb").read()
def put(target, name, data):
    open(f"fuzz/corpus/{target}/{name}", "wb").write(bytes(data))

# fuzz_stream: options byte, three chunk-length selectors, the stream.
put("fuzz_stream", "eeg-record-all", [0x03, 7, 63, 200] + list(stream("eeg")))
put("fuzz_stream", "ecg-hrv-take-each-chunk", [0x1B, 0, 127, 255] + list(stream("ecg")))
put("fuzz_stream", "mixed-raw-off-save", [0x25, 3, 17, 31] + list(stream("mixed")))
put("fuzz_stream", "faults-record-raw", [0x01, 1, 2, 250] + list(stream("faults")))

# fuzz_request: operations (see fuzz_request.cpp).
def chunks(data, size):
    out = []
    for i in range(0, len(data), size):
        part = data[i:i + size]
        out += [1, len(part) - 1] + list(part)
    return out
eeg = stream("eeg")[:600]
put("fuzz_request", "packet-evaluator", [0, 2, 0x85, 1, 0x7E] + chunks(eeg, 61))
put("fuzz_request", "line-evaluator", [0, 1, 10, 2, 65, 84] + chunks(b"OK\r\nERROR\r\n", 3) + [2])
put("fuzz_request", "queue-of-three", [0, 3, 7, 0, 0, 4, 0, 1, 9, 0, 0, 0, 0] + chunks(eeg[:200], 40))
put("fuzz_request", "reopen-then-hangup", [0, 4, 0x80, 0] + chunks(eeg[:100], 50) + [3] + chunks(eeg[100:200], 64) + [4])

# fuzz_hrv: a mode byte, then little-endian 32-bit words.
def words(values):
    return list(b"".join(struct.pack("<i", v) for v in values))
rr = [1000 + (37 * k) % 120 - 60 for k in range(80)]
put("fuzz_hrv", "energy-80-beats", [0] + words(rr))
put("fuzz_hrv", "energy-generated", [1] + words([300000, 812, 790, 845, 901]))
ecg = stream("ecg")
samples = [struct.unpack(">h", ecg[i + 5:i + 7])[0] for i in range(len(ecg) - 7)
           if ecg[i:i + 5] == b"\xaa\xaa\x04\x80\x02"]
put("fuzz_hrv", "ecg-samples", [2] + words(samples[:768]))
put("fuzz_hrv", "sums", [3] + words([1, -5, 2**31 - 1, 7, 0, 0x7FF80000, 0]))
PY
ls -l fuzz/corpus/*
