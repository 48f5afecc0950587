"""Python binding of the zavo market-data client library.

Records of the Shanghai and Shenzhen exchanges arrive in batches as numpy
structured arrays, one array per kind of record::

    import zavo
    with zavo.Session(server="127.0.0.1:6600", group="239.255.6.1:6601") as s:
        batch = s.read(timeout=0.5)          # {"trade": array, "order": array, ...}
        print(batch["trade"][["Code", "TradePrice", "TradeQty"]])

The library delivers records on its own threads; the binding copies each
one into a bounded queue there, without the interpreter lock, and Python
takes them out in batches. Waits release the interpreter lock and wake for
Ctrl-C. Sessions close on ``with`` exit, ``close()``, garbage collection and
interpreter exit, from any thread.
"""

from __future__ import annotations

import atexit
import threading
import warnings
import weakref
from typing import Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Tuple, Union

import numpy as np

from ._errors import ClosedError, Error, QueueFullWarning
from . import _native

# One set of default addresses for every program of the project (the
# simulator, the client, the recorder and this package).
_D = _native.DEFAULTS

__all__ = [
    "version", "Session", "RawSession", "RawMessage", "Error", "ClosedError",
    "QueueFullWarning", "dtypes", "feed_dtypes", "KINDS", "Book", "book_dtypes",
]
__version__ = "1.1.0"

#: Kinds of market-data record, in the order of their message numbers.
KINDS: Tuple[str, ...] = ("index", "security", "future", "trade", "order", "queue", "sh_order")

_MSG_TYPE = {k: 100 + i for i, k in enumerate(KINDS)}
_KIND_OF = {v: k for k, v in _MSG_TYPE.items()}
_FLAGS = {"trade": 2, "order": 4, "queue": 8}
_UPDATE_MODES = {"all": 0, "replace": 1, "add": 2, "remove": 3}


def _build_dtypes() -> Tuple[Dict[str, np.dtype], Dict[str, np.dtype]]:
    exact: Dict[str, np.dtype] = {}
    feed: Dict[str, np.dtype] = {}
    for kind, l in _native.layouts().items():
        layout = {"names": l["names"], "formats": l["formats"], "offsets": l["offsets"],
                  "itemsize": l["itemsize"]}
        exact[kind] = np.dtype(layout)
        if l["msg_type"]:
            tail = l["row_record_bytes"]
            feed[kind] = np.dtype({
                "names": l["names"] + ["SeqNum", "MsgTime"],
                "formats": l["formats"] + ["<u8", "<u4"],
                "offsets": l["offsets"] + [tail, tail + 8],
                "itemsize": tail + 16,
            })
    return exact, feed


#: numpy dtypes of the library's records, member for member at the C
#: offsets and with the C sizes: the seven market-data kinds plus "code"
#: (a code-table entry) and "option_code" (an option code-table entry).
#: Text members are fixed byte strings ("S16" for Code, "S1" for one
#: character such as ExchangeID).
dtypes: Dict[str, np.dtype]
#: dtypes of the records as ``read`` and ``rebuild`` return them: the C
#: record followed by the message's ``SeqNum`` (the feed's sequence number)
#: and ``MsgTime`` (the sending time, hhmmssmmm).
feed_dtypes: Dict[str, np.dtype]
dtypes, feed_dtypes = _build_dtypes()

_EMPTY = {k: np.empty(0, dtype=feed_dtypes[k]) for k in KINDS}


def version() -> str:
    """The library's version string ("v1.1.202105.2" and a build identifier)."""
    return _native.version()


def _endpoint(text: str, what: str, default_port: Optional[int] = None) -> Tuple[str, int]:
    host, sep, port = str(text).rpartition(":")
    if not sep:
        host, port = str(text), ""
    if not port:
        if default_port is None or sep:
            raise ValueError(f"{what}: '{text}' is not IP:PORT")
        return _ip(host, what), default_port
    try:
        p = int(port)
    except ValueError:
        raise ValueError(f"{what}: '{text}' has no valid port") from None
    if not 0 < p < 65536:
        raise ValueError(f"{what}: port {p} is outside 1..65535")
    return _ip(host, what), p


def _ip(text: str, what: str) -> str:
    parts = text.split(".")
    if len(parts) != 4 or not all(p.isdigit() and int(p) < 256 for p in parts):
        raise ValueError(f"{what}: '{text}' is not a dotted IPv4 address")
    return text


