#!/usr/bin/env bash
# Configures (once) and builds one flavour of the project.
#   scripts/build.sh [normal|asan|tsan] [ninja targets...]
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-normal}
shift || true
case "$flavour" in
  normal) dir=build;      opts=() ;;
  asan)   dir=build-asan; opts=(-DZAVO_ASAN=ON -DZAVO_BUILD_BENCH=OFF) ;;
  tsan)   dir=build-tsan; opts=(-DZAVO_TSAN=ON -DZAVO_BUILD_BENCH=OFF) ;;
  *) echo "unknown flavour: $flavour (normal, asan or tsan)" >&2; exit 2 ;;
esac
if [ ! -f "$dir/build.ninja" ]; then
  echo "[build] configuring $dir"
  cmake -S . -B "$dir" -G Ninja "${opts[@]}" >/dev/null
fi
echo "[build] building $dir"
cmake --build "$dir" -- "$@"
