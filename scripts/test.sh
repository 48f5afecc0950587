#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite.
#   scripts/test.sh            normal build
#   ZAVO_FLAVOURS="normal asan tsan" scripts/test.sh   several builds in turn
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
flavours=${ZAVO_FLAVOURS:-normal}
for f in $flavours; do
  scripts/build.sh "$f"
  case "$f" in normal) dir=build ;; *) dir=build-$f ;; esac
  echo "[test] running the $f suite"
  (cd "$dir" && ctest --output-on-failure --timeout 600 -j1)
done
echo "[test] all suites passed"
