#!/usr/bin/env bash
# Installs what is missing, builds the tool, and runs the demo on the built-in
# simulated headset.  Extra arguments go to `velmora demo`.  Only the tool is
# built, and build/'s configuration is left as it is, so that scripts/test.sh
# later builds and runs the whole suite in the same tree.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
TARGETS=velmora_tool scripts/build.sh
exec build/velmora demo "$@"
