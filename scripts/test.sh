#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite (what CI
# runs) in five builds one after the other, warnings as errors in each:
#   normal  gcc, Release: the whole suite (with the package and install
#           tests), each benchmark's --quick smoke and a 20 s soak
#   clang   clang, Release: everything built (the other compiler users
#           choose stays warning-free) and the suite run
#   asan    AddressSanitizer with UndefinedBehaviorSanitizer: the suite and
#           a 10 s soak at a lower rate
#   tsan    ThreadSanitizer: likewise
#   windows the MinGW-w64 cross build of zavo_api.dll and its C test run
#           under wine against the normal build's zavo_sim (built here if
#           the normal flavour did not run); libuv and the wine prefix are
#           cached in ${ZAVO_WIN_CACHE:-~/.cache/zavo-windows}
# The first sanitizer report ends the program that made it, which fails its
# test and the run.
#
#   scripts/test.sh                          the whole suite, all five builds
#   ZAVO_FLAVOURS=normal scripts/test.sh     one build ("normal", "clang", "asan", "tsan",
#                                            "windows", or a list)
#   ZAVO_SOAK_SECONDS=0 scripts/test.sh      without the short soak runs
set -euo pipefail
cd "$(dirname "$0")/.."

flavours=${ZAVO_FLAVOURS:-normal clang asan tsan windows}
soak_seconds=${ZAVO_SOAK_SECONDS:-20}
# Two cores: more parallel compilers than that only add memory pressure.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# halt_on_error: a report ends the program with a failure status at once,
# rather than being printed and forgotten in a test that still passes.
# UBSan checks are also built with -fno-sanitize-recover (cmake/ZavoOptions).
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:check_initialization_order=1:strict_init_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

scripts/bootstrap.sh

failed=()
summary=()
for f in $flavours; do
  case "$f" in normal) dir=build ;; clang|asan|tsan|windows) dir=build-$f ;;
    *) echo "unknown flavour: $f (normal, clang, asan, tsan or windows)" >&2; exit 2 ;;
  esac
  start=$SECONDS
  if [ "$f" = windows ]; then
    # The DLL's test talks to the Linux simulator of the normal build.
    [ -x build/tools/sim/zavo_sim ] || scripts/build.sh normal zavo_sim
  fi
  echo "[test] building the $f flavour"
  scripts/build.sh "$f"
  echo "[test] running the $f suite"
  # ThreadSanitizer runs the code several times slower: its per-test limits
  # grow with it. The suites' own waits are generous enough for it.
  timeout_args=(--timeout 600)
  [ "$f" = tsan ] && timeout_args=(--timeout 1200)
  ok=1
  (cd "$dir" && ctest --output-on-failure "${timeout_args[@]}" -j1) || ok=0

  if [ "$f" = normal ] && [ $ok = 1 ]; then
    # Benchmarks are not measured in CI; their quick mode only proves they run.
    for b in "$dir"/bench/*/bench_*; do
      [ -x "$b" ] || continue
      grep -q -- "--quick" "$b" || continue
      echo "[test] smoke: $(basename "$b") --quick"
      if ! "$b" --quick >"$dir/$(basename "$b").smoke.log" 2>&1; then
        echo "[test] $(basename "$b") --quick failed:"; tail -20 "$dir/$(basename "$b").smoke.log"
        ok=0
      fi
    done
    # The binding's benchmark is a script, run against this build's package.
    if [ -d "$dir/python/zavo" ]; then
      echo "[test] smoke: bench/python/bench_throughput.py --quick"
      if ! PYTHONPATH="$dir/python" ZAVO_SIM="$dir/tools/sim/zavo_sim" \
           ZAVO_TAIL="$dir/tools/zavo_tail/zavo_tail" /usr/bin/python3 \
           bench/python/bench_throughput.py --quick >"$dir/bench_throughput_py.smoke.log" 2>&1; then
        echo "[test] bench_throughput.py --quick failed:"; tail -20 "$dir/bench_throughput_py.smoke.log"
        ok=0
      fi
    fi
  fi
  if [ "$soak_seconds" -gt 0 ] && [ $ok = 1 ]; then
    case "$f" in
      normal) ZAVO_SOAK_FLAVOUR=normal scripts/soak.sh "$soak_seconds" || ok=0 ;;
      asan) ZAVO_SOAK_FLAVOUR=asan ZAVO_SOAK_ARGS="--cycles 100 --rate 10000" \
              scripts/soak.sh $(( (soak_seconds + 1) / 2 )) || ok=0 ;;
      tsan) ZAVO_SOAK_FLAVOUR=tsan ZAVO_SOAK_ARGS="--cycles 60 --rate 5000 --raw-rate 200" \
              scripts/soak.sh $(( (soak_seconds + 1) / 2 )) || ok=0 ;;
    esac
  fi
  [ "$f" = windows ] && echo "[test] windows flavour took $((SECONDS - start)) s"
  summary+=("$f: $([ $ok = 1 ] && echo passed || echo FAILED) in $((SECONDS - start)) s")
  [ $ok = 1 ] || failed+=("$f")
done

echo "[test] summary:"
for line in "${summary[@]}"; do echo "[test]   $line"; done
if [ ${#failed[@]} -gt 0 ]; then
  echo "[test] FAILED: ${failed[*]}"
  exit 1
fi
echo "[test] all suites passed"
