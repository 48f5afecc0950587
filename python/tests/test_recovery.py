"""Gap recovery and the feed-health counters as Python sees them, against
simulators that lose datagrams."""

import time

import zavo
from zavo_testenv import Simulator, wait_for


def take(s, n, seconds):
    """Up to n records in arrival order, within the time."""
    out = []
    deadline = time.monotonic() + seconds
    while len(out) < n and time.monotonic() < deadline:
        for rec in s.records(timeout=0.2):
            out.append(int(rec["SeqNum"]))
            if len(out) >= n:
                break
    return out


def test_recovered_stream_is_complete_and_counted():
    sim = Simulator(6640, ["--rate", "2000", "--loss", "0.03", "--burst", "2:80", "--seed", "3"])
    try:
        with zavo.Session(server=sim.server, group=sim.struct_group, recover=True) as s:
            seqs = take(s, 3000, 8)
            assert len(seqs) == 3000
            # Every number once, in order: nothing lost, nothing repeated.
            assert seqs == list(range(seqs[0], seqs[0] + len(seqs)))
            assert s.stats["gaps"] == 0
            assert not [e for e in s.events() if e["kind"] == "lost"]
            assert wait_for(lambda: s.stats.get("feed", {}).get("missing", 0) > 0, 3)
            feed = s.stats["feed"]
            assert feed["recovered"] == feed["missing"]
            assert feed["lost"] == 0 and feed["kernel_drops"] == 0
            assert feed["datagrams"] > 0 and feed["bytes"] > feed["datagrams"]
    finally:
        sim.stop()


def test_what_cannot_be_recovered_comes_as_lost_events_and_stats_alone_counts():
    sim = Simulator(6650, ["--rate", "2000", "--loss", "0.05", "--retransmit-refuse", "1",
                           "--seed", "4"])
    try:
        with zavo.Session(server=sim.server, group=sim.struct_group, recover=True) as s:
            seqs = take(s, 1500, 8)
            assert seqs == sorted(set(seqs))
            lost = s.wait_event("lost", timeout=5)
            assert lost is not None and lost["reason"] == "refused"
            assert lost["end"] > lost["begin"]
            ranges = [e for e in s.events() if e["kind"] == "lost"]
            covered = set(seqs)
            for e in ranges:
                covered.update(range(e["begin"], e["end"]))
            # Each number up to the last delivered: a record or a lost range.
            assert set(range(seqs[0], seqs[-1] + 1)) <= covered
            assert s.stats["gaps"] == 0
        # Counters without recovery: holes stay holes, and are counted.
        with zavo.Session(server=sim.server, group=sim.struct_group, stats=True) as s:
            take(s, 1000, 8)
            assert wait_for(lambda: s.stats.get("feed", {}).get("gaps", 0) > 0, 3)
            assert s.stats["feed"]["recovered"] == 0
            assert s.stats["gaps"] > 0
    finally:
        sim.stop()
