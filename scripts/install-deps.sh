#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the
# tools need and the machine lacks.  Safe to run again: it installs nothing
# when everything is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache clang libclang-rt-14-dev
  libudev-dev libkissfft-dev uuid-dev libsystemd-dev libedf-dev
  nlohmann-json3-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  locales
  dbus-daemon util-linux
  dpkg-dev file  # cpack -G DEB: dpkg-shlibdeps declares the package's dependencies
  pybind11-dev python3-dev python3-numpy python3-pytest python3-matplotlib python3-scipy python3-mne
  python3-venv python3-pip python3-setuptools
  libcpp-httplib-dev libjs-dygraphs chromium python3-websocket
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}" >&2
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
