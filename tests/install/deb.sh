#!/usr/bin/env bash
# Makes the Debian package of the build tree with cpack and checks what it
# holds and declares: everything below /usr, the shared library, the public
# headers only, the CMake and pkg-config files, the tool, the udev rule, the
# Python module when it is built, and the libraries it depends on.
#   deb.sh BUILD_DIR "PUBLIC HEADERS" WITH_PYTHON(0|1)
set -euo pipefail
build=$1 headers=$2 with_python=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
deb=$(ls "$work"/*.deb)
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||')
echo "$files" | grep -v '^usr/' && fail "files outside /usr"
lib='usr/lib/([^/]+/)?'  # the library folder may be a multiarch one
expected=(usr/bin/velmora "${lib}libvelmora\.so" "${lib}libvelmora\.a" "${lib}pkgconfig/velmora\.pc"
  "${lib}cmake/Velmora/velmora-config\.cmake" "${lib}cmake/Velmora/velmora-targets\.cmake"
  usr/lib/udev/rules.d/70-velmora\.rules)
[ "$with_python" = 1 ] && expected+=(usr/lib/python3/dist-packages/velmora/__init__\.py)
for f in "${expected[@]}"; do echo "$files" | grep -qxE "$f" || fail "$f missing from the package"; done
diff <(printf 'usr/include/Velmora/%s\n' $headers | sort) <(echo "$files" | grep '^usr/include/' | sort) \
  || fail "the packaged headers are not the public ones"
depends=$(dpkg-deb -f "$deb" Depends)
for d in libudev1 libkissfft-float131 libedf1 $([ "$with_python" = 1 ] && echo python3-numpy); do
  [[ ", $depends," == *", $d "* || ", $depends," == *", $d,"* ]] || fail "Depends lacks $d: $depends"
done
