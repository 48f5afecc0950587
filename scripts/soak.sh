#!/usr/bin/env bash
# Builds (when needed) and runs the fault-injection soak: the simulator and
# one struct and one raw session in a private network namespace, with
# connection drops, refused logins, garbage, gaps, a slow handler and
# retransmissions cut by drops, then open/close cycles. Prints a table of
# figures and checks at the end; exits non-zero when a check fails.
#   scripts/soak.sh [seconds]                 normal build, 120 s of faults
#   ZAVO_SOAK_FLAVOUR=asan scripts/soak.sh 20 the AddressSanitizer build
#   ZAVO_SOAK_ARGS="--cycles 50 --rate 5000" scripts/soak.sh 30
# The library's log file lands in <build dir>/soak-run/logs/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-120}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: $0 [seconds]" >&2
  exit 2
fi
flavour=${ZAVO_SOAK_FLAVOUR:-normal}
case "$flavour" in normal) dir=build ;; asan|tsan) dir=build-$flavour ;;
  *) echo "unknown flavour: $flavour (normal, asan or tsan)" >&2; exit 2 ;;
esac

# The same sanitizer settings as the test suite: the first report ends the run.
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:check_initialization_order=1:strict_init_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

scripts/bootstrap.sh
scripts/build.sh "$flavour" zavo_soak >/dev/null
run="$dir/soak-run"
mkdir -p "$run"
echo "[soak] $seconds s of faults in the $flavour build (log files in $run/logs)"
# shellcheck disable=SC2086  # ZAVO_SOAK_ARGS is a list of options
exec "$dir/tools/soak/zavo_soak" --seconds "$seconds" --workdir "$run" ${ZAVO_SOAK_ARGS:-}
