"""Capture files decoded offline: records of a recording (zavo_record,
tcpdump; pcap or pcapng, plain or zstd-compressed) in the same numpy
batches a live ``Session`` reads."""

from __future__ import annotations

import os
import threading
import warnings
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, Optional, Union

import numpy as np

from . import _native
from ._errors import CaptureDamageWarning, ClosedError, Error
from ._records import _batch_of
from ._settings import _codes_text, _endpoint, _flag_bits

if TYPE_CHECKING:
    from ._book import Book

_FlagsArg = Union[Iterable[str], str, int]
_CodesArg = Union[str, Iterable[str]]


class Capture:
    """One capture file, decoded as a struct-mode session with the same
    ``markets``, ``codes`` and ``flags`` would have received it (see
    ``Session``): the same records, the same filter, the same dtypes.

    ``group`` ("IP:PORT" or "IP" for port 6601) takes only the datagrams
    sent to that group, as a session joins one; without it every struct
    datagram of the file is decoded (a recording of one feed). Each record's
    ``LocalDelay`` is measured against the time the datagram was captured,
    so a file always decodes to the same records.

    Read it in batches (``read``, or iterate: ``for batch in capture``) to
    go through files larger than memory. A file cut short or damaged
    part-way decodes up to the damage; ``summary`` then names the damage,
    the file and the byte, and reading past it issues a
    ``CaptureDamageWarning``. Raises ``FileNotFoundError`` for a missing
    file and ``zavo.Error`` for one that is no capture or settings that a
    session would refuse.
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], markets: str = "SH;SZ",
                 codes: _CodesArg = "", flags: _FlagsArg = ("trade", "order", "queue"),
                 group: Optional[str] = None, batch_records: int = 1_000_000) -> None:
        self._path = os.fspath(path)
        self._markets = str(markets or "")
        self._codes = _codes_text(codes)
        self._flags = _flag_bits(flags)
        if batch_records < 1:
            raise ValueError("batch_records must be positive")
        self._batch_records = int(batch_records)
        group_ip, group_port = ("", 0) if not group else _endpoint(group, "group", 6601)
        if not os.path.exists(self._path):
            raise FileNotFoundError(2, "no such capture file", self._path)
        try:
            self._core = _native.CaptureCore(self._path, self._markets, self._codes,
                                             self._flags, group_ip, group_port)
        except RuntimeError as e:
            raise Error(-98, str(e)) from None
        self._more = True
        self._warned = False
        self._lock = threading.Lock()

    # -- records ----------------------------------------------------------

    def read(self, max_records: Optional[int] = None) -> Dict[str, np.ndarray]:
        """Decodes the next records: about ``max_records`` of them (a
        datagram is decoded whole, so a few more may come; None:
        ``batch_records``; 0: the rest of the file). Returns the dict of
        ``Session.read``: every kind of ``zavo.KINDS`` mapped to an array of
        dtype ``zavo.feed_dtypes[kind]``, empty ones included. Empty arrays
        only once the file has ended (``ended``)."""
        n = self._batch_records if max_records is None else int(max_records)
        if n < 0:
            raise ValueError("max_records must be 0 or more")
        return _batch_of(self._read(n, True))

    def __iter__(self) -> Iterator[Dict[str, np.ndarray]]:
        """Batches of about ``batch_records`` records until the end."""
        while not self.ended:
            batch = self.read()
            if any(len(v) for v in batch.values()):
                yield batch

    def feed(self) -> None:
        """Decodes the rest of the file into the attached books only, with
        no records kept (a book of a whole day without its records)."""
        self._read(0, False)

    def _read(self, n: int, keep: bool) -> Dict[int, np.ndarray]:
        with self._lock:
            if not self._more:
                return {}
            try:
                rows, _order, more = self._core.read(n, keep)
            except RuntimeError as e:
                raise ClosedError(-98, str(e)) from None
            self._more = more
        if self._core.summary()["handler_errors"]:
            # Only running out of memory fails in the copy into the rows.
            raise MemoryError("zavo: records of the capture could not be kept (out of memory)")
        if not more:
            self._warn_damage()
        return rows

    def _warn_damage(self) -> None:
        s = self._core.summary()
        if s.get("damaged") and not self._warned:
            self._warned = True
            warnings.warn(CaptureDamageWarning(s["error"]), stacklevel=4)

    @property
    def ended(self) -> bool:
        """True once the file has been read to its end (or its damage)."""
        return not self._more

    @property
    def summary(self) -> Dict[str, Any]:
        """What has been read so far: ``packets`` of the file, ``skipped``
        (not UDP/IPv4), ``datagrams`` decoded, ``passed`` (other groups or
        not struct datagrams), ``refused`` (not one whole packet),
        ``records`` delivered, ``gaps`` and ``missing`` (sequence numbers
        skipped in the file, over every stream), ``streams`` (per
        group:port: ``name``, ``datagrams``, ``bytes``, ``last_seq``,
        ``gaps``, ``missing``, ``backwards``), ``ended``, ``compressed``,
        ``file_offset`` (bytes of the file consumed), and for a file cut
        short or damaged ``damaged`` True with ``error`` (the file, what and
        where) and ``damage_offset`` (the byte of the file)."""
        return self._core.summary()

    def book(self) -> "Book":
        """A ``zavo.Book`` fed by this capture's records from the next read
        on (see ``Book``)."""
        from ._book import Book  # the book module builds on this one

        return Book(self)

    # -- lifetime ---------------------------------------------------------

    def close(self) -> None:
        """Closes the file; ``summary`` keeps answering."""
        self._more = False
        self._core.close()

    def __enter__(self) -> "Capture":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def read_capture(path: Union[str, "os.PathLike[str]"], markets: str = "SH;SZ",
                 codes: _CodesArg = "", flags: _FlagsArg = ("trade", "order", "queue"),
                 group: Optional[str] = None) -> Dict[str, np.ndarray]:
    """Every record of a capture file at once, as ``Session.read`` returns
    them: ``{"trade": array, "security": array, ...}`` with every kind of
    ``zavo.KINDS``. Arguments as for ``Capture``. A damaged or truncated
    file gives what came before the damage and a ``CaptureDamageWarning``
    naming the file and the byte. One line to pandas::

        trades = zavo.to_frame(zavo.read_capture("day.pcap.zst", flags="trade")["trade"])

    For files larger than memory use ``iter_capture``."""
    with Capture(path, markets, codes, flags, group) as c:
        return c.read(0)


def iter_capture(path: Union[str, "os.PathLike[str]"], batch_records: int = 1_000_000,
                 markets: str = "SH;SZ", codes: _CodesArg = "",
                 flags: _FlagsArg = ("trade", "order", "queue"),
                 group: Optional[str] = None) -> Iterator[Dict[str, np.ndarray]]:
    """The records of a capture file in batches of about ``batch_records``
    (dicts as ``read_capture`` returns), so that a file of a whole day
    never has to fit in memory. Arguments as for ``Capture``."""
    with Capture(path, markets, codes, flags, group, batch_records) as c:
        yield from c
