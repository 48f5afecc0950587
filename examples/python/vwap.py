#!/usr/bin/env python3
"""Collects a minute of trades and prints the volume-weighted average price
of every code (with pandas when it is installed, numpy otherwise).

    vwap.py [--seconds 60] [--server 127.0.0.1:6600] [--group 239.255.6.1:6601]
            [--interface 127.0.0.1]
"""

import argparse
import time

import numpy as np
from numpy.lib import recfunctions

import zavo


def collect(s, seconds):
    parts = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        trades = s.read(timeout=min(0.5, max(0.0, end - time.monotonic())))["trade"]
        if len(trades):
            parts.append(trades[["Code", "ExchangeID", "TradePrice", "TradeQty"]])
    if not parts:
        return np.empty(0, dtype=zavo.feed_dtypes["trade"])
    # Field subsets keep the record's layout; repack before joining them.
    return np.concatenate([recfunctions.repack_fields(p) for p in parts])


def vwap_pandas(trades):
    t = zavo.to_frame(trades)  # Code and ExchangeID as str
    df = t.assign(code=t["Code"] + t["ExchangeID"].map({"1": ".SH", "2": ".SZ"}),
                  price=t["TradePrice"] / 10000.0, qty=t["TradeQty"].astype(np.int64))
    df["amount"] = df["price"] * df["qty"]
    g = df.groupby("code").agg(trades=("qty", "size"), volume=("qty", "sum"),
                               amount=("amount", "sum"))
    g["vwap"] = g["amount"] / g["volume"]
    print(g[["trades", "volume", "vwap"]].to_string(float_format=lambda v: f"{v:.4f}"))


def vwap_numpy(trades):
    codes = np.char.add(trades["Code"].astype(str),
                        np.where(trades["ExchangeID"] == b"1", ".SH", ".SZ"))
    names, idx = np.unique(codes, return_inverse=True)
    qty = trades["TradeQty"].astype(np.float64)
    volume = np.bincount(idx, weights=qty)
    amount = np.bincount(idx, weights=qty * trades["TradePrice"] / 10000.0)
    count = np.bincount(idx)
    print(f"{'code':<12}{'trades':>8}{'volume':>12}{'vwap':>12}")
    for name, n, v, am in zip(names, count, volume, amount):
        print(f"{name:<12}{n:>8}{v:>12.0f}{am / v:>12.4f}")


def main():
    p = argparse.ArgumentParser(description="VWAP per code over a minute of trades.")
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--server", default="127.0.0.1:6600")
    p.add_argument("--group", default="239.255.6.1:6601")
    p.add_argument("--interface", default="127.0.0.1")
    a = p.parse_args()
    with zavo.Session(server=a.server, group=a.group, interface=a.interface,
                      flags=("trade",)) as s:
        print(f"collecting trades for {a.seconds:g} s ...", flush=True)
        trades = collect(s, a.seconds)
    print(f"{len(trades)} trades")
    if len(trades) == 0:
        return
    try:
        import pandas  # noqa: F401
    except ImportError:
        vwap_numpy(trades)
    else:
        vwap_pandas(trades)


if __name__ == "__main__":
    main()
