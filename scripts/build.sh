#!/usr/bin/env bash
# Configures and builds one flavour of the project, warnings as errors.
#   scripts/build.sh [normal|clang|asan|tsan|windows] [ninja targets...]
#
#   normal  build/         gcc, Release (-O3, what users build by default)
#   clang   build-clang/   clang, Release
#   asan    build-asan/    gcc, RelWithDebInfo, AddressSanitizer + UBSan
#   tsan    build-tsan/    gcc, RelWithDebInfo, ThreadSanitizer
#   windows build-windows/ MinGW-w64 cross build, Release: zavo_api.dll, its
#           import libraries and the header, installed into
#           build-windows/dist/ (bin/, lib/, include/). libuv is cross-built
#           once from Debian's source package and cached in
#           ${ZAVO_WIN_CACHE:-~/.cache/zavo-windows} (scripts/win_libuv.sh).
# The sanitizer builds keep debug information so that their reports name
# files and lines. A plain cmake configure leaves warnings as warnings; our
# own builds turn them into errors.
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-normal}
shift || true
common=(-DZAVO_WERROR=ON)
case "$flavour" in
  normal) dir=build;       opts=(-DCMAKE_BUILD_TYPE=Release) ;;
  clang)  dir=build-clang; opts=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  asan)   dir=build-asan;  opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAVO_ASAN=ON -DZAVO_BUILD_BENCH=OFF) ;;
  tsan)   dir=build-tsan;  opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAVO_TSAN=ON -DZAVO_BUILD_BENCH=OFF) ;;
  windows)
    dir=build-windows
    ZAVO_BOOTSTRAP_WINDOWS=1 scripts/bootstrap.sh
    libuv_prefix=$(scripts/win_libuv.sh | tail -1)
    opts=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
          "-DZAVO_LIBUV_PREFIX=$libuv_prefix" -DCMAKE_INSTALL_PREFIX="$PWD/$dir/dist") ;;
  *) echo "unknown flavour: $flavour (normal, clang, asan, tsan or windows)" >&2; exit 2 ;;
esac
# Configured every time (a second of work when nothing changed), so that a
# build directory made before a change of these options follows it.
if [ ! -f "$dir/build.ninja" ]; then
  echo "[build] configuring $dir"
fi
cmake -S . -B "$dir" -G Ninja "${common[@]}" "${opts[@]}" >/dev/null
echo "[build] building $dir"
cmake --build "$dir" -- "$@"
if [ "$flavour" = windows ] && [ $# -eq 0 ]; then
  cmake --install "$dir" >/dev/null
  echo "[build] Windows x64 files in $dir/dist: $(cd "$dir/dist" && find . -type f | sort | tr '\n' ' ')"
fi
