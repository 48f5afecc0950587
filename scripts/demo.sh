#!/usr/bin/env bash
# Builds the project and runs the live demo: the market-data simulator and the
# command-line client together on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
scripts/build.sh normal
if [ ! -x build/tools/sim/zavo_sim ] || [ ! -x build/tools/zavo_tail/zavo_tail ]; then
  echo "[demo] the simulator and the client are not built yet: the live demo arrives with struct mode."
  exit 0
fi
exec build/tools/zavo_tail/zavo_demo "$@"
