#!/usr/bin/env bash
# Builds Release into build-release/ (or $BUILD_DIR), runs every benchmark
# and the timed runs of bench/soak, and writes bench/RESULTS.md with the
# machine, the date, the command and each figure beside its target.
#   scripts/bench.sh                  everything (about 5 minutes)
#   SOAK_HOURS=0 scripts/bench.sh     without the two-hour soak run
#   BEFORE_DIR=DIR scripts/bench.sh   also compares real-time CPU, wake-ups and
#                                     latency with the Release build in DIR
#                                     (bench/compare_realtime.py), alternating
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build-release}
soak_hours=${SOAK_HOURS:-2}
cycles=${CYCLES:-1000}

BUILD_DIR="$dir" BUILD_TYPE=Release scripts/build.sh -DVELMORA_BUILD_TESTS=OFF
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== Google Benchmark (velmora_bench)"
"$dir/velmora_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$work/bench.json" --benchmark_out_format=json

echo "== velmora decode on one hour of stream"
"$dir/velmora" simulate --mode mixed --seconds 3600 --seed 1 --output "$work/hour.bin"
best=0
for _ in 1 2 3; do
  start=$(date +%s%N)
  "$dir/velmora" decode "$work/hour.bin" >/dev/null 2>&1
  t=$(($(date +%s%N) - start))
  if [ "$best" = 0 ] || [ "$t" -lt "$best" ]; then best=$t; fi
done
echo "decode_ns: $best" | tee "$work/decode.txt"
echo "decode_bytes: $(stat -c %s "$work/hour.bin")" | tee -a "$work/decode.txt"

if [ -d "$dir/python/velmora" ]; then
  echo "== velmora.decode (Python) beside velmora decode, one hour of stream"
  PYTHONPATH="$dir/python" /usr/bin/python3 bench/python_decode.py "$dir/velmora" 3600 5 | tee "$work/python.txt"
fi

echo "== latency (30 s at real-time rate)"
"$dir/velmora_soak" --latency 30 | tee "$work/latency.txt" || true
echo "== CPU and memory while streaming at real-time rate (30 s)"
"$dir/velmora_soak" --cpu 30 | tee "$work/cpu.txt" || true
echo "== ingest through a pty against a bare loop (half an hour of stream, best of 5)"
"$dir/velmora_soak" --ingest 1800 | tee "$work/ingest.txt" || true
echo "== $cycles connect/disconnect cycles"
"$dir/velmora_soak" --cycles "$cycles" | tee "$work/cycles.txt" || true
if [ "$soak_hours" != 0 ]; then
  echo "== soak: $soak_hours h of headset time at up to 5000x real time"
  "$dir/velmora_soak" --hours "$soak_hours" --speed 5000 | tee "$work/soak.txt" || true
fi

echo "== live view: 20 web viewers (one stalled) over 5 minutes of headset time"
/usr/bin/python3 bench/web_viewers.py "$dir/velmora" 300 20 20 > "$work/web.md" || true

if [ -n "${BEFORE_DIR:-}" ]; then
  echo "== real time: $BEFORE_DIR against $dir, alternating"
  python3 bench/compare_realtime.py "$BEFORE_DIR" "$dir" --rounds 6 --seconds 15 > "$work/compare.md"
fi

python3 bench/results.py "$work" "scripts/bench.sh" > bench/RESULTS.md
cat "$work/web.md" >> bench/RESULTS.md
if [ -s "$work/compare.md" ]; then
  { echo; echo "## Real time against $BEFORE_DIR"; echo; cat "$work/compare.md"; } >> bench/RESULTS.md
fi
echo "== wrote bench/RESULTS.md"
