"""The library's records as numpy dtypes, and what names their kinds."""

from __future__ import annotations

from typing import Dict, Tuple, Union

import numpy as np

from . import _native

#: Kinds of market-data record, in the order of their message numbers.
KINDS: Tuple[str, ...] = ("index", "security", "future", "trade", "order", "queue", "sh_order")

_MSG_TYPE = {k: 100 + i for i, k in enumerate(KINDS)}
_KIND_OF = {v: k for k, v in _MSG_TYPE.items()}

# Market numbers of ExchangeID and the market texts of the C interface.
_EXCHANGE = {"1": "SH", "2": "SZ"}
_EXCHANGE_CHAR = {"SH": "1", "SZ": "2"}

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

def _batch_of(rows: Dict[int, np.ndarray]) -> Dict[str, np.ndarray]:
    """The dict of every kind from native rows ({msg_type: uint8 rows}),
    viewed in place as ``feed_dtypes`` (no copy)."""
    out = dict(_EMPTY)
    for msg_type, raw in rows.items():
        kind = _KIND_OF[msg_type]
        out[kind] = raw.view(feed_dtypes[kind])
    return out

def version() -> str:
    """The library's version string ("v1.1.202105.2" and a build identifier)."""
    return _native.version()

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
