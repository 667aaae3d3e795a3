#!/usr/bin/env bash
# Installs what is missing, builds everything with the tests (whatever an
# earlier configuration of the build tree left out), and runs the whole suite.
# Fails when a test fails, hangs (the per-test time-out is set in
# CMakeLists.txt) or when no test ran at all.  Extra arguments go to CMake's
# configure step; $BUILD_DIR picks the tree (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh -DVELMORA_BUILD_TESTS=ON -DVELMORA_WERROR=ON "$@"
ctest --test-dir "${BUILD_DIR:-build}" -j "$(nproc)" --output-on-failure --no-tests=error
