"""Struct-mode sessions and what every session shares: open, close
(also at interpreter exit), system events and the queue-full warning."""

from __future__ import annotations

import atexit
import threading
import warnings
import weakref
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, Optional, Union

import numpy as np

from . import _native
from ._errors import ClosedError, QueueFullWarning
from ._records import _KIND_OF, _MSG_TYPE, KINDS, _batch_of, _from_bytes, dtypes
from ._settings import (_D, _UPDATE_MODES, _codes_text, _endpoint, _flag_bits, _ip,
                        _text)

if TYPE_CHECKING:
    from ._book import Book

# SubscribeFlags bits of the library's own services (zavo_api.h).
_RECOVER_GAPS = 0x100
_FEED_STATS = 0x200


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

    ``recover=True`` has the library recover what the feed loses: records
    come in strictly increasing ``SeqNum`` order, each once, and a range it
    cannot recover arrives in its place as a ``"lost"`` event (``begin``,
    ``end`` exclusive, ``reason``). ``stats=True`` (implied by ``recover``)
    adds the library's feed-health counters to ``stats["feed"]``, refreshed
    once a second.
    """

    def __init__(self, server: str = _D["server"], group: str = _D["group"],
                 interface: str = _D["interface"], user: str = _D["user"],
                 password: str = _D["password"],
                 markets: str = "SH;SZ", codes: Union[str, Iterable[str]] = "",
                 flags: Union[Iterable[str], str, int] = ("trade", "order", "queue"),
                 cpu: int = -1, open_timeout: Optional[float] = 15.0,
                 queue_size: int = 200_000, queue_bytes: int = 256 << 20,
                 recover: bool = False, stats: bool = False) -> None:
        self._flags = _flag_bits(flags)
        library_bits = 0
        if recover:
            library_bits |= _RECOVER_GAPS | _FEED_STATS
        if stats:
            library_bits |= _FEED_STATS
        self._markets = str(markets or "")
        self._codes = _codes_text(codes)
        self._pending: Optional[tuple] = None
        super().__init__(False, server, group, interface, user, password, markets,
                         _codes_text(codes), self._flags | library_bits, cpu, open_timeout,
                         queue_size, queue_bytes)

    # -- records ----------------------------------------------------------

    def _batch(self, rows: Dict[int, np.ndarray]) -> Dict[str, np.ndarray]:
        return _batch_of(rows)

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
        ``ValueError`` for an unknown mode and ``zavo.Error`` (-98) for a
        list the library cannot parse.
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
        from ._book import Book  # the book module builds on this one

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

        With ``stats=True`` or ``recover=True``, ``feed`` holds the library's
        counters as of its last report (once a second): datagrams, bytes,
        fields, delivered, filtered, gaps, missing, recovered, lost,
        duplicates, queue_drops, queue_peak_bytes, takeovers, kernel_drops,
        reconnects, held_peak_bytes, last_datagram_age_ms.
        """
        return _stats(self._core.stats(), raw=False)

def _stats(c: Dict[str, Any], raw: bool) -> Dict[str, Any]:
    if raw:
        records = {"SH": c["raw_sh"], "SZ": c["raw_sz"]}
    else:
        records = {_KIND_OF[t]: n for t, n in c["by_type"].items() if t in _KIND_OF}
    out = {"records": records, "gaps": c["gaps"], "missing": c["missing"],
           "dropped": c["dropped"], "rebuild_dropped": c["rebuild_dropped"],
           "queued": c["queued"]}
    if "feed" in c:
        out["feed"] = dict(c["feed"])
    return out
