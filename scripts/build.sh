#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR), passing extra arguments to
# CMake's configure step.  $TARGETS (names separated by blanks) builds only
# those targets.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
targets=()
for t in ${TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
