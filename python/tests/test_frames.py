"""Batches, cache answers and code tables as pandas DataFrames.

Records with ladders (ten bid and ask prices) or queues (200 orders) are
numpy arrays with array members, which pandas refuses as they are; the
frames spread them into numbered columns and turn the C texts into str.
"""

import numpy as np
import pytest

import zavo

pd = pytest.importorskip("pandas")


def spread_names(dtype):
    """The frame's column names for a dtype: array members numbered from 1."""
    out = []
    for name in dtype.names:
        shape = dtype[name].shape
        out += [f"{name}{i + 1}" for i in range(shape[0])] if shape else [name]
    return out


def sample(kind, n=3):
    """`n` records of `kind` whose every number differs from every other."""
    a = np.zeros(n, dtype=zavo.feed_dtypes[kind])
    for j, name in enumerate(a.dtype.names):
        t = a.dtype[name]
        if t.base.kind in "iu":
            base = (j + 1) * 1000
            if t.shape:
                a[name] = base + np.arange(n)[:, None] * 100 + np.arange(t.shape[0])
            else:
                a[name] = base + np.arange(n)
    a["Code"] = [f"{600000 + i}".encode() for i in range(n)]
    if "ExchangeID" in a.dtype.names:  # the order queue has none
        a["ExchangeID"] = b"1"
    return a


def test_every_kind_becomes_a_frame_with_numbered_ladders():
    # The array as read is what pandas cannot take; the frame can.
    with pytest.raises(ValueError):
        pd.DataFrame(sample("security"))
    for kind in zavo.KINDS:
        a = sample(kind)
        df = zavo.to_frame(a)
        assert list(df.columns) == spread_names(a.dtype), kind
        assert len(df) == 3
        assert df["Code"].tolist() == ["600000", "600001", "600002"]
        if "ExchangeID" in df:
            assert df["ExchangeID"].tolist() == ["1", "1", "1"]
        for name in a.dtype.names:
            shape = a.dtype[name].shape
            if shape:
                for i in range(shape[0]):
                    assert df[f"{name}{i + 1}"].tolist() == a[name][:, i].tolist(), (kind, name)
            elif a.dtype[name].kind in "iu":
                assert df[name].tolist() == a[name].tolist(), (kind, name)
                assert df[name].dtype == a.dtype[name], (kind, name)

    snap = zavo.to_frame(sample("security"))
    assert snap.loc[1, "BidPrice1"] == sample("security")["BidPrice"][1, 0]
    assert snap.loc[2, "AskVol10"] == sample("security")["AskVol"][2, 9]
    q = zavo.to_frame(sample("queue"))
    assert "OrderQueue200" in q.columns and "OrderQueue201" not in q.columns


def test_texts_end_at_their_terminator_and_empty_arrays_keep_columns():
    a = sample("trade", 2)
    # A C text ends at its first NUL, whatever follows it in the buffer.
    raw = a.view(np.uint8).reshape(2, -1)
    raw[0, 0:16] = np.frombuffer(b"600000\0junk\0\0\0\0\0", dtype=np.uint8)
    df = zavo.to_frame(a)
    assert df["Code"].tolist() == ["600000", "600001"]
    assert isinstance(df.loc[0, "Code"], str)

    empty = zavo.to_frame(np.empty(0, dtype=zavo.feed_dtypes["security"]))
    assert len(empty) == 0 and list(empty.columns) == spread_names(zavo.feed_dtypes["security"])

    one = zavo.to_frame(sample("future", 1)[0])  # a single record, as records() yields
    assert len(one) == 1 and one.loc[0, "Code"] == "600000" and "BidPrice5" in one.columns

    with pytest.raises(TypeError):
        zavo.to_frame(np.arange(4))


def test_whole_batch_and_raw_messages():
    batch = {k: sample(k, 2) for k in zavo.KINDS}
    frames = zavo.to_frame(batch)
    assert set(frames) == set(zavo.KINDS)
    assert all(isinstance(f, pd.DataFrame) and len(f) == 2 for f in frames.values())
    assert frames["queue"]["OrderQueue1"].tolist() == batch["queue"]["OrderQueue"][:, 0].tolist()

    msgs = [zavo.RawMessage("SH", 7, 93000000, b"\x01\x02"), zavo.RawMessage("SZ", 9, 93000001, b"")]
    df = zavo.to_frame(msgs)
    assert list(df.columns) == ["exchange", "seq", "time", "data"]
    assert df["seq"].tolist() == [7, 9] and df["data"].tolist() == [b"\x01\x02", b""]


def test_live_batches_and_caches(session):
    s = session
    got = {k: [] for k in zavo.KINDS}
    for _ in range(40):
        batch = s.read(timeout=0.2)
        for k, a in batch.items():
            if len(a):
                got[k].append(a)
        if got["security"] and got["queue"]:
            break
    frames = zavo.to_frame({k: np.concatenate(v) for k, v in got.items() if v})
    sec = np.concatenate(got["security"])
    df = frames["security"]
    assert df["Code"].tolist() == [c.decode() for c in sec["Code"]]
    assert df["BidPrice1"].tolist() == sec["BidPrice"][:, 0].tolist()
    assert df["SeqNum"].tolist() == sec["SeqNum"].tolist()
    assert len(frames["queue"]) == sum(len(a) for a in got["queue"])

    s.wait_event("code_tables")
    last = s.last_snapshots("SH")
    assert len(last) > 0
    cache = zavo.to_frame(last)
    assert cache["Code"].tolist() == [c.decode() for c in last["Code"]]
    assert cache["AskPrice10"].tolist() == last["AskPrice"][:, 9].tolist()
    assert "SeqNum" not in cache.columns

    table = zavo.to_frame(s.code_table("SZ"))
    assert table["KvelCode"].str.endswith(".SZ").all()
