"""Raw-mode sessions: the exchanges' own messages, reassembled."""

from __future__ import annotations

from typing import Any, Dict, Iterator, List, NamedTuple, Optional

from ._errors import ClosedError
from ._records import _EXCHANGE, _EXCHANGE_CHAR
from ._session import _SessionBase, _stats
from ._settings import _D

class RawMessage(NamedTuple):
    """One reassembled exchange message of a ``RawSession``."""

    exchange: str  # "SH" or "SZ"
    seq: int       # the exchange's message sequence number
    time: int      # sending time, hhmmssmmm
    data: bytes    # the message as the exchange sent it

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
