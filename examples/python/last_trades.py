#!/usr/bin/env python3
"""Live table of the last trade of every code, redrawn once a second.

    last_trades.py [--server 127.0.0.1:6600] [--group 239.255.6.1:6601]
                   [--interface 127.0.0.1] [--codes "600000.SH;000001.SZ"] [--seconds N]

Ctrl-C stops it.
"""

import argparse
import sys
import time

import zavo


def main():
    p = argparse.ArgumentParser(description="Live table of the last trade of every code.")
    p.add_argument("--server", default="127.0.0.1:6600")
    p.add_argument("--group", default="239.255.6.1:6601")
    p.add_argument("--interface", default="127.0.0.1")
    p.add_argument("--codes", default="", help='e.g. "600000.SH;000001.SZ" (default: all)')
    p.add_argument("--seconds", type=float, default=None, help="stop after this time")
    a = p.parse_args()

    last = {}  # "600000.SH" -> (time, price, qty, side)
    with zavo.Session(server=a.server, group=a.group, interface=a.interface, codes=a.codes,
                      flags=("trade",)) as s:
        start = time.monotonic()
        try:
            while a.seconds is None or time.monotonic() - start < a.seconds:
                shown = time.monotonic()
                while time.monotonic() - shown < 1.0:
                    for t in s.read(timeout=0.2)["trade"]:
                        code = t["Code"].decode() + (".SH" if t["ExchangeID"] == b"1" else ".SZ")
                        last[code] = (t["Time"], t["TradePrice"], t["TradeQty"], t["BSFlag"])
                draw(last, s.stats)
        except KeyboardInterrupt:
            pass


def draw(last, stats):
    out = ["\033[H\033[J" if sys.stdout.isatty() else "",
           f"{'code':<12}{'time':>13}{'price':>12}{'qty':>9} side"]
    for code, (t, px, qty, side) in sorted(last.items()):
        hhmmss = f"{t // 10000000:02d}:{t // 100000 % 100:02d}:{t // 1000 % 100:02d}.{t % 1000:03d}"
        out.append(f"{code:<12}{hhmmss:>13}{px / 10000:>12.2f}{qty:>9} {side.decode() or '-'}")
    # Only trades are taken, so the feed's sequence skips by design: its gap
    # counters say nothing here; records the binding dropped do.
    out.append(f"{len(last)} codes; trades received {stats['records']['trade']}, "
               f"dropped {stats['dropped']}")
    print("\n".join(out), flush=True)


if __name__ == "__main__":
    main()
