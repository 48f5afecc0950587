#!/usr/bin/env python3
"""Can the Python binding keep up with the feed?

The simulator publishes `--rate` records per second (all kinds) inside a
private network namespace. Each round measures, one after the other:
  floor   the C client (zavo_tail --format none) on the same feed: what the
          library itself receives on this machine at this moment;
  python  a zavo.Session whose reader takes batches and touches every
          trade (sums TradeQty), as a light analysis would.
Printed per round and as medians: records per second received; the share of
the feed received (received / sequence numbers published in the window, so
a simulator slowed by a busy machine does not count against the reader),
as a ratio of the floor's share; records lost before the binding (sequence
gaps) and dropped by it (queue full); and the reader thread's CPU time per
record. The binding keeps up when the ratio is 1 and it drops nothing.

  bench_throughput.py [--rate 100000] [--seconds 5] [--rounds 3] [--quick]
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python", "tests"))

from zavo_testenv import Simulator, enter_private_netns, find_tool  # noqa: E402


def floor_round(sim, seconds):
    tail = find_tool("zavo_tail", "ZAVO_TAIL")
    out = subprocess.run(
        [tail, "--server", sim.server, "--group", sim.struct_group, "--interface", "127.0.0.1",
         "--flags", "trade,order,queue", "--format", "none", "--summary",
         "--duration", str(seconds)],
        capture_output=True, text=True, timeout=seconds + 30).stdout
    m = re.search(r"records: (\d+)\s+gaps: (\d+)\s+missing sequence numbers: (\d+)", out)
    if not m:
        raise RuntimeError(f"zavo_tail printed no summary:\n{out}")
    n, missing = int(m.group(1)), int(m.group(3))
    return {"rate": n / seconds, "missing": missing, "dropped": 0, "share": n / (n + missing),
            "cpu_us": float("nan")}


def python_round(zavo, sim, seconds):
    with zavo.Session(server=sim.server, group=sim.struct_group) as s:
        s.read(timeout=1)  # past the open and the first burst
        base = s.stats
        n = 0
        volume = 0
        first = last = None
        cpu0 = time.thread_time()
        t0 = time.monotonic()
        end = t0 + seconds
        while time.monotonic() < end:
            batch = s.read(timeout=0.1)
            for a in batch.values():
                n += len(a)
                if len(a):
                    lo, hi = int(a["SeqNum"].min()), int(a["SeqNum"].max())
                    first = lo if first is None else min(first, lo)
                    last = hi if last is None else max(last, hi)
            volume += int(batch["trade"]["TradeQty"].sum())
        elapsed = time.monotonic() - t0
        cpu = time.thread_time() - cpu0
        st = s.stats
    return {"rate": n / elapsed, "missing": st["missing"] - base["missing"],
            "dropped": st["dropped"] - base["dropped"],
            "cpu_us": cpu / max(n, 1) * 1e6, "volume": volume,
            "share": n / (last - first + 1) if n else 0.0}


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rate", type=int, default=100000)
    p.add_argument("--seconds", type=float, default=5.0)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--quick", action="store_true", help="one short round at a low rate")
    a = p.parse_args()
    if a.quick:
        a.rate, a.seconds, a.rounds = 20000, 1.0, 1
    enter_private_netns()
    import zavo  # after the namespace exists: the library starts threads

    sim = Simulator(6600, ["--rate", str(a.rate), "--history", "1000"])
    rows = {"floor": [], "python": []}
    try:
        for r in range(a.rounds):
            rows["floor"].append(floor_round(sim, a.seconds))
            rows["python"].append(python_round(zavo, sim, a.seconds))
            f, py = rows["floor"][-1], rows["python"][-1]
            print(f"round {r + 1}: floor {f['rate']:.0f}/s missing {f['missing']}; python "
                  f"{py['rate']:.0f}/s missing {py['missing']} dropped {py['dropped']} "
                  f"reader {py['cpu_us']:.2f} us/record; share received: floor "
                  f"{f['share']:.4f} python {py['share']:.4f}, ratio {py['share'] / f['share']:.4f}",
                  flush=True)
    finally:
        sim.stop()

    def med(who, key):
        return statistics.median(x[key] for x in rows[who])

    ratio = statistics.median(py["share"] / f["share"] for f, py in zip(rows["floor"],
                                                                          rows["python"]))
    dropped = sum(x["dropped"] for x in rows["python"])
    print(f"median of {a.rounds} rounds at {a.rate}/s for {a.seconds:g} s: "
          f"floor {med('floor', 'rate'):.0f}/s, python {med('python', 'rate'):.0f}/s, "
          f"share of the feed received: python/floor {ratio:.4f}; python missing {med('python', 'missing'):.0f} "
          f"(floor {med('floor', 'missing'):.0f}), dropped by the binding {dropped} in total, "
          f"reader {med('python', 'cpu_us'):.2f} us/record "
          f"(load average {os.getloadavg()[0]:.1f})")
    return 0 if dropped == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
