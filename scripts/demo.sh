#!/usr/bin/env bash
# The live demo: builds the simulator and the command-line client, starts the
# simulator and shows live market data from it through the client for a few
# seconds (or until Ctrl-C), then a summary of what arrived and a query of
# the session's caches. Both programs run on their default addresses, which
# agree with each other.
set -euo pipefail
here=$(pwd)
# The script by its absolute path: it runs itself again inside the network
# namespace after leaving the caller's directory.
self="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
cd "$(dirname "$self")/.."
root=$(pwd)

usage() {
  cat <<'USAGE'
usage: scripts/demo.sh [--raw] [--seconds N] [--keep] [--record FILE] [--replay FILE]
                       [-- CLIENT OPTIONS...]

  (no option)        struct mode for 10 seconds
  --raw              raw mode (reassembled exchange messages)
  --seconds N        run this long (Ctrl-C stops earlier)
  --keep             keep the working directory with the simulator's log and
                     the client's logs/ (removed at exit otherwise)
  --record FILE      also record both feeds into the capture file FILE
  --replay FILE      the simulator replays FILE instead of its synthetic market
  -- OPTIONS         passed to zavo_tail, e.g. -- --codes "600001.SH"

Runs inside a private network namespace when it can make one, so that the
multicast feed cannot leave this machine; otherwise on 127.0.0.1 with a
multicast time-to-live of 0. Ctrl-C stops it at any moment (status 130).

  ZAVO_DEMO_BUILD_DIR=DIR  use the programs already built in DIR (nothing is
                           installed or built)
USAGE
}

mode=struct
seconds=10
keep=0
extra=()
record=
replay=
while [ $# -gt 0 ]; do
  case "$1" in
    --raw) mode=raw ;;
    --seconds)
      seconds=${2:-}
      case "$seconds" in ''|*[!0-9]*) echo "--seconds needs a whole number (see --help)" >&2; exit 2 ;; esac
      shift ;;
    --keep) keep=1 ;;
    --record|--replay)
      f=${2:-}
      [ -n "$f" ] || { echo "$1 needs a file (see --help)" >&2; exit 2; }
      case "$f" in /*) ;; *) f="$here/$f" ;; esac
      if [ "$1" = --record ]; then record=$f; else replay=$f; fi
      shift ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

build_dir=${ZAVO_DEMO_BUILD_DIR:-}
if [ "${ZAVO_DEMO_INNER:-}" != 1 ] && [ -z "$build_dir" ]; then
  scripts/bootstrap.sh
  scripts/build.sh normal zavo_sim zavo_tail zavo_record
fi
case "${build_dir:=$root/build}" in /*) ;; *) build_dir="$here/$build_dir" ;; esac

if [ "${ZAVO_DEMO_INNER:-}" != 1 ]; then
  if unshare --net true 2>/dev/null; then
    echo "[demo] running inside a private network namespace"
    inner=(--seconds "$seconds")
    [ "$mode" = raw ] && inner+=(--raw)
    [ "$keep" = 1 ] && inner+=(--keep)
    [ -n "$record" ] && inner+=(--record "$record")
    [ -n "$replay" ] && inner+=(--replay "$replay")
    exec unshare --net env ZAVO_DEMO_INNER=1 ZAVO_DEMO_NETNS=1 ZAVO_DEMO_BUILD_DIR="$build_dir" \
      "$self" "${inner[@]}" -- "${extra[@]}"
  fi
  echo "[demo] no private network namespace here: using 127.0.0.1 with multicast TTL 0"
fi
if [ "${ZAVO_DEMO_NETNS:-}" = 1 ]; then
  ip link set lo up 2>/dev/null || python3 - <<'PY'
import fcntl, socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
ifr = struct.pack('16sH', b'lo', 0)
flags = struct.unpack('16sH', fcntl.ioctl(s, 0x8913, ifr))[1]
fcntl.ioctl(s, 0x8914, struct.pack('16sH', b'lo', flags | 0x1 | 0x40))
PY
fi

sim="$build_dir/tools/sim/zavo_sim"
tail_bin="$build_dir/tools/zavo_tail/zavo_tail"
workdir=$(mktemp -d /tmp/zavo_demo.XXXXXX)
client_mode=()
if [ "$mode" = raw ]; then
  client_mode=(--raw)
fi
# The control port both programs use by default.
server_port=$(sed -n 's/^#define ZAVO_DEFAULT_SERVER_PORT \([0-9]*\).*/\1/p' \
  "$root/tools/common/zavo_defaults.h")

sim_pid=
rec_pid=
cleanup() {
  if [ -n "$rec_pid" ]; then
    kill -INT "$rec_pid" 2>/dev/null || true
    wait "$rec_pid" 2>/dev/null || true
    # The totals, and the recorder's errors if any (not its own progress lines).
    grep -h '^recorded\|^zavo_record: ' "$workdir/record.log" |
      grep -v '^zavo_record: recording\|received, flushing' | sed 's/^/[demo] /' || true
  fi
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [ "$keep" = 1 ]; then
    echo "[demo] kept $workdir: sim.log (simulator), logs/ (the client's library log)${rec_pid:+, record.log}"
  else
    rm -rf "$workdir"
  fi
}
trap cleanup EXIT
# Ctrl-C also reaches the client, which stops and prints its summary; before
# the client runs, it ends the demo at once.
interrupted=0
trap 'interrupted=1' INT
stop_if_interrupted() {
  if [ "$interrupted" = 1 ]; then
    echo "[demo] interrupted"
    exit 130
  fi
}

echo "[demo] starting the simulator (its log: $workdir/sim.log)"
feed=(--mode "$mode" --rate 400 --raw-rate 50)
[ -n "$replay" ] && feed=(--replay "$replay")
"$sim" "${feed[@]}" --duration $((seconds + 30)) -q >"$workdir/sim.log" 2>&1 &
sim_pid=$!
if [ -n "$record" ]; then
  echo "[demo] recording both feeds into $record"
  export ZAVO_SHARE_FEED=1  # the client takes the feed beside the recorder
  "$build_dir/tools/record/zavo_record" --out "$record" --no-status >"$workdir/record.log" 2>&1 &
  rec_pid=$!
fi

for _ in $(seq 1 50); do
  stop_if_interrupted
  if (exec 3<>"/dev/tcp/127.0.0.1/$server_port") 2>/dev/null; then break; fi
  sleep 0.1
done
stop_if_interrupted

echo "[demo] starting the client for ${seconds} s (Ctrl-C stops it earlier)"
cd "$workdir"
set +e
"$tail_bin" "${client_mode[@]}" --duration "$seconds" --summary "${extra[@]}"
rc=$?
set -e
if [ "$keep" = 1 ]; then
  echo "[demo] client exited with status $rc; its log file: $(ls -1 "$workdir"/logs/*.log 2>/dev/null | head -1)"
else
  echo "[demo] client exited with status $rc (--keep keeps the logs)"
fi
exit $rc
