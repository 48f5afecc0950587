#!/usr/bin/env bash
# Installs whatever this machine lacks to build and test the project (Debian,
# as root). Quiet and quick when everything is already there.
set -euo pipefail

need_pkgs=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# libcli11-dev: the tools' option parsers (header-only); libpcap-dev: capture files;
# libzstd-dev: compressed capture files, zstd: the tests compare with its decompression;
# pybind11 and numpy for the distribution's python3: the Python binding (python3-pip brings
# setuptools and wheel, which pip needs to build it without a package index); dpkg-dev: packages.
# The outside tools the suite checks our outputs with: lintian (the packages), tcpdump (its
# default capture read by our readers), valgrind (a default leak check of a program using the
# library) and python3-pandas (zavo.to_frame).
for p in build-essential cmake ninja-build pkg-config libuv1-dev libgtest-dev libgmock-dev \
         libbenchmark-dev clang libclang-rt-dev iproute2 git libcli11-dev libpcap-dev \
         libzstd-dev zstd \
         python3 python3-dev python3-numpy python3-pytest python3-venv python3-pip python3-pybind11 \
         pybind11-dev dpkg-dev file lintian tcpdump valgrind python3-pandas; do
  have "$p" || need_pkgs+=("$p")
done
# The Windows x64 cross build and its test under wine (scripts/build.sh
# windows, the "windows" test flavour) need the MinGW-w64 compilers and wine.
if [ "${ZAVO_BOOTSTRAP_WINDOWS:-0}" = 1 ]; then
  for p in g++-mingw-w64-x86-64 wine64; do
    have "$p" || need_pkgs+=("$p")
  done
fi
if [ ${#need_pkgs[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "[bootstrap] missing packages: ${need_pkgs[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "[bootstrap] installing: ${need_pkgs[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need_pkgs[@]}" >/dev/null
fi
