#!/usr/bin/env bash
# The live demo: builds the simulator and the command-line client, starts the
# simulator and shows live market data from it through the client for a few
# seconds (or until Ctrl-C), then a summary of what arrived and a query of
# the session's caches.
#
#   scripts/demo.sh                 struct mode, 10 seconds
#   scripts/demo.sh --raw           raw mode (reassembled exchange messages)
#   scripts/demo.sh --seconds 30    longer
#   scripts/demo.sh -- --codes "600000.SH"   extra options for the client
#   scripts/demo.sh --record FILE   also record the feed into FILE (pcap)
#   scripts/demo.sh --replay FILE   the simulator replays FILE instead
#
# It runs inside a private network namespace when it can make one, so that
# the multicast feed cannot leave this machine; otherwise on 127.0.0.1 with
# a multicast time-to-live of 0.
set -euo pipefail
here=$(pwd)
cd "$(dirname "$0")/.."
root=$(pwd)

mode=struct
seconds=10
extra=()
record=
replay=
while [ $# -gt 0 ]; do
  case "$1" in
    --raw) mode=raw ;;
    --seconds) seconds=${2:?--seconds needs a value}; shift ;;
    --record|--replay)
      f=${2:?$1 needs a file}; case "$f" in /*) ;; *) f="$here/$f" ;; esac
      if [ "$1" = --record ]; then record=$f; else replay=$f; fi; shift ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

if [ "${ZAVO_DEMO_INNER:-}" != 1 ]; then
  scripts/bootstrap.sh
  scripts/build.sh normal zavo_sim zavo_tail zavo_record
fi

if [ "${ZAVO_DEMO_INNER:-}" != 1 ]; then
  if unshare --net true 2>/dev/null; then
    echo "[demo] running inside a private network namespace"
    exec unshare --net env ZAVO_DEMO_INNER=1 ZAVO_DEMO_NETNS=1 "$0" --seconds "$seconds" \
      $( [ "$mode" = raw ] && echo --raw ) ${record:+--record "$record"} \
      ${replay:+--replay "$replay"} -- "${extra[@]}"
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
sim_mode=struct
client_mode=()
group_port=6601
if [ "$mode" = raw ]; then
  sim_mode=raw
  client_mode=(--raw)
  group_port=6602
fi

echo "[demo] starting the simulator (log: $workdir/sim.log)"
feed=(--mode "$sim_mode" --rate 400 --raw-rate 50)
[ -n "$replay" ] && feed=(--replay "$replay")
"$sim" "${feed[@]}" --duration $((seconds + 30)) -q >"$workdir/sim.log" 2>&1 &
sim_pid=$!
rec_pid=
if [ -n "$record" ]; then
  echo "[demo] recording both feeds into $record"
  export ZAVO_SHARE_FEED=1  # the client takes the feed beside the recorder
  "$root/build/tools/record/zavo_record" --group 239.255.6.1:6601 --group 239.255.6.1:6602 \
    --out "$record" --no-status >"$workdir/record.log" 2>&1 &
  rec_pid=$!
fi
cleanup() {
  if [ -n "$rec_pid" ]; then kill -INT "$rec_pid" 2>/dev/null || true; wait "$rec_pid" 2>/dev/null || true
    echo "[demo] $(grep -h '^recorded\|^zavo_record: [^r]' "$workdir/record.log")"; fi
  kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
trap cleanup EXIT
trap 'true' INT  # Ctrl-C reaches the client, which stops and prints its summary

for _ in $(seq 1 50); do
  if (exec 3<>/dev/tcp/127.0.0.1/6600) 2>/dev/null; then break; fi
  sleep 0.1
done

echo "[demo] starting the client for ${seconds} s (Ctrl-C stops it earlier)"
cd "$workdir"
set +e
"$tail_bin" "${client_mode[@]}" --server 127.0.0.1:6600 --group 239.255.6.1:$group_port \
  --duration "$seconds" --summary "${extra[@]}"
rc=$?
set -e
echo "[demo] client exited with status $rc; its log file: $(ls -1 "$workdir"/logs/*.log 2>/dev/null | head -1)"
exit $rc
