#!/usr/bin/env bash
# Builds the libFuzzer flavour and fuzzes each target for a while.
#   scripts/fuzz.sh                 every target, 60 s each
#   scripts/fuzz.sh 300             every target, 5 minutes each
#   scripts/fuzz.sh 120 fuzz_raw_stream fuzz_feedtap_ini
# Environment: ZAVO_FUZZ_DIR (build directory, default build-fuzz),
# ZAVO_FUZZ_JOBS (targets run at once, default 1), ZAVO_FUZZ_WORK (where new
# inputs and findings go, default <build dir>/fuzz-work).
# The committed seeds in fuzz/corpus/<target> are read, never written: new
# inputs land in the work directory, and a finding (crash-*, leak-*,
# timeout-*, oom-*) is left there and named in the summary. Keep a finding
# by copying it into fuzz/corpus/<target>/ once the fault is fixed, so that
# the ctest fuzz_replay_<target> replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: $0 [seconds] [target...]" >&2
  exit 2
fi
shift || true

build=${ZAVO_FUZZ_DIR:-build-fuzz}
jobs=${ZAVO_FUZZ_JOBS:-1}
work=${ZAVO_FUZZ_WORK:-$root/$build/fuzz-work}

need=()
command -v clang++ >/dev/null || need+=(clang)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
pkg-config --exists libuv 2>/dev/null || need+=(libuv1-dev pkg-config)
if [ ${#need[@]} -gt 0 ]; then
  echo "[fuzz] installing ${need[*]}"
  apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

all=()
for f in fuzz/fuzz_*.cpp; do all+=("$(basename "$f" .cpp)"); done
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
for t in "${targets[@]}"; do
  if [ ! -f "fuzz/$t.cpp" ]; then
    echo "[fuzz] unknown target $t (known: ${all[*]})" >&2
    exit 2
  fi
done

echo "[fuzz] configuring $build"
if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DZAVO_FUZZ=ON \
    -DZAVO_BUILD_TESTS=OFF -DZAVO_BUILD_TOOLS=OFF -DZAVO_BUILD_BENCH=OFF >/dev/null
fi
echo "[fuzz] building ${targets[*]}"
cmake --build "$build" -j2 --target "${targets[@]}"

run_one() {
  local t=$1
  local dir="$work/$t"
  mkdir -p "$dir/corpus" "$dir/findings"
  echo "[fuzz] $t: ${seconds}s"
  # Memory is capped well above any one input's needs, so a leak or a
  # runaway buffer shows up as a finding rather than as a sick machine.
  (cd "$dir" && "$root/$build/fuzz/$t" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -timeout=25 -print_final_stats=1 -artifact_prefix="$dir/findings/" \
    "$dir/corpus" "$root/fuzz/corpus/$t" >"$dir/log" 2>&1)
}

status=0
pids=()
names=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  names+=("$t")
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || true
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || true; done

echo
printf '%-24s %12s %10s  %s\n' target runs exec/s result
for t in "${targets[@]}"; do
  log="$work/$t/log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  found=$(ls "$work/$t/findings" 2>/dev/null | head -1)
  if [ -n "$found" ]; then
    result="FINDING $work/$t/findings/$found"
    status=1
  elif grep -q "Done [0-9]* runs" "$log"; then
    result=clean
  else
    result="did not finish, see $log"
    status=1
  fi
  printf '%-24s %12s %10s  %s\n' "$t" "${runs:-?}" "${rate:-?}" "$result"
done
exit $status
