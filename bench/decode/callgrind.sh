#!/bin/sh
# Instructions per field of the decode path and of its memcpy floor, per
# record kind, counted by callgrind (deterministic, unlike wall clock on a
# shared machine), and their average weighted by the fields of each kind.
#
# usage: bench/decode/callgrind.sh BUILD_DIR [PASSES]
#
# The two functions are found by name, so a build with or without debug
# information (Release or RelWithDebInfo) can be profiled.
set -eu
build=${1:?usage: $0 BUILD_DIR [PASSES]}
passes=${2:-4}
exe="$build/bench/decode/bench_decode"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '%-18s %8s %10s %10s %8s\n' kind fields "floor Ir" "step Ir" ratio
for k in 0 1 2 3 4 5 6; do
  valgrind --tool=callgrind --callgrind-out-file="$tmp/cg.$k" \
    "$exe" --profile "$k" --passes "$passes" >"$tmp/out.$k" 2>/dev/null
  name=$(sed -n 's/.*name="\([^"]*\)".*/\1/p' "$tmp/out.$k")
  fields=$(sed -n 's/.* fields=\([0-9]*\) .*/\1/p' "$tmp/out.$k")
  callgrind_annotate --inclusive=yes --threshold=100 "$tmp/cg.$k" >"$tmp/ann.$k" 2>/dev/null
  ir_of() { grep ":(anonymous namespace)::$1(" "$tmp/ann.$k" | head -1 | awk '{gsub(",","",$1); print $1}'; }
  floor=$(ir_of 'profile_floor')
  step=$(ir_of 'profile_process')
  if [ -z "$floor" ] || [ -z "$step" ]; then
    echo "kind $k: profile_floor/profile_process not found in the profile" >&2
    exit 1
  fi
  echo "$name|$fields|$floor|$step" >>"$tmp/rows"
  awk -v n="$name" -v f="$fields" -v p="$passes" -v a="$floor" -v b="$step" 'BEGIN {
    per = f * p; printf "%-18s %8d %10.1f %10.1f %7.2fx\n", n, f, a / per, b / per, b / a }'
done
awk -F'|' -v p="$passes" '{ n += $2; a += $3; b += $4 } END {
  per = n * p; printf "%-18s %8d %10.1f %10.1f %7.2fx\n", "weighted", n, a / per, b / per, b / a }' "$tmp/rows"