def _text(value: str, what: str, limit: int) -> str:
    value = str(value)
    if len(value.encode()) > limit:
        raise ValueError(f"{what}: at most {limit} bytes")
    return value


def _codes_text(codes: Union[str, Iterable[str], None]) -> str:
    if codes is None:
        return ""
    if isinstance(codes, str):
        return codes
    return ";".join(codes)


def _flag_bits(flags: Union[str, Iterable[str], int]) -> int:
    if isinstance(flags, int):
        return flags
    if isinstance(flags, str):
        flags = [f for f in flags.replace(";", ",").split(",") if f]
    bits = 0
    for f in flags:
        try:
            bits |= _FLAGS[f.strip().lower()]
        except KeyError:
            raise ValueError(f"flags: unknown kind '{f}' (trade, order, queue)") from None
    return bits


# Sessions still open, closed at interpreter exit before the interpreter
# starts tearing down (threads blocked in a read then return normally).
_open_sessions: "weakref.WeakSet[_SessionBase]" = weakref.WeakSet()
_open_lock = threading.Lock()


@atexit.register
def _close_all() -> None:
    with _open_lock:
        sessions = list(_open_sessions)
    for s in sessions:
        try:
            s.close()
        except Exception:  # exit must go on whatever one session says
            pass
    # Opens given up on (timeout, Ctrl-C) are still closing in the background.
    _native.wait_abandoned(5.0)


class _SessionBase:
    _core: Any = None

    def __init__(self, raw: bool, server: str, group: str, interface: str, user: str,
                 password: str, markets: str, codes: str, flags: int, cpu: int,
                 open_timeout: Optional[float], queue_size: int, queue_bytes: int) -> None:
        server_ip, server_port = _endpoint(server, "server")
        # A group without a port takes the feed's default port, as in every tool.
        group_ip, group_port = _endpoint(group, "group",
                                         int(_D["raw_group" if raw else "group"].rsplit(":")[1]))
        if int(group_ip.split(".")[0]) // 16 != 14:
            raise ValueError(f"group: '{group_ip}' is not a multicast address")
        if queue_size < 1 or queue_bytes < 1:
            raise ValueError("queue_size and queue_bytes must be positive")
        self._reported_drops = 0
        self._core = _native.Core(
            raw, server_ip, server_port, group_ip, group_port, _ip(interface, "interface"),
            _text(user, "user", 63), _text(password, "password", 63), str(markets or ""),
            codes, flags, int(cpu), int(queue_size), int(queue_bytes))
        self._core.open(open_timeout)
        with _open_lock:
            _open_sessions.add(self)

    # -- lifetime ---------------------------------------------------------

    def close(self) -> None:
        """Closes the session and waits for the library's threads to end.

        Safe from any thread, any number of times; a ``read`` blocked in
        another thread returns what is left and then raises ``ClosedError``.
        """
        core = self._core
        if core is not None:
            core.close()

    @property
    def closed(self) -> bool:
        """True once ``close`` has been called (or the open failed)."""
        return self._core is None or self._core.closed

    def __enter__(self):
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    # -- events -----------------------------------------------------------

    def events(self, since: int = 0) -> List[Dict[str, Any]]:
        """System events seen so far, oldest first, as dicts.

        Each has ``kind`` ("connect", "disconnect", "login", "code_tables",
        "rebuild_finish"), ``index`` (0, 1, ... in arrival order) and
        ``time`` (hhmmssmmm), plus the members of its record: ``address``
        and ``port``; ``state`` (connect); ``error_id``, ``error_msg`` and
        ``items`` (login); ``markets`` ({"SH": {"codes": n, "update": u}})
        for code_tables; ``begin``, ``end``, ``status`` (rebuild_finish).
        Only events with ``index >= since`` are returned (the last 4096 are
        kept).
        """
        return self._core.events(since)

    def wait_event(self, kind: str = "any", timeout: Optional[float] = 5.0,
                   since: int = 0) -> Optional[Dict[str, Any]]:
        """Waits for an event of ``kind`` with ``index >= since``.

        Returns the first such event (at once if it has already arrived), or
        None after ``timeout`` seconds (None: no limit).
        """
        return self._core.wait_event(kind, since, timeout)

    def _warn_drops(self, dropped: int) -> None:
        if dropped > self._reported_drops:
            n = dropped - self._reported_drops
            self._reported_drops = dropped
            warnings.warn(QueueFullWarning(
                f"zavo: the queue was full, {n} records dropped ({dropped} in total); "
                "read more often or raise queue_size"), stacklevel=3)


