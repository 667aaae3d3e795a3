#!/usr/bin/env bash
# Installs the build tree below a staging root, moves the installed tree, and
# builds and runs a host against the moved copy through pkg-config and through
# find_package(Velmora) and find_package(velmora).  Checks that exactly the
# public headers are installed, each usable on its own, and that nothing
# lands outside the prefix.
#   consumer.sh BUILD_DIR SOURCE_DIR CXX "PUBLIC HEADERS" "EXTRA FLAGS" [PYTHON]
set -euo pipefail
build=$1 src=$2 cxx=$3 headers=$4 flags=$5 python=${6:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# With DESTDIR, a rule that writes to an absolute path outside the prefix
# shows up beside it.
DESTDIR=$work/root cmake --install "$build" --prefix /stage >/dev/null
outside=$(ls -A "$work/root")
[ "$outside" = stage ] || fail "installed outside the prefix: $outside"
mv "$work/root/stage" "$work/moved"
p=$work/moved

diff <(printf 'Velmora/%s\n' $headers | sort) <(cd "$p/include" && find . -type f | sed 's|^\./||' | sort) \
  || fail "the installed headers are not the public ones"
[ -f "$p/lib/udev/rules.d/70-velmora.rules" ] || fail "no udev rule below the prefix"
"$p/bin/velmora" --help >/dev/null

export PKG_CONFIG_PATH=$(dirname "$(find "$p" -name velmora.pc)")
cflags=$(pkg-config --cflags velmora)
case "$cflags" in *-D*) fail "pkg-config cflags carry definitions: $cflags" ;; esac
for h in $headers; do
  echo "#include <Velmora/$h>" | $cxx $cflags -fsyntax-only -x c++ - || fail "Velmora/$h does not compile on its own"
done
$cxx $flags "$src/tests/install/consumer/main.cpp" -o "$work/pc-host" $(pkg-config --cflags --libs velmora) \
  -Wl,-rpath,"$(pkg-config --variable=libdir velmora)"
"$work/pc-host"

cmake -S "$src/tests/install/consumer" -B "$work/cmake-host" -G Ninja -DCMAKE_PREFIX_PATH="$p" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
"$work/cmake-host/host"
"$work/cmake-host/host_static"

if [ -n "$python" ]; then
  PYTHONPATH=$(dirname "$(find "$p" -path '*-packages/velmora' -type d)") "$python" -c \
    'import velmora; velmora.hrv([1000] * 65)'
fi
