#!/usr/bin/env bash
# Runs the Windows test program under wine against the Linux simulator,
# both inside a private network namespace this script makes, so nothing
# either of them sends can leave the host.
#
#   tests/windows/run_wine_test.sh ZAVO_WIN_TEST_EXE ZAVO_SIM
#
# Wine creates its sockets in its server process (wineserver), so the
# server of the private wine prefix is started inside the namespace too, and
# stopped before the namespace ends. The prefix is made once and kept in
# ${ZAVO_WIN_CACHE:-~/.cache/zavo-windows}/wineprefix.
#
# The program asks for the server drop by creating "drop.request" in its
# working directory; this script then stops the simulator, starts it again
# on the same addresses and removes the file.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 ZAVO_WIN_TEST_EXE ZAVO_SIM" >&2
  exit 2
fi
exe=$(readlink -f "$1")
sim=$(readlink -f "$2")
for f in "$exe" "$sim"; do
  [ -x "$f" ] || { echo "[wine-test] missing: $f" >&2; exit 1; }
done

if [ "${ZAVO_WINE_NETNS:-}" != 1 ]; then
  # Root (CI) makes a network namespace directly; others need a user
  # namespace around it.
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare --net -- env ZAVO_WINE_NETNS=1 "$0" "$exe" "$sim"
  fi
  exec unshare --map-root-user --net -- env ZAVO_WINE_NETNS=1 "$0" "$exe" "$sim" || {
    echo "[wine-test] cannot make a private network namespace (unshare failed)" >&2
    exit 1
  }
fi

ip link set lo up
cache=${ZAVO_WIN_CACHE:-$HOME/.cache/zavo-windows}
mkdir -p "$cache"
export WINEPREFIX
WINEPREFIX=$(cd "$cache" && pwd)/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
# No .NET or HTML engine installers: the test needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

# A server of this prefix left from an earlier run lives in another
# namespace: it goes, so that this run's sockets are made in this one.
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w >/dev/null 2>&1 || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "[wine-test] making the wine prefix $WINEPREFIX (once)"
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1
fi

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

port=6600
group=239.255.6.1
start_sim() {
  "$sim" --listen 127.0.0.1:$port --group $group --port 6601 --raw-port 6602 \
    --interface 127.0.0.1 --mode both -q >>"$work/sim.log" 2>&1 &
  sim_pid=$!
  # Listening once /proc shows the socket (hex port, state 0A).
  local hex
  hex=$(printf '%04X' $port)
  for _ in $(seq 1 100); do
    grep -q ":$hex 00000000:0000 0A" /proc/net/tcp && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "[wine-test] zavo_sim did not start:" >&2
  cat "$work/sim.log" >&2
  exit 1
}

start_sim
cd "$work"
timeout 300 "$wine" "$exe" 127.0.0.1 $port $group 6601 6602 &
test_pid=$!
drops=0
while kill -0 "$test_pid" 2>/dev/null; do
  if [ -f drop.request ] && [ $drops -lt 3 ]; then
    drops=$((drops + 1))
    kill "$sim_pid" && wait "$sim_pid" 2>/dev/null || true
    sim_pid=
    start_sim
    rm -f drop.request
  fi
  sleep 0.2
done
rc=0
wait "$test_pid" || rc=$?
if [ $rc -ne 0 ]; then
  echo "[wine-test] the test program failed ($rc); the library's log:"
  cat "$work"/zavo_api_*.log 2>/dev/null | tail -40
  exit $rc
fi

# The client built beside the test program: a short live session in each
# mode must end with records received.
tail_exe=$(dirname "$exe")/zavo_tail.exe
if [ -f "$tail_exe" ]; then
  for mode in "" --raw; do
    out=$(timeout 60 "$wine" "$tail_exe" --duration 2 $mode 2>&1 >/dev/null | tail -1) || true
    if [[ "$out" =~ closed\ after\ ([0-9]+)\ records ]] && [ "${BASH_REMATCH[1]}" -gt 0 ]; then
      echo "ok   zavo_tail.exe ${mode:-struct}: $out"
    else
      echo "FAIL zavo_tail.exe ${mode:-struct}: $out"
      rc=1
    fi
  done
fi
exit $rc
