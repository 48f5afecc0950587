#!/usr/bin/env python3
"""A recorded day in pandas: the trades of a capture file (zavo_record's,
plain or compressed) as one DataFrame, the busiest codes, and the order
book of the busiest one as the day left it.

    capture_day.py FILE [--codes "600000.SH;000001.SZ"] [--top N]

Record one first, e.g. a scaled full-market day compressed:

    zavo_sim --market full --day-scale 4 &
    zavo_record --out day.pcap.zst --duration 3600

Files larger than memory go batch by batch: see ``--batches``.
"""

import argparse
import warnings

import zavo


def top_codes(frame, n):
    frame = frame.assign(Amount=frame["TradeQty"] * frame["TradePrice"] / 10000.0)
    g = frame.groupby(["Code", "ExchangeID"])
    out = g.agg(trades=("TradeQty", "size"), volume=("TradeQty", "sum"),
                amount=("Amount", "sum"))
    out["vwap"] = out["amount"] / out["volume"]
    return out.sort_values("volume", ascending=False).head(n)


def main():
    p = argparse.ArgumentParser(description="The trades of a capture file in pandas.")
    p.add_argument("file")
    p.add_argument("--codes", default="", help='e.g. "600000.SH;000001.SZ" (default: all)')
    p.add_argument("--top", type=int, default=10)
    p.add_argument("--batches", type=int, default=0,
                   help="read in batches of this many records (0: the whole file at once)")
    a = p.parse_args()
    warnings.simplefilter("always", zavo.CaptureDamageWarning)  # say so, keep what came before

    # Trades only; the details of every code feed the book on the way.
    with zavo.Capture(a.file, codes=a.codes, flags="trade,order") as cap:
        book = cap.book()
        if a.batches:
            import pandas as pd
            trades = pd.concat([zavo.to_frame(b["trade"]) for b in
                                zavo.iter_capture(a.file, a.batches, codes=a.codes,
                                                  flags="trade")])
            cap.feed()
        else:
            trades = zavo.to_frame(cap.read(0)["trade"])
        s = cap.summary
    print(f"{a.file}: {s['records']} records, {len(trades)} trades, "
          f"{s['gaps']} sequence gaps{', file damaged' if s['damaged'] else ''}")
    if len(trades) == 0:
        return
    top = top_codes(trades, a.top)
    print(top.to_string(float_format=lambda v: f"{v:.4f}"))
    code, ex = top.index[0]
    code = f"{code}.{'SH' if ex == '1' else 'SZ'}"
    print(f"book of {code} at the end of the file:")
    for side in ("ask", "bid"):
        for lv in book.levels(code, side, 5)[::(-1 if side == "ask" else 1)]:
            print(f"  {side} {lv['price'] / 10000.0:>10.4f} {lv['volume']:>10}")


if __name__ == "__main__":
    main()
