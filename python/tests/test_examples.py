"""The example programs run against the simulator and print what they say."""

import os
import re
import subprocess
import sys

import numpy as np

import zavo

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples",
                        "python")


def run_example(sim, name, *args):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(zavo.__file__)))
    out = subprocess.run([sys.executable, os.path.join(EXAMPLES, name), "--server", sim.server,
                          "--group", sim.struct_group, *args],
                         env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_examples_print_trades_of_the_feed(sim):
    # VWAP: one line per code traded, each price within the day's plausible
    # range, the trade counts adding up to the total printed above them.
    out = run_example(sim, "vwap.py", "--seconds", "2")
    total = int(re.search(r"^(\d+) trades$", out, re.M).group(1))
    rows = re.findall(r"^(\w+\.S[HZ])\s+(\d+)\s+(\d+)\s+([\d.]+)$", out, re.M)
    assert total > 0 and rows
    assert sum(int(n) for _, n, _, _ in rows) == total
    assert all(0 < float(vwap) < 10000 and int(volume) > 0 for _, _, volume, vwap in rows)

    # Live table, redrawn each second: the last drawing has a row per code
    # with a valid time of day, as many as its footer counts.
    out = run_example(sim, "last_trades.py", "--seconds", "1.5")
    last = out[out.rindex("code "):]
    table = re.findall(r"^(\w+\.S[HZ])\s+(\d\d):(\d\d):(\d\d)\.\d{3}\s+[\d.]+\s+\d+ [BSN-]$",
                       last, re.M)
    assert table
    assert all(int(h) < 24 and int(m) < 60 and int(s) < 60 for _, h, m, s in table)
    footer = re.search(r"^(\d+) codes; trades received (\d+), dropped 0$", last, re.M)
    assert footer and int(footer.group(1)) == len(table) == len({row[0] for row in table})


def test_vwap_of_known_trades(capsys):
    # Two codes of different markets; the volume-weighted prices are worked
    # out by hand: 000001.SZ (10.00 x 100 + 10.30 x 300) / 400 = 10.225,
    # 600000.SH one trade at 7.50. Both ways of computing it print them.
    sys.path.insert(0, EXAMPLES)
    try:
        import vwap
    finally:
        sys.path.remove(EXAMPLES)
    trades = np.zeros(3, dtype=zavo.feed_dtypes["trade"])
    trades["Code"] = [b"000001", b"000001", b"600000"]
    trades["ExchangeID"] = [b"2", b"2", b"1"]
    trades["TradePrice"] = [100000, 103000, 75000]
    trades["TradeQty"] = [100, 300, 2000]
    ways = [vwap.vwap_numpy]
    try:
        import pandas  # noqa: F401
        ways.append(vwap.vwap_pandas)
    except ImportError:
        pass
    for way in ways:
        way(trades)
        rows = re.findall(r"^(\S+)\s+(\d+)\s+(\d+)\s+([\d.]+)$", capsys.readouterr().out, re.M)
        assert [(c, int(n), int(v), float(p)) for c, n, v, p in rows] == [
            ("000001.SZ", 2, 400, 10.225), ("600000.SH", 1, 2000, 7.5)], way.__name__
