"""Order books rebuilt from the details of a struct-mode session or of a
capture file."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple, Union

import numpy as np

from . import _native
from ._errors import ClosedError, Error
from ._records import _EXCHANGE, _EXCHANGE_CHAR
from ._capture import Capture
from ._session import Session

#: numpy dtypes of the book's answers: "level" (price, volume, orders,
#: inferred; volume includes inferred, see ``Book.levels``) and "order"
#: (sequence, quantity). Member for member the builder's C records.
book_dtypes: Dict[str, np.dtype] = {
    "level": np.dtype({"names": ["price", "volume", "orders", "inferred"],
                       "formats": ["<i8", "<i8", "<u4", "<i8"],
                       "offsets": [0, 8, 16, 24], "itemsize": 32}),
    "order": np.dtype([("sequence", "<i8"), ("quantity", "<i8")]),
}
_SIDES = {"bid": 0, "b": 0, "buy": 0, "ask": 1, "a": 1, "s": 1, "sell": 1}

def _book_code(code: str) -> Tuple[str, str]:
    """("600000", "1") from "600000.SH"; a bare code is Shanghai when it
    starts with 6 or 9, Shenzhen otherwise."""
    text = str(code)
    c, dot, market = text.partition(".")
    if not c or len(c) > 15:
        raise ValueError(f"code: '{text}' is not a code such as 600000.SH or 000001.SZ")
    if not dot:
        return c, "1" if c[0] in "69" else "2"
    ex = _EXCHANGE_CHAR.get(market.upper())
    if ex is None:
        raise ValueError(f"code: '{text}' is not a code such as 600000.SH or 000001.SZ")
    return c, ex

def _side(side: Union[str, int]) -> int:
    if isinstance(side, int) and side in (0, 1):
        return side
    try:
        return _SIDES[str(side).lower()]
    except KeyError:
        raise ValueError(f"side: '{side}' is not bid or ask") from None

def _filtered(markets: str, codes: str, flags: int) -> bool:
    """True when the session leaves some fields of the feed out, so that its
    sequence numbers skip by design."""
    if codes.strip() or (flags & 14) != 14:
        return True
    ms = {m.strip().upper() for m in str(markets).split(";") if m.strip()}
    return bool(ms) and not {"SH", "SZ"} <= ms

class Book:
    """Order books of every security a struct-mode ``Session`` delivers,
    rebuilt from its order and trade details and checked against each
    security snapshot (kind "security") as it arrives.

    ``zavo.Book(session)`` (or ``session.book()``) attaches a book to an open
    session; ``zavo.Book(capture)`` (or ``capture.book()``) to a
    ``zavo.Capture``, whose reads then feed it (``capture.feed()`` builds
    it from the whole file without keeping records). A capture has no
    server to resend a gap: ``hold_gaps`` is refused for it. The book is fed on the library's thread, before the records go
    to the queue that ``read`` takes from: records that queue drops for a
    slow reader still reach the book, so a book is exact however the
    program reads (or even if it never reads). Queries take a lock that the
    library's thread holds only for one record; any thread may ask.

    A sequence gap (lost datagrams) marks the securities stale until their
    next snapshot resynchronises the top of the book: see ``check`` and
    ``totals``; it is reported, never hidden. A book starts on a running
    feed, so it starts with such a gap: each security is exact from its
    next snapshot on, and disagreements only ever count a book built from
    details alone. With ``hold_gaps=True`` the book instead keeps the
    records after a gap until ``fill_gap`` has asked the server for the
    missing range (or ``drop_gap`` gives up).

    A session that takes only some codes, one market, or not all of the
    "trade", "order" and "queue" flags leaves fields out by design, so its
    sequence numbers skip: its book ignores holes in the numbers (so it
    cannot see lost datagrams), yet knows it started on a running feed and
    starts stale as above. Narrowing the
    subscription later (``update_subscription``) of a session that took
    everything shows up as gaps (stale securities), never as wrong levels.

    Codes are "600000.SH", "000001.SZ", or bare ("600000": Shanghai when it
    starts with 6 or 9, Shenzhen otherwise). Prices and volumes are the
    feed's integers, unscaled. The book keeps what it built after the
    session closes, and stops being fed at ``close()``. It holds a
    reference to its session, which therefore stays open while the book
    lives unless closed explicitly.
    """

    def __init__(self, session: Union["Session", "Capture"], hold_gaps: bool = False) -> None:
        if isinstance(session, Capture):
            # Fed by the capture's reads; there is no server to fill a gap.
            if hold_gaps:
                raise ValueError("hold_gaps: a capture has no server to resend a gap")
            self._session = None
            self._core = session._core.attach_book(
                0, _filtered(session._markets, session._codes, session._flags))
            return
        if not isinstance(session, Session):
            raise Error(-98, "a book needs a struct-mode zavo.Session or a zavo.Capture")
        core = session._core
        if core is None or core.closed:
            raise ClosedError(-98, "the session is closed")
        flags = _native.BOOK_HOLD_GAPS if hold_gaps else 0
        filtered = _filtered(session._markets, session._codes, session._flags)
        if filtered and hold_gaps:
            raise ValueError("hold_gaps: the session leaves fields out (codes, one "
                             "market or not every flag), so it has no gaps to fill")
        self._session = session
        self._core = core.attach_book(flags, filtered)

    def close(self) -> None:
        """Stops feeding the book; queries go on answering from what it has."""
        self._core.detach()

    def __enter__(self) -> "Book":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def levels(self, code: str, side: Union[str, int] = "bid", n: int = 10) -> np.ndarray:
        """Up to ``n`` price levels of one side ("bid" or "ask") of ``code``,
        best first, as an array of dtype ``zavo.book_dtypes["level"]``:
        ``price``, ``volume`` (the resting quantity, inferred included),
        ``orders`` (orders seen at the price) and ``inferred`` (volume known
        only from a snapshot after a gap). Empty for an unknown code."""
        c, ex = _book_code(code)
        raw = self._core.levels(c, ex, _side(side), max(0, int(n)))
        return np.frombuffer(raw, dtype=book_dtypes["level"]).copy()

    def queue(self, code: str, side: Union[str, int], price: int,
              n: int = 1000) -> np.ndarray:
        """Up to ``n`` orders resting at ``price`` on one side, first in time
        first, as an array of dtype ``zavo.book_dtypes["order"]``
        (``sequence``: OrderSequence or OrderNo, ``quantity`` remaining).
        Inferred volume has no orders, so the quantities sum to the level's
        volume less its inferred volume."""
        c, ex = _book_code(code)
        raw, _total = self._core.queue(c, ex, _side(side), int(price), max(0, int(n)))
        return np.frombuffer(raw, dtype=book_dtypes["order"]).copy()

    def last_trade(self, code: str) -> Optional[Dict[str, Any]]:
        """The last trade of ``code`` (``price``, ``quantity``,
        ``trade_sequence``, ``ask_sequence``, ``bid_sequence``, ``time``
        hhmmssmmm, ``bs_flag`` as delivered), or None before the first."""
        c, ex = _book_code(code)
        return self._core.last_trade(c, ex)

    def check(self, code: str) -> Optional[Dict[str, Any]]:
        """The self-check of ``code``, or None when no detail has named it:
        ``agreements`` (snapshots that matched ten levels a side),
        ``disagreements`` (differed while not stale: a rule went wrong),
        ``stale_snapshots`` (differed while stale, and resynchronised),
        ``stale`` (since a sequence gap), ``inferred_levels``, and
        ``first_difference``: None, or the first difference of the last
        differing snapshot (``side``, ``level`` 1-10, ``snap_price``,
        ``snap_volume``, ``book_price``, ``book_volume``, ``seq``,
        ``time``)."""
        c, ex = _book_code(code)
        return self._core.check(c, ex)

    @property
    def totals(self) -> Dict[str, int]:
        """Counters over the whole book: ``messages``, ``details``,
        ``snapshots``, ``untracked`` (snapshots of securities no detail has
        named), ``agreements``, ``disagreements``, ``stale_snapshots``,
        ``resyncs``, ``gaps``, ``missing``, ``late``, ``restarts``,
        ``filled``, ``held``, ``held_overflows``, ``unknown_refs``,
        ``ignored``, ``securities``, ``stale`` (securities stale now) and
        ``resting_orders``."""
        return self._core.totals()

    def codes(self) -> List[str]:
        """Every security the book has, as "600000.SH", first seen first."""
        return [c + "." + _EXCHANGE[ex] for c, ex in self._core.securities()]

    @property
    def pending_gap(self) -> Optional[Tuple[int, int]]:
        """With ``hold_gaps``: the missing range [begin, end) of sequence
        numbers while records are held for it, else None."""
        return self._core.pending_gap()

    def fill_gap(self, timeout: Optional[float] = 10.0) -> bool:
        """With ``hold_gaps``: asks the server for the missing range and
        applies it with the held records. True when the book is exact again
        (or nothing was missing); False when the range did not come back, in
        which case the wait is given up as with ``drop_gap``."""
        gap = self.pending_gap
        if gap is None:
            return True
        if self._session is None:
            return False
        try:
            self._session.rebuild(gap[0], gap[1], timeout=timeout)
        except (Error, TimeoutError):
            pass
        if self.pending_gap == gap:
            self.drop_gap()
            return False
        return self.pending_gap is None

    def drop_gap(self) -> None:
        """Stops waiting for a missing range: the held records are applied
        and every security is stale until its next snapshot."""
        self._core.drop_gap()
