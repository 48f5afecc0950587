"""Records as pandas DataFrames.

pandas takes a structured array only when every member is one value: the
snapshots' ten-level ladders and the queue's 200 orders are array members,
so they are spread into numbered columns first. pandas is imported only
here, when a frame is asked for: the package does not need it otherwise.
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Sequence, Union

import numpy as np

from ._raw_session import RawMessage

# Free texts of the code tables whose encoding is the server's own: they
# stay bytes for the caller to decode. Every other text member (codes,
# one-character flags) is plain ASCII and becomes str.
_FREE_TEXTS = frozenset({"Text", "Text2", "Text3"})

Records = Union[np.ndarray, np.void]


def _pandas() -> Any:
    try:
        import pandas
    except ImportError:
        raise ImportError("zavo.to_frame needs pandas (apt install python3-pandas)") from None
    return pandas


def _c_text(column: np.ndarray) -> np.ndarray:
    """A fixed byte-string column as str, each cut at its first NUL as C
    reads it. latin-1 maps every byte to one character, so a stray byte in
    a flag shows up instead of failing the whole frame."""
    out = np.empty(len(column), dtype=object)
    out[:] = [t.partition(b"\0")[0].decode("latin-1") for t in column.tolist()]
    return out


def _columns(records: np.ndarray) -> Dict[str, np.ndarray]:
    out: Dict[str, np.ndarray] = {}
    for name in records.dtype.names:
        column = records[name]
        member = records.dtype[name]
        if member.shape:
            flat = column.reshape(len(records), int(np.prod(member.shape)))
            for i in range(flat.shape[1]):
                out[f"{name}{i + 1}"] = flat[:, i]
        elif member.kind == "S" and name not in _FREE_TEXTS:
            out[name] = _c_text(column)
        else:
            out[name] = column
    return out


def _frame(records: Records) -> Any:
    pd = _pandas()
    if isinstance(records, np.void):
        records = np.array([records], dtype=records.dtype)
    if not isinstance(records, np.ndarray) or records.dtype.names is None:
        raise TypeError("zavo.to_frame: expected records of zavo (a structured numpy array)")
    return pd.DataFrame(_columns(records.reshape(-1)))


def to_frame(data: Union[Records, Mapping[str, np.ndarray], Sequence[RawMessage]]) -> Any:
    """Records as a ``pandas.DataFrame``, one row per record.

    ``data`` is an array of any of the package's records (a kind of a
    ``read`` or ``rebuild`` batch, ``last_snapshots``, ``last_index``,
    ``last_future``, ``code_table``, ``option_codes``, the book's levels or
    queues) or one record as ``records`` yields it. Array members become
    numbered columns: ``BidPrice`` becomes ``BidPrice1`` (best) to
    ``BidPrice10``, ``OrderQueue`` ``OrderQueue1`` to ``OrderQueue200``.
    Text members (``Code``, ``KvelCode``, ``ExchangeID``, flags) become
    str, cut at the first NUL; the code tables' free texts (``Text``,
    ``Text2``, ``Text3``) stay bytes, as their encoding is the server's.
    Numbers keep their dtypes.

    A whole batch (the dict ``read`` returns) gives a dict of frames by
    kind; a list of ``RawMessage`` gives a frame with their four fields.
    Needs pandas, which is imported at the first call.
    """
    if isinstance(data, Mapping):
        return {kind: _frame(records) for kind, records in data.items()}
    if isinstance(data, list) and all(isinstance(m, RawMessage) for m in data):
        messages: List[RawMessage] = data
        return _pandas().DataFrame(messages, columns=list(RawMessage._fields))
    return _frame(data)
