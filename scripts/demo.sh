#!/usr/bin/env bash
# The live demo: builds the simulator and the command-line client, starts the
# simulator and shows live market data from it through the client for a few
# seconds (or until Ctrl-C), then a summary of what arrived and a query of
# the session's caches. Both programs run on their default addresses, which
# agree with each other.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() {
  cat <<'USAGE'
usage: scripts/demo.sh [--raw] [--seconds N] [--keep] [-- CLIENT OPTIONS...]

  (no option)        struct mode for 10 seconds
  --raw              raw mode (reassembled exchange messages)
  --seconds N        run this long (Ctrl-C stops earlier)
  --keep             keep the working directory with the simulator's log and
                     the client's logs/ (removed at exit otherwise)
  -- OPTIONS         passed to zavo_tail, e.g. -- --codes "600001.SH"

Runs inside a private network namespace when it can make one, so that the
multicast feed cannot leave this machine; otherwise on 127.0.0.1 with a
multicast time-to-live of 0.
USAGE
}

mode=struct
seconds=10
keep=0
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --raw) mode=raw ;;
    --seconds)
      seconds=${2:-}
      case "$seconds" in ''|*[!0-9]*) echo "--seconds needs a whole number (see --help)" >&2; exit 2 ;; esac
      shift ;;
    --keep) keep=1 ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

if [ "${ZAVO_DEMO_INNER:-}" != 1 ]; then
  scripts/bootstrap.sh
  scripts/build.sh normal zavo_sim zavo_tail
fi

if [ "${ZAVO_DEMO_INNER:-}" != 1 ]; then
  if unshare --net true 2>/dev/null; then
    echo "[demo] running inside a private network namespace"
    inner=(--seconds "$seconds")
    [ "$mode" = raw ] && inner+=(--raw)
    [ "$keep" = 1 ] && inner+=(--keep)
    exec unshare --net env ZAVO_DEMO_INNER=1 ZAVO_DEMO_NETNS=1 "$0" "${inner[@]}" -- "${extra[@]}"
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

sim="$root/build/tools/sim/zavo_sim"
tail_bin="$root/build/tools/zavo_tail/zavo_tail"
workdir=$(mktemp -d /tmp/zavo_demo.XXXXXX)
client_mode=()
if [ "$mode" = raw ]; then
  client_mode=(--raw)
fi
# The control port both programs use by default.
server_port=$(sed -n 's/^#define ZAVO_DEFAULT_SERVER_PORT \([0-9]*\).*/\1/p' \
  "$root/tools/common/zavo_defaults.h")

echo "[demo] starting the simulator (its log: $workdir/sim.log)"
"$sim" --mode "$mode" --rate 400 --raw-rate 50 --duration $((seconds + 30)) -q >"$workdir/sim.log" 2>&1 &
sim_pid=$!
cleanup() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  if [ "$keep" = 1 ]; then
    echo "[demo] kept $workdir: sim.log (simulator) and logs/ (the client's library log)"
  else
    rm -rf "$workdir"
  fi
}
trap cleanup EXIT
trap 'true' INT  # Ctrl-C reaches the client, which stops and prints its summary

for _ in $(seq 1 50); do
  if (exec 3<>"/dev/tcp/127.0.0.1/$server_port") 2>/dev/null; then break; fi
  sleep 0.1
done

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
