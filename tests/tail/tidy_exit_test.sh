#!/usr/bin/env bash
# The tools as a user runs them from an empty directory: asking for --help
# leaves nothing behind, a run that logs leaves its one log file, and (when
# valgrind is installed and the build has no sanitizer) a default leak check
# of a program that loaded the library, opened a session and logged passes:
# the library's logger thread ends with the library.
# Usage: tidy_exit_test.sh <zavo_tail> <zavo_sim> <zavo_record> <sanitized: 0|1>
set -euo pipefail
tail_bin=$1 sim_bin=$2 record_bin=$3 sanitized=$4
work=$(mktemp -d /tmp/zavo_tidy.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

for bin in "$tail_bin" "$sim_bin" "$record_bin"; do
  "$bin" --help >/dev/null
done
left=$(ls -A)
[ -z "$left" ] || fail "--help left files behind: $left"

# Nothing listens on port 1 of the loopback: the open fails and is logged.
status=0
"$tail_bin" --server 127.0.0.1:1 2>err.txt || status=$?
[ "$status" = 1 ] || fail "zavo_tail against no server: status $status, want 1"
grep -q "cannot open the session: connecting to 127.0.0.1:1 failed: connection refused (-99)" err.txt ||
  fail "no reason on stderr: $(cat err.txt)"
n=$(ls logs | wc -l)
[ "$n" = 1 ] || fail "want one log file, found $n"
grep -q "Open failed: connecting to 127.0.0.1:1 failed: connection refused" logs/*.log ||
  fail "the reason is not in the log: $(cat logs/*.log)"
rm -rf logs err.txt

if [ "$sanitized" = 1 ] || ! command -v valgrind >/dev/null; then
  echo "tidy: valgrind check skipped (sanitizer build or no valgrind)"
  exit 0
fi
status=0
valgrind --leak-check=full --error-exitcode=77 --log-file=vg.txt \
  "$tail_bin" --server 127.0.0.1:1 2>/dev/null || status=$?
[ "$status" = 1 ] || { cat vg.txt >&2; fail "valgrind run: status $status, want 1 (77: a leak)"; }
grep -q "possibly lost: 0 bytes" vg.txt || { cat vg.txt >&2; fail "valgrind found a possible leak"; }
echo "tidy: ok"