class Session(_SessionBase):
    """A struct-mode session: decoded records of both exchanges.

    Opens at once: connects to ``server``, logs in and joins the multicast
    ``group`` ("IP:PORT", or "IP" for the struct feed's port 6601) on the
    local ``interface``; raises ``zavo.Error`` when that fails or takes
    longer than ``open_timeout`` seconds.

    ``markets`` ("SH", "SZ" or "SH;SZ") and ``codes`` ("600000.SH;000001.SZ"
    or a list of such texts; empty: whole markets) choose what is delivered;
    ``flags`` enables the optional kinds ("trade", "order" for order and
    sh_order details, "queue"); snapshots always come. ``cpu`` pins the
    library's multicast read thread (-1: not pinned).

    At most ``queue_size`` records (and ``queue_bytes`` bytes) wait for
    ``read``; beyond that records are dropped, counted in ``stats`` and
    reported by a ``QueueFullWarning``.
    """

    def __init__(self, server: str = _D["server"], group: str = _D["group"],
                 interface: str = _D["interface"], user: str = _D["user"],
                 password: str = _D["password"],
                 markets: str = "SH;SZ", codes: Union[str, Iterable[str]] = "",
                 flags: Union[Iterable[str], str, int] = ("trade", "order", "queue"),
                 cpu: int = -1, open_timeout: Optional[float] = 15.0,
                 queue_size: int = 200_000, queue_bytes: int = 256 << 20) -> None:
        self._flags = _flag_bits(flags)
        self._markets = str(markets or "")
        self._codes = _codes_text(codes)
        self._pending: Optional[tuple] = None
        super().__init__(False, server, group, interface, user, password, markets,
                         _codes_text(codes), self._flags, cpu, open_timeout, queue_size,
                         queue_bytes)

    # -- records ----------------------------------------------------------

    def _batch(self, rows: Dict[int, np.ndarray]) -> Dict[str, np.ndarray]:
        out = dict(_EMPTY)
        for msg_type, raw in rows.items():
            kind = _KIND_OF[msg_type]
            out[kind] = raw.view(feed_dtypes[kind])
        return out

    def _take(self, timeout: Optional[float], max_records: int):
        rows, order, ended = self._core.read(timeout, max_records)
        self._warn_drops(self._core.stats()["dropped"])
        if ended:
            raise ClosedError(-98, "the session is closed")
        return self._batch(rows), order

    def read(self, timeout: Optional[float] = 0.5,
             max_records: int = 100_000) -> Dict[str, np.ndarray]:
        """Takes up to ``max_records`` queued records, waiting at most
        ``timeout`` seconds (None: no limit) for the first one.

        Returns a dict with every kind of ``zavo.KINDS`` mapped to a numpy
        structured array of dtype ``zavo.feed_dtypes[kind]`` (empty when none
        came), records of one kind in arrival order. Raises ``ClosedError``
        once the session is closed and everything has been read, and
        ``KeyboardInterrupt`` on Ctrl-C (records stay queued).
        """
        if self._pending is not None:
            # Records that a ``records()`` loop left behind come first.
            batch, order, done = self._pending
            self._pending = None
            counts = np.bincount(order[:done], minlength=len(KINDS))
            return {k: batch[k][counts[i]:] for i, k in enumerate(KINDS)}
        return self._take(timeout, max(1, int(max_records)))[0]

    def records(self, timeout: Optional[float] = 1.0) -> Iterator[np.void]:
        """Yields records one at a time in arrival order (numpy.void with
        field names, e.g. ``rec["Code"]``; its kind is ``zavo.kind_of(rec)``).

        Ends when nothing arrives for ``timeout`` seconds (None: runs until
        the session is closed) or when the session is closed. Leaving the
        loop early loses nothing: the next ``records`` or ``read`` goes on
        from the next record.
        """
        while True:
            if self._pending is None:
                try:
                    batch, order = self._take(timeout, 4096)
                except ClosedError:
                    return
                if len(order) == 0:
                    return
                self._pending = (batch, order, 0)
            batch, order, done = self._pending
            pos = np.bincount(order[:done], minlength=len(KINDS)).tolist()
            for n in range(done, len(order)):
                k = order[n]
                rec = batch[KINDS[k]][pos[k]]
                pos[k] += 1
                # Counted before the yield: a loop that stops here has
                # taken this record, and the next one is where to go on.
                self._pending = (batch, order, n + 1)
                yield rec
            self._pending = None

    # -- queries ----------------------------------------------------------

    def code_table(self, market: str) -> np.ndarray:
        """The code table of ``market`` ("SH" or "SZ"): securities, then
        options, as an array of dtype ``zavo.dtypes["code"]``. Empty until
        the server has sent it (see ``wait_event("code_tables")``)."""
        return _from_bytes(self._core.code_table(market), dtypes["code"])

    def option_codes(self, market: str) -> np.ndarray:
        """The option entries of ``market`` with every option member, as an
        array of dtype ``zavo.dtypes["option_code"]``."""
        out = []
        for entry in self.code_table(market):
            raw = self._core.option_info(entry["KvelCode"].decode())
            if raw is not None:
                out.append(raw)
        return _from_bytes(b"".join(out), dtypes["option_code"])

    def option_info(self, code: str) -> Optional[np.void]:
        """The option entry of ``code`` ("10006001.SH"), or None when it is
        not an option of the code tables."""
        raw = self._core.option_info(code)
        return None if raw is None else _from_bytes(raw, dtypes["option_code"])[0]

    def last_snapshots(self, market: str) -> np.ndarray:
        """The last snapshot of every security of ``market``
        (dtype ``zavo.dtypes["security"]``)."""
        return _from_bytes(self._core.last(_MSG_TYPE["security"], market), dtypes["security"])

    def last_index(self, market: str) -> np.ndarray:
        """The last snapshot of every index of ``market`` (``dtypes["index"]``)."""
        return _from_bytes(self._core.last(_MSG_TYPE["index"], market), dtypes["index"])

    def last_future(self, market: str) -> np.ndarray:
        """The last snapshot of every future of ``market`` (``dtypes["future"]``)."""
        return _from_bytes(self._core.last(_MSG_TYPE["future"], market), dtypes["future"])

    def update_subscription(self, mode: str, codes: Union[str, Iterable[str]] = "") -> None:
        """Changes which records are delivered (the caches see everything).

        ``mode``: "all" (both markets, every code; ``codes`` ignored),
        "replace" (exactly ``codes``), "add" or "remove" (``codes`` to or from
        what their markets deliver). ``codes``: "600000.SH;000001.SZ" or a
        list of such texts. "*" stands for whole markets: "add"/"replace"
        with "*" is "all", "remove" with "*" delivers nothing. Raises
        ``zavo.Error`` for an unknown mode or an unparsable list.
        """
        try:
            m = _UPDATE_MODES[mode]
        except KeyError:
            raise ValueError(f"mode: '{mode}' is not all, replace, add or remove") from None
        text = _codes_text(codes)
        if text.strip() == "*":
            m, text = (1, "") if m == 3 else (0, "")
        self._core.update_subscription(m, text)

    def rebuild(self, begin: int, end: int,
                timeout: Optional[float] = 10.0) -> Dict[str, np.ndarray]:
        """Asks the server to resend sequence numbers ``begin`` up to, not
        including, ``end``; returns the records (filtered like live data) as
        a batch like ``read`` once the server has ended the replay.

        Raises ``zavo.Error`` (-94 while another replay runs, -98 for an
        empty range), ``TimeoutError`` when the end does not arrive within
        ``timeout`` seconds.
        """
        (rows, _order), _status = self._core.rebuild("", int(begin), int(end), timeout)
        return self._batch(rows)

    def book(self, hold_gaps: bool = False) -> "Book":
        """A ``zavo.Book`` fed by this session from now on (see ``Book``)."""
        return Book(self, hold_gaps=hold_gaps)

    @property
    def stats(self) -> Dict[str, Any]:
        """Counters of this session: ``records`` by kind (as delivered by
        the library, dropped ones included), ``gaps`` (times the sequence
        skipped ahead) and ``missing`` (numbers skipped in total), ``dropped``
        (records the binding dropped because its queue was full),
        ``rebuild_dropped`` and ``queued`` (waiting for ``read``).

        Sequence numbers are consecutive over every kind of every code, so
        gaps mean lost datagrams only when the session takes all of them
        (all flags, no code list, both markets).
        """
        return _stats(self._core.stats(), raw=False)


