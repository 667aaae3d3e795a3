#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/*.cpp) with clang under AddressSanitizer
# and UndefinedBehaviorSanitizer into build-fuzz/ (or $BUILD_DIR) and runs
# each for SECONDS (default 60) from its seed corpus in fuzz/corpus/<target>/.
# Fails on any finding; the input that caused it is kept as
# fuzz/artifacts/<target>/crash-... (replay it with build-fuzz/<target> FILE,
# then turn it into a test in tests/).  New corpus entries go to a scratch
# directory, so the committed seeds stay as they are.
#   scripts/fuzz.sh [SECONDS]        e.g. scripts/fuzz.sh 3600 for a long run
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=${BUILD_DIR:-build-fuzz}

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMORA_BUILD_FUZZ=ON -DVELMORA_SANITIZE=address,undefined \
  -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF >/dev/null
targets=()
for src in fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The targets run side by side (the build machine has two cores), each for
# SECONDS of wall-clock time.
pids=()
for t in "${targets[@]}"; do
  echo "== fuzzing $t for ${seconds}s"
  mkdir -p "fuzz/artifacts/$t" "$scratch/$t"
  "$dir/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="fuzz/artifacts/$t/" "$scratch/$t" "fuzz/corpus/$t" \
    >"$scratch/$t.log" 2>&1 &
  pids+=($!)
done
failed=()
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  if ! wait "${pids[$i]}"; then
    failed+=("$t")
    echo "== $t found a problem:"
    tail -n 60 "$scratch/$t.log"
  else
    echo "== $t: $(grep -E "^stat::(number_of_executed_units|peak_rss_mb)" "$scratch/$t.log" | tr -s ' ' | tr '\n' ' ')"
  fi
done
if ((${#failed[@]})); then
  echo "fuzzing found problems in: ${failed[*]} (inputs in fuzz/artifacts/)"
  exit 1
fi
echo "fuzzing: no findings"
