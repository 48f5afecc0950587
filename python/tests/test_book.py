"""zavo.Book against the simulator's matching engines, whose snapshots
follow from the details, so a correct book agrees with every one."""

import threading
import time

import numpy as np
import pytest

import zavo
from zavo_testenv import Simulator, wait_for


@pytest.fixture(scope="module")
def book_sim():
    # Few securities, so each one's snapshots come often; the matching
    # engines are the simulator's default.
    s = Simulator(6630, ["--sh", "3", "--sz", "3", "--sh-options", "0", "--sz-options", "0",
                         "--rate", "4000", "--seed", "11"])
    yield s
    s.stop()


def test_book_agrees_with_snapshots_even_when_the_queue_drops(book_sim):
    # The book below must start on a running feed, not on its first field:
    # a session that opens right after the simulator starts may see field 1.
    # Another session that has seen data proves the feed is past it.
    warm = zavo.Session(server=book_sim.server, group=book_sim.struct_group)
    try:
        assert wait_for(lambda: sum(warm.stats["records"].values()) > 0, 8)
    finally:
        warm.close()
    # A queue of 16 records that is never read: nearly everything is
    # dropped there, and the book must not notice.
    s = zavo.Session(server=book_sim.server, group=book_sim.struct_group, queue_size=16)
    book = s.book()
    try:
        assert wait_for(lambda: book.totals["agreements"] >= 20, 8), book.totals
        assert s.stats["dropped"] > 0
    finally:
        s.close()
    # Closed: the book is no longer fed, so what follows sees one state.
    t = book.totals
    assert t["disagreements"] == 0, [book.check(c) for c in book.codes()]
    assert t["details"] > 0 and t["securities"] >= 2 and t["resting_orders"] > 0
    # Attached to a running session, the book started late: every security
    # was stale until its snapshot resynchronised it.
    assert t["gaps"] >= 1
    codes = book.codes()
    assert {c[-2:] for c in codes} == {"SH", "SZ"}

    uncrossed = 0
    for code in codes:
        bids, asks = book.levels(code, "bid", 10), book.levels(code, "ask", n=100)
        assert bids.dtype == zavo.book_dtypes["level"] and len(bids) <= 10
        assert np.all(np.diff(bids["price"]) < 0) and np.all(np.diff(asks["price"]) > 0)
        assert np.all(bids["volume"] > 0) and np.all(asks["volume"] > 0)
        assert np.all(bids["inferred"] <= bids["volume"])
        if len(bids) and len(asks) and bids["price"][0] < asks["price"][0]:
            uncrossed += 1
        for side, lv in (("bid", bids), ("ask", asks)):
            if len(lv):
                q = book.queue(code, side, lv["price"][0])
                assert q.dtype == zavo.book_dtypes["order"] and len(q) == lv["orders"][0]
                assert q["quantity"].sum() == lv["volume"][0] - lv["inferred"][0]
                assert np.all(q["quantity"] > 0)
                assert len(book.queue(code, side, lv["price"][0], n=1)) == min(1, len(q))
        c = book.check(code)
        assert c["disagreements"] == 0 and c["stale"] in (True, False)
        assert c["first_difference"] is None or c["first_difference"]["side"] in ("bid", "ask")
        # A bare code names the same security.
        bare = code.split(".")[0]
        if (bare[0] in "69") == code.endswith(".SH"):
            assert np.array_equal(book.levels(bare, "ask"), book.levels(code, "ask", 10))
    # A Shenzhen cross can be locked for a moment; most books are not.
    assert uncrossed >= len(codes) // 2
    trades = [book.last_trade(c) for c in codes]
    assert any(tr is not None and tr["price"] > 0 and tr["quantity"] > 0 for tr in trades)
    assert sum(book.check(c)["agreements"] for c in codes) == t["agreements"]

    assert book.check("699999.SH") is None and book.last_trade("699999.SH") is None
    assert len(book.levels("699999.SH")) == 0 and len(book.queue("699999", "bid", 1)) == 0
    for bad in (lambda: book.levels("600000.XX"), lambda: book.levels("", "bid"),
                lambda: book.levels(codes[0], "middle")):
        with pytest.raises(ValueError):
            bad()


def test_filtered_and_refused_books(book_sim):
    # A session with a code list leaves fields out: its numbers skip by
    # design, which must not make the book stale at every skip, while the
    # orders that rested before the book started must not count as
    # disagreements either.
    with zavo.Session(server=book_sim.server, group=book_sim.struct_group,
                      codes="600001.SH;000001.SZ") as s:
        with pytest.raises(ValueError):
            s.book(hold_gaps=True)
        book = zavo.Book(s)
        assert wait_for(lambda: book.totals["agreements"] >= 2, 8), book.totals
        t = book.totals
        assert t["gaps"] == 1 and t["disagreements"] == 0 and t["late"] == 0
        assert set(book.codes()) <= {"600001.SH", "000001.SZ"}
        book.close()  # detached: no longer fed
        n = book.totals["messages"]
        s.read(timeout=0.3)
        assert book.totals["messages"] == n
    with pytest.raises(zavo.ClosedError):
        s.book()
    with zavo.RawSession(server=book_sim.server, group=book_sim.raw_group) as r:
        with pytest.raises(zavo.Error):
            zavo.Book(r)


def test_querying_while_another_thread_closes(book_sim):
    s = zavo.Session(server=book_sim.server, group=book_sim.struct_group)
    book = s.book()
    assert wait_for(lambda: book.totals["securities"] > 0, 5)
    code = book.codes()[0]
    errors = []
    rounds = [0, 0]
    stop = threading.Event()

    def query(i):
        try:
            for _ in range(200_000):
                if stop.is_set():
                    break
                lv = book.levels(code, "bid")
                if len(lv):
                    book.queue(code, "bid", lv["price"][0])
                book.totals
                rounds[i] += 1
        except Exception as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=query, args=(i,)) for i in range(2)]
    for th in threads:
        th.start()
    # Both threads are querying a book the feed is still changing.
    assert wait_for(lambda: min(rounds) >= 50 or errors, 5)
    s.close()
    stop.set()
    for th in threads:
        th.join(10)
    assert not errors and not any(th.is_alive() for th in threads)
    assert book.totals["disagreements"] == 0


def test_held_gap_is_filled_from_a_retransmission(book_sim):
    # Delivering nothing for a moment makes a real gap in a session that
    # takes everything; the held book asks for the range and stays exact.
    with zavo.Session(server=book_sim.server, group=book_sim.struct_group) as s:
        book = s.book(hold_gaps=True)
        assert book.fill_gap() is True  # nothing missing yet
        assert wait_for(lambda: book.totals["agreements"] >= 5, 8), book.totals
        s.update_subscription("remove", "*")
        time.sleep(0.1)  # the subject: fields published while nothing is delivered
        s.update_subscription("add", "*")
        assert wait_for(lambda: book.pending_gap is not None, 5), book.totals
        begin, end = book.pending_gap
        assert 0 < begin < end and book.totals["held"] > 0
        assert book.fill_gap(timeout=10) is True
        t = book.totals
        assert t["filled"] == 1 and t["held"] == 0 and t["disagreements"] == 0
        agreed = t["agreements"]
        assert wait_for(lambda: book.totals["agreements"] > agreed and book.totals["stale"] == 0, 5)
        assert book.totals["disagreements"] == 0
