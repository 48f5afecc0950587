"""Subscriptions, retransmissions and failures as Python sees them."""

import time

import numpy as np
import pytest

import zavo
from zavo_testenv import Simulator
from test_values import collect, fields


def codes_of(batch, kinds=("security", "trade", "order", "queue", "index")):
    out = set()
    for k in kinds:
        for code, ex in zip(batch[k]["Code"], batch[k]["ExchangeID"]):
            out.add(code.decode() + {b"1": ".SH", b"2": ".SZ"}.get(bytes(ex), ""))
    return out


def settle(s):
    """Reads until a subscription change has surely reached the data path:
    the change applies from the next record filtered, so whatever is queued
    now may still be of the old choice."""
    s.read(timeout=0.2)
    s.read(timeout=0)


def test_subscription_updates(sim):
    with zavo.Session(server=sim.server, group=sim.struct_group, markets="SZ",
                      codes="", flags=("trade",)) as s:
        batch, _ = collect(s, 0.8)
        assert len(batch["trade"]) > 0
        assert len(batch["order"]) == len(batch["queue"]) == len(batch["sh_order"]) == 0
        assert set(batch["security"]["ExchangeID"]) == {b"2"}

        sz = sorted(c for c in codes_of(batch) if c.endswith(".SZ"))
        pick, other = sz[0], sz[1]
        s.update_subscription("replace", pick)
        settle(s)
        batch, _ = collect(s, 1.0)
        assert codes_of(batch) == {pick}

        s.update_subscription("add", [other, "600001.SH"])
        settle(s)
        batch, _ = collect(s, 1.5)
        assert codes_of(batch) <= {pick, other, "600001.SH"} and other in codes_of(batch)

        s.update_subscription("remove", pick)
        settle(s)
        batch, _ = collect(s, 1.0)
        assert pick not in codes_of(batch)

        s.update_subscription("remove", "*")
        settle(s)
        batch, _ = collect(s, 0.5)
        assert sum(len(a) for a in batch.values()) == 0

        s.update_subscription("add", "*")
        settle(s)
        batch, _ = collect(s, 0.8)
        assert {c[-2:] for c in codes_of(batch)} == {"SH", "SZ"}

        with pytest.raises(zavo.Error) as e:
            s.update_subscription("add", "600000.XX")
        assert e.value.code == -98
        with pytest.raises(ValueError):
            s.update_subscription("everything", "")


def test_rebuild_returns_what_the_feed_carried(session):
    s = session
    batch, seqs = collect(s, 1.0)
    live = {}
    for kind, a in batch.items():
        for r in a:
            live[int(r["SeqNum"])] = (kind, fields(r))
    begin = seqs[len(seqs) // 2]
    end = begin + 300
    while end - 1 > seqs[-1]:  # the range must have been seen live
        end -= 1
    again = s.rebuild(begin, end, timeout=10)
    got = {}
    for kind, a in again.items():
        assert a.dtype == zavo.feed_dtypes[kind]
        for r in a:
            got[int(r["SeqNum"])] = (kind, fields(r))
    assert sorted(got) == list(range(begin, end))
    for seq, (kind, f) in got.items():
        lk, lf = live[seq]
        assert lk == kind
        # Snapshots carry the library's conversion delay, which differs.
        names = zavo.dtypes[kind].names
        diff = [n for n, a, b in zip(names, f, lf) if a != b]
        assert diff in ([], ["LocalDelay"]), (seq, kind, diff)
    finish = s.wait_event("rebuild_finish", timeout=1)
    assert finish["begin"] == begin and finish["end"] == end

    with pytest.raises(zavo.Error) as e:
        s.rebuild(10, 10)
    assert e.value.code == -98
    # A range the server no longer keeps ends without records.
    assert sum(len(a) for a in s.rebuild(1, 2, timeout=10).values()) <= 1


def test_open_failures_raise_errors(sim):
    refusing = Simulator(6610, ["--refuse", "1003:no such user", "--rate", "0"])
    try:
        t0 = time.monotonic()
        with pytest.raises(zavo.Error) as e:
            zavo.Session(server=refusing.server, group=refusing.struct_group)
        assert e.value.code == -99 and time.monotonic() - t0 < 10
        # The library's own words for the failed step.
        assert e.value.text == f"open: login refused by {refusing.server}: 1003 no such user"
    finally:
        refusing.stop()
    # Nobody listens there any more.
    with pytest.raises(zavo.Error) as e:
        zavo.Session(server=refusing.server, group=refusing.struct_group)
    assert e.value.code == -99
    assert e.value.text == f"open: connecting to {refusing.server} failed: connection refused"

    silent = Simulator(6620, ["--silent-login", "--rate", "0"])
    try:
        t0 = time.monotonic()
        with pytest.raises(zavo.Error) as e:
            zavo.Session(server=silent.server, group=silent.struct_group, open_timeout=0.5)
        assert e.value.code == -99 and time.monotonic() - t0 < 3
    finally:
        silent.stop()

    for bad in (dict(server="127.0.0.1"), dict(server="localhost:6600"),
                dict(group="10.0.0.1:6601"), dict(flags=("trades",)), dict(queue_size=0),
                dict(user="x" * 100)):
        with pytest.raises(ValueError):
            zavo.Session(**bad)


def test_group_without_port_takes_the_feeds_default_port(sim):
    # The shared simulator publishes on the default ports (struct 6601, raw
    # 6602): a bare group must reach each feed, as --group does in the tools.
    with zavo.Session(server=sim.server, group="239.255.6.1") as s:
        batch = s.read(timeout=5.0, max_records=50)
        assert sum(len(a) for a in batch.values()) > 0
    with zavo.RawSession(server=sim.server, group="239.255.6.1") as r:
        assert next(iter(r.messages(timeout=5.0)), None) is not None
    for bad in ("239.255.6.1:", "239.255.6.1:0", "239.255.6.1:x"):
        with pytest.raises(ValueError):
            zavo.Session(server=sim.server, group=bad)