class RawMessage(NamedTuple):
    """One reassembled exchange message of a ``RawSession``."""

    exchange: str  # "SH" or "SZ"
    seq: int       # the exchange's message sequence number
    time: int      # sending time, hhmmssmmm
    data: bytes    # the message as the exchange sent it


_EXCHANGE = {"1": "SH", "2": "SZ"}
_EXCHANGE_CHAR = {"SH": "1", "SZ": "2"}


def _messages(tuples: List[tuple]) -> List[RawMessage]:
    return [RawMessage(_EXCHANGE.get(e, e), s, t, d) for e, s, t, d in tuples]


class RawSession(_SessionBase):
    """A raw-mode session: the exchanges' own messages, reassembled.

    Arguments as for ``Session``; the default ``group`` is the raw feed's
    port 6602, which a ``group`` given without a port takes too.
    """

    def __init__(self, server: str = _D["server"], group: str = _D["raw_group"],
                 interface: str = _D["interface"], user: str = _D["user"],
                 password: str = _D["password"],
                 markets: str = "SH;SZ", cpu: int = -1, open_timeout: Optional[float] = 15.0,
                 queue_size: int = 200_000, queue_bytes: int = 256 << 20) -> None:
        super().__init__(True, server, group, interface, user, password, markets, "", 0, cpu,
                         open_timeout, queue_size, queue_bytes)

    def read(self, timeout: Optional[float] = 0.5,
             max_messages: int = 100_000) -> List[RawMessage]:
        """Takes up to ``max_messages`` queued messages in arrival order,
        waiting at most ``timeout`` seconds for the first one. Raises
        ``ClosedError`` once closed and drained."""
        msgs, _, ended = self._core.read(timeout, max(1, int(max_messages)))
        self._warn_drops(self._core.stats()["dropped"])
        if ended:
            raise ClosedError(-98, "the session is closed")
        return _messages(msgs)

    def messages(self, timeout: Optional[float] = 1.0) -> Iterator[RawMessage]:
        """Yields messages one at a time; ends when nothing arrives for
        ``timeout`` seconds (None: until closed) or the session closes."""
        while True:
            try:
                msgs = self.read(timeout, 4096)
            except ClosedError:
                return
            if not msgs:
                return
            yield from msgs

    def rebuild(self, market: str, begin: int, end: int,
                timeout: Optional[float] = 10.0) -> List[RawMessage]:
        """Replays messages ``begin`` up to, not including, ``end`` of
        ``market`` ("SH" or "SZ", which the session must take)."""
        ch = _EXCHANGE_CHAR.get(str(market).upper())
        if ch is None:
            raise ValueError(f"market: '{market}' is not SH or SZ")
        msgs, _status = self._core.rebuild(ch, int(begin), int(end), timeout)
        return _messages(msgs)

    @property
    def stats(self) -> Dict[str, Any]:
        """Counters: ``records`` by exchange ("SH", "SZ"), ``gaps`` and
        ``missing`` of the per-exchange sequences, ``dropped``,
        ``rebuild_dropped`` and ``queued``."""
        return _stats(self._core.stats(), raw=True)


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
    session. The book is fed on the library's thread, before the records go
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

    def __init__(self, session: "Session", hold_gaps: bool = False) -> None:
        if not isinstance(session, Session):
            raise Error(-98, "a book needs a struct-mode zavo.Session")
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


def _stats(c: Dict[str, Any], raw: bool) -> Dict[str, Any]:
    if raw:
        records = {"SH": c["raw_sh"], "SZ": c["raw_sz"]}
    else:
        records = {_KIND_OF[t]: n for t, n in c["by_type"].items() if t in _KIND_OF}
    return {"records": records, "gaps": c["gaps"], "missing": c["missing"],
            "dropped": c["dropped"], "rebuild_dropped": c["rebuild_dropped"],
            "queued": c["queued"]}


def _from_bytes(raw: bytes, dtype: np.dtype) -> np.ndarray:
    return np.frombuffer(raw, dtype=dtype).copy()


def kind_of(record: Union[np.void, np.ndarray]) -> str:
    """The kind ("trade", ...) of a record or array returned by ``read``,
    ``records`` or ``rebuild``."""
    dt = record.dtype
    for k, d in feed_dtypes.items():
        if d == dt:
            return k
    for k, d in dtypes.items():
        if d == dt:
            return k
    raise ValueError("not a zavo record")


__all__.append("kind_of")
