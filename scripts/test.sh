#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh -DVELMORA_WERROR=ON "$@"
ctest --test-dir "${BUILD_DIR:-build}" -j "$(nproc)" --output-on-failure --timeout 180
