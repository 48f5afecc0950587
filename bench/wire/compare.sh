#!/usr/bin/env bash
# Before/after on the wire path, measured in one run:
#   bench/wire/compare.sh BASE_REV [bench_wire args...]
# Builds the client library of BASE_REV (a detached git worktree under /tmp,
# gcc Release as users build it) and this tree's bench_wire and library
# (scripts/build.sh normal), then runs this tree's bench_wire once with
# both libraries loaded side by side: the same publisher, the same floors,
# and rounds in which the two builds' sessions alternate, so that the load
# of the moment falls on both alike. Prints the load average around the run
# and bench_wire's before/after table (markdown, ratios over the blocking
# floor of the same rounds). The output is also kept in a log file beside
# the worktree.
set -euo pipefail
if [ $# -lt 1 ] || [ "${1#-}" != "$1" ]; then
  echo "usage: $0 BASE_REV [bench_wire args...]" >&2
  exit 2
fi
base_rev=$1
shift
root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
rev=$(git -C "$root" rev-parse --verify --quiet "${base_rev}^{commit}") || {
  echo "compare: $base_rev is not a commit of this repository" >&2
  exit 2
}
short=${rev:0:10}
wt=/tmp/zavo-wire-base-$short

# Two cores, shared: at most two compilers, through ccache when there is one.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
fi

# The base tree: reused while it is still a worktree at that commit.
if [ "$(git -C "$wt" rev-parse HEAD 2>/dev/null || true)" != "$rev" ]; then
  if [ -e "$wt" ]; then
    echo "compare: $wt exists but is not a worktree at $short; remove it first" >&2
    exit 1
  fi
  echo "[compare] worktree of $short in $wt"
  # --force: the path may still be registered from a worktree deleted by hand.
  git -C "$root" worktree add --force --detach --quiet "$wt" "$rev"
fi
echo "[compare] building the library of $short (Release)"
cmake -S "$wt" -B "$wt/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZAVO_BUILD_TESTS=OFF \
  -DZAVO_BUILD_BENCH=OFF -DZAVO_BUILD_TOOLS=OFF >/dev/null
cmake --build "$wt/build" --target zavo_api >/dev/null
base_lib=$(readlink -f "$wt/build/src/libzavo_api.so")

echo "[compare] building this tree's bench_wire and library"
(cd "$root" && scripts/build.sh normal bench_wire zavo_api >/dev/null)
bench=$root/build/bench/wire/bench_wire

# The libraries write their log files into the working directory.
run=$wt/run
mkdir -p "$run"
log=$run/compare-$(date -u +%Y%m%d-%H%M%S).log
echo "[compare] base $short: $base_lib"
echo "[compare] this tree ($(git -C "$root" rev-parse --short=10 HEAD)$(git -C "$root" diff --quiet HEAD -- src include || echo ', with uncommitted changes')): $root/build/src/libzavo_api.so"
echo "[compare] output also in $log"
{
  echo "load before: $(cat /proc/loadavg)"
  status=0
  (cd "$run" && "$bench" --base-library "$base_lib" "$@") 2>&1 | grep -v '^## ' || status=$?
  echo "load after: $(cat /proc/loadavg)"
  exit "$status"
} | tee "$log"
