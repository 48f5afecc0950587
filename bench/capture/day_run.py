#!/usr/bin/python3
"""A scaled trading day of the full market, recorded and decoded: the costs.

Phase "record" (inside a private network namespace it makes itself, so
nothing leaves the machine): zavo_sim --market full --day-scale X publishes
for --seconds; two zavo_record processes take the same feed at once, one
plain and one --compress, and a zavo_tail session (--quiet) receives it.
Each process's CPU time and peak resident memory come from wait4().

Phase "decode" (no network): the compressed recording is decoded offline by
bench_capture (the read+decompress floor and the C decode, alternating),
and by zavo.read_capture against the C decode in the same run.

    bench/capture/day_run.py --build build --out /tmp/zavo-day --seconds 600
    bench/capture/day_run.py --build build --out /tmp/zavo-day --phase decode
    bench/capture/day_run.py --quick        # a few seconds of everything

Prints one table of figures and ratios; results.json in --out keeps them.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import signal
import subprocess
import sys
import time
from typing import Dict, List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))


def load_average() -> str:
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def wait_measured(p: subprocess.Popen, timeout: float) -> Dict[str, float]:
    """Waits for `p` (bounded) and returns its CPU seconds and peak RSS."""
    deadline = time.monotonic() + timeout
    while True:
        pid, status, ru = os.wait4(p.pid, os.WNOHANG)
        if pid == p.pid:
            p.returncode = os.waitstatus_to_exitcode(status)
            return {"user_s": ru.ru_utime, "sys_s": ru.ru_stime,
                    "cpu_s": ru.ru_utime + ru.ru_stime, "max_rss_mb": ru.ru_maxrss / 1024.0,
                    "rc": p.returncode}
        if time.monotonic() > deadline:
            p.send_signal(signal.SIGTERM)
            deadline = time.monotonic() + 10
        time.sleep(0.2)


def in_private_netns() -> bool:
    return os.environ.get("ZAVO_DAY_NETNS") == "1"


def record_phase(a: argparse.Namespace) -> Dict[str, object]:
    b = os.path.abspath(a.build)
    sim = os.path.join(b, "tools/sim/zavo_sim")
    rec = os.path.join(b, "tools/record/zavo_record")
    tail = os.path.join(b, "tools/zavo_tail/zavo_tail")
    os.makedirs(a.out, exist_ok=True)
    plain = os.path.join(a.out, "day.pcap")
    comp = os.path.join(a.out, "day.pcap.zst")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    logs = {n: open(os.path.join(a.out, n + ".log"), "w") for n in ("sim", "plain", "zst", "tail")}
    load_before = load_average()
    # --day-scale 0: a constant rate (e.g. a day's peak held for a minute).
    scale = ["--day-scale", str(a.day_scale)] if a.day_scale > 0 else []
    simp = subprocess.Popen([sim, "--market", "full", *scale, "--rate", str(a.rate), "--seed", "1"],
                            stdout=logs["sim"], stderr=subprocess.STDOUT)
    time.sleep(1.0)  # the simulator's sockets are up in well under a second
    secs = str(a.seconds)
    recorders = {
        "plain": subprocess.Popen([rec, "--out", plain, "--force", "--duration", secs,
                                   "--no-status"], stdout=logs["plain"],
                                  stderr=subprocess.STDOUT),
        "zst": subprocess.Popen([rec, "--out", comp, "--compress", "--force", "--duration",
                                 secs, "--no-status"], stdout=logs["zst"],
                                stderr=subprocess.STDOUT),
    }
    tailp = subprocess.Popen([tail, "--quiet", "--no-status", "--summary", "--duration", secs],
                             stdout=logs["tail"], stderr=subprocess.STDOUT,
                             env=dict(os.environ, ZAVO_SHARE_FEED="1"))
    out: Dict[str, object] = {"seconds": a.seconds, "rate": a.rate, "day_scale": a.day_scale,
                              "load_before": load_before}
    out["tail"] = wait_measured(tailp, a.seconds + 60)
    for name, p in recorders.items():
        out["record_" + name] = wait_measured(p, a.seconds + 60)
    out["load_after"] = load_average()
    simp.send_signal(signal.SIGINT)
    out["sim"] = wait_measured(simp, 30)
    out["plain_bytes"] = os.path.getsize(plain)
    out["zst_bytes"] = os.path.getsize(comp)
    for f in logs.values():
        f.close()
    return out


def run_bench(bench: str, args: List[str]) -> Dict[str, float]:
    r = subprocess.run([bench] + args, capture_output=True, text=True, timeout=3600)
    if r.returncode != 0:
        raise SystemExit(f"{bench} failed: {r.stderr}")
    return json.loads(r.stdout.strip().splitlines()[-1])


def python_decode(build: str, path: str, rounds: int, how: str = "read") -> Dict[str, float]:
    call = ("zavo.read_capture({p!r})" if how == "read" else
            "[b for b in zavo.iter_capture({p!r}, batch_records=1_000_000)][-1]").format(p=path)
    code = f"""
import json, sys, time
sys.path.insert(0, {os.path.join(os.path.abspath(build), 'python')!r})
import zavo
best = []
n = 0
for _ in range({rounds}):
    t = time.perf_counter()
    batch = {call}
    best.append(time.perf_counter() - t)
    n = sum(len(v) for v in batch.values())
    del batch
