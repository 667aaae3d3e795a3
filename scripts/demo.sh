#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo on the built-in
# simulated headset.  Extra arguments go to `velmora demo`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF
exec build/velmora demo "$@"