best.sort()
print(json.dumps({{"records": n, "median_s": best[len(best) // 2]}}))
"""
    r = subprocess.run(["/usr/bin/python3", "-c", code], capture_output=True, text=True,
                       timeout=3600)
    if r.returncode != 0:
        raise SystemExit(f"read_capture failed: {r.stderr}")
    return json.loads(r.stdout.strip().splitlines()[-1])


def decode_phase(a: argparse.Namespace, out: Dict[str, object]) -> None:
    bench = os.path.join(os.path.abspath(a.build), "bench/capture/bench_capture")
    comp = os.path.join(a.out, "day.pcap.zst")
    plain = os.path.join(a.out, "day.pcap")
    out["load_decode"] = load_average()
    out["c_zst"] = run_bench(bench, ["--rounds", str(a.rounds), comp])
    out["c_plain"] = run_bench(bench, ["--rounds", "1", "--decode-only", plain])
    # read_capture against the C decode of the same file, alternating.
    py, it, c = [], [], []
    for _ in range(a.rounds):
        c.append(run_bench(bench, ["--rounds", "1", "--decode-only", comp])["decode_s"])
        py.append(python_decode(a.build, comp, 1)["median_s"])
        it.append(python_decode(a.build, comp, 1, "iter")["median_s"])
    for v in (c, py, it):
        v.sort()
    out["py_read_capture_s"] = py[len(py) // 2]
    out["py_iter_capture_s"] = it[len(it) // 2]
    out["c_decode_alt_s"] = c[len(c) // 2]


def report(out: Dict[str, object]) -> None:
    def g(k: str, m: str) -> float:
        return float(out[k][m])  # type: ignore[index]

    print(f"load average: {out.get('load_before')} before, {out.get('load_after')} after "
          f"recording, {out.get('load_decode')} at decode")
    if "tail" in out:
        s = float(out["seconds"])  # type: ignore[arg-type]
        print(f"session (zavo_tail --quiet): {g('tail', 'cpu_s') / s:.3f} core, "
              f"peak RSS {g('tail', 'max_rss_mb'):.1f} MB")
        for n in ("plain", "zst"):
            print(f"recorder {n}: {g('record_' + n, 'cpu_s') / s:.3f} core, "
                  f"peak RSS {g('record_' + n, 'max_rss_mb'):.1f} MB")
        print(f"simulator: {g('sim', 'cpu_s') / s:.3f} core")
    if "c_zst" in out:
        z = out["c_zst"]  # type: ignore[assignment]
        p = out["c_plain"]  # type: ignore[assignment]
        recs_z = float(z["records"])  # type: ignore[index]
        recs_p = float(p["records"])  # type: ignore[index]
        pb = float(out["plain_bytes"]) / (recs_p / 1e6)  # type: ignore[arg-type]
        zb = float(out["zst_bytes"]) / (recs_z / 1e6)  # type: ignore[arg-type]
        print(f"records: plain file {recs_p:.0f}, compressed file {recs_z:.0f}")
        print(f"size per million records: plain {pb / 1e6:.1f} MB, compressed {zb / 1e6:.1f} MB,"
              f" ratio {zb / pb:.3f} (target <= 0.2)")
        print(f"offline decode: {z['decode_rps'] / 1e6:.2f} M records/s, floor (read + "  # type: ignore[index]
              f"decompress) {z['floor_rps'] / 1e6:.2f} M records/s, ratio "  # type: ignore[index]
              f"{z['ratio']:.3f} (target >= 0.5, and >= 3 M records/s)")  # type: ignore[index]
        c = float(out["c_decode_alt_s"])  # type: ignore[arg-type]
        py = float(out["py_read_capture_s"])  # type: ignore[arg-type]
        print(f"read_capture into numpy: {py:.2f} s against the C decode {c:.2f} s: "
              f"ratio {c / py:.3f} (target >= 0.7)")
        if "py_iter_capture_s" in out:
            it = float(out["py_iter_capture_s"])  # type: ignore[arg-type]
            print(f"iter_capture (batches of 1M): {it:.2f} s: ratio {c / it:.3f}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(REPO, "build"))
    ap.add_argument("--out", default="/tmp/zavo-day")
    ap.add_argument("--seconds", type=int, default=600)
    ap.add_argument("--rate", type=int, default=20000)
    ap.add_argument("--day-scale", type=float, default=24.0, help="0: a constant --rate")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--phase", choices=["record", "decode", "all"], default="all")
    ap.add_argument("--quick", action="store_true", help="a few seconds of everything")
    a = ap.parse_args()
    if a.quick:
        a.seconds, a.rounds, a.rate = 4, 1, 5000
    a.out = os.path.abspath(a.out)
    os.makedirs(a.out, exist_ok=True)
    results = os.path.join(a.out, "results.json")
    out: Dict[str, object] = {}
    if os.path.exists(results) and a.phase == "decode":
        with open(results) as f:
            out = json.load(f)
    if a.phase in ("record", "all"):
        if not in_private_netns():
            # Multicast only inside a namespace of our own.
            env = dict(os.environ, ZAVO_DAY_NETNS="1")
            argv = ["unshare", "--net", sys.executable, os.path.abspath(__file__)]
            argv += sys.argv[1:] + ["--phase", "record"]
            rc = subprocess.call(argv, env=env)
            if rc != 0:
                raise SystemExit(rc)
            with open(results) as f:
                out = json.load(f)
            if a.phase == "record":
                return  # reported inside
        else:
            out = record_phase(a)
            with open(results, "w") as f:
                json.dump(out, f, indent=1)
            report(out)
            return
    if a.phase in ("decode", "all"):
        decode_phase(a, out)
        with open(results, "w") as f:
            json.dump(out, f, indent=1)
    report(out)


if __name__ == "__main__":
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    main()
