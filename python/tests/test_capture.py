"""Capture files decoded offline against live sessions of the same run: one
simulator, two recorders (plain and compressed) and two live sessions (one
taking everything, one filtered) at the same time."""

import os
import signal
import subprocess
import time
import warnings

import numpy as np
import pytest

import zavo
from zavo_testenv import Simulator, find_tool, wait_for

# A session's receive time has no counterpart in a file: LocalDelay is
# measured against the capture time there.
RECEIVE_TIME_FIELDS = ("LocalDelay",)
FILTER = dict(markets="SH;SZ", codes="600001.SH;600038.SH", flags="trade")


def concat(batches):
    return {k: np.concatenate([b[k] for b in batches]) if batches else
            np.empty(0, zavo.feed_dtypes[k]) for k in zavo.KINDS}


def seq_range(batch):
    seqs = np.concatenate([v["SeqNum"] for v in batch.values()])
    return int(seqs.min()), int(seqs.max())


def window(batch, lo, hi):
    return {k: v[(v["SeqNum"] >= lo) & (v["SeqNum"] <= hi)] for k, v in batch.items()}


def assert_same(got, want, skip=()):
    for kind in zavo.KINDS:
        a, b = got[kind], want[kind]
        assert len(a) == len(b), f"{kind}: {len(a)} records, expected {len(b)}"
        for name in a.dtype.names:
            if name in skip:
                continue
            same = np.array_equal(a[name], b[name])
            if not same:
                bad = int(np.nonzero(a[name] != b[name])[0][0]) if a[name].ndim == 1 else "?"
                pytest.fail(f"{kind}.{name} differs (first at row {bad}, SeqNum "
                            f"{a['SeqNum'][bad] if bad != '?' else '?'})")


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    exe = find_tool("zavo_record", "ZAVO_RECORD")
    if not exe:
        pytest.fail("zavo_record not found: build it or set ZAVO_RECORD")
    d = tmp_path_factory.mktemp("capture")
    sim = Simulator(6640, ["--rate", "3000", "--seed", "5"])
    recs, logs = [], []
    plain, comp = str(d / "run.pcap"), str(d / "run.pcap.zst")
    os.environ["ZAVO_SHARE_FEED"] = "1"  # the recorders and the sessions take one feed
    try:
        for out, extra in ((plain, []), (comp, ["--compress"])):
            log = open(out + ".log", "w")
            logs.append(log)
            recs.append(subprocess.Popen([exe, "--group", sim.struct_group, "--out", out,
                                          "--no-status", *extra], stdout=log,
                                         stderr=subprocess.STDOUT))
        # Recording once the plain file grows past its header.
        assert wait_for(lambda: os.path.exists(plain) and os.path.getsize(plain) > 4096, 10)
        assert wait_for(lambda: os.path.exists(comp), 10)
        live = {"all": [], "filtered": []}
        with zavo.Session(server=sim.server, group=sim.struct_group) as s_all, \
                zavo.Session(server=sim.server, group=sim.struct_group, **FILTER) as s_f:
            deadline = time.monotonic() + 3.0
            while time.monotonic() < deadline:
                live["all"].append(s_all.read(timeout=0.2))
                live["filtered"].append(s_f.read(timeout=0.0))
            stats = (s_all.stats, s_f.stats)
        # What the sessions had queued when they closed is in the files too:
        # the recorders still run.
        time.sleep(0.3)
    finally:
        del os.environ["ZAVO_SHARE_FEED"]
        for p in recs:
            p.send_signal(signal.SIGTERM)
        for p in recs:
            p.wait(30)
        for log in logs:
            log.close()
        sim.stop()
    assert all(p.returncode == 0 for p in recs), [open(f.name).read() for f in logs]
    assert stats[0]["dropped"] == 0 and stats[0]["gaps"] == 0, stats[0]
    return {"plain": plain, "zst": comp, "dir": d,
            "all": concat(live["all"]), "filtered": concat(live["filtered"])}


def test_plain_and_compressed_recordings_decode_to_the_same_records(run):
    plain = zavo.read_capture(run["plain"])
    comp = zavo.read_capture(run["zst"])
    # The two recorders started a moment apart: compare where both ran.
    lo = max(seq_range(plain)[0], seq_range(comp)[0])
    hi = min(seq_range(plain)[1], seq_range(comp)[1])
    assert hi - lo > 3000
    assert_same(window(comp, lo, hi), window(plain, lo, hi))
    with zavo.Capture(run["zst"]) as c:
        c.read(0)
        s = c.summary
    assert s["compressed"] and s["ended"] and not s["damaged"] and s["error"] == ""
    assert s["gaps"] == 0 and s["records"] == sum(len(v) for v in comp.values())


def test_capture_equals_what_the_live_session_received(run):
    live = run["all"]
    lo, hi = seq_range(live)
    assert sum(len(v) for v in live.values()) > 3000
    got = window(zavo.read_capture(run["zst"]), lo, hi)
    assert_same(got, live, skip=RECEIVE_TIME_FIELDS)
    # Measured against the capture time, the delay is small but real.
    d = got["security"]["LocalDelay"]
    assert len(d) > 0 and (d >= 0).all()


def test_offline_filter_equals_the_live_filter(run):
    live = run["filtered"]
    assert len(live["trade"]) > 0
    assert sum(len(live[k]) for k in zavo.KINDS if k not in ("trade", "security", "index",
                                                              "future")) == 0
    codes = {c.decode() for c in np.concatenate([live["trade"]["Code"],
                                                 live["security"]["Code"]])}
    sz = {c for c in codes if not c.startswith("6")}
    assert sz and codes - sz <= {"600001", "600038"}  # SZ whole, SH only its two codes
    lo, hi = seq_range(live)
    got = window(zavo.read_capture(run["plain"], **FILTER), lo, hi)
    assert_same(got, live, skip=RECEIVE_TIME_FIELDS)


def test_batches_of_a_big_file_make_up_the_whole(run):
    whole = zavo.read_capture(run["zst"])
    n = sum(len(v) for v in whole.values())
    batches = list(zavo.iter_capture(run["zst"], batch_records=1000))
    sizes = [sum(len(v) for v in b.values()) for b in batches]
    assert len(batches) >= n // 1100 and all(s > 0 for s in sizes)
    # A datagram is decoded whole: at most one datagram's records over.
    assert max(sizes) < 1000 + 100
    assert_same(concat(batches), whole)
    # And the one line into pandas.
    frame = zavo.to_frame(zavo.read_capture(run["zst"], flags="trade")["trade"])
    assert len(frame) == len(whole["trade"]) and "TradePrice" in frame.columns


def damaged_copy(src, dst, how):
    data = bytearray(open(src, "rb").read())
    if how == "cut":
        data = data[: len(data) * 3 // 5]
    else:
        mid = len(data) // 2
        data[mid:mid + 64] = bytes(64)  # zeros inside a compressed frame
    open(dst, "wb").write(bytes(data))
    return len(data)


@pytest.mark.parametrize("how", ["cut", "corrupt"])
def test_damaged_compressed_file_keeps_what_came_before(run, how):
    whole = zavo.read_capture(run["zst"])
    path = str(run["dir"] / f"{how}.pcap.zst")
    size = damaged_copy(run["zst"], path, how)
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        got = zavo.read_capture(path)
    msgs = [str(x.message) for x in w if issubclass(x.category, zavo.CaptureDamageWarning)]
    assert len(msgs) == 1 and path in msgs[0] and "byte" in msgs[0], msgs
    # A prefix of the whole file, record for record, and not an empty one.
    n = sum(len(v) for v in got.values())
    assert 0 < n < sum(len(v) for v in whole.values())
    assert_same(got, {k: whole[k][: len(got[k])] for k in zavo.KINDS})
    with zavo.Capture(path) as c, warnings.catch_warnings():
        warnings.simplefilter("ignore", zavo.CaptureDamageWarning)
        for _ in c:
            pass
        s = c.summary
    assert s["damaged"] and path in s["error"] and 0 < s["damage_offset"] <= size


def test_books_fed_from_a_capture_agree_with_its_snapshots(run):
    with zavo.Capture(run["zst"]) as c:
        book = zavo.Book(c)
        kept = c.read(0)
    t = book.totals
    assert t["agreements"] > 0 and t["disagreements"] == 0, t
    assert t["details"] == sum(len(kept[k]) for k in ("trade", "order", "sh_order"))
    code = book.codes()[0]
    assert len(book.levels(code, "bid")) + len(book.levels(code, "ask")) > 0
    # Fed without keeping records: the same book.
    with zavo.Capture(run["zst"]) as c:
        fed = c.book()
        c.feed()
        assert c.ended and c.read(0)["trade"].size == 0
    assert fed.totals == t
    with zavo.Capture(run["zst"]) as c:
        with pytest.raises(ValueError):
            zavo.Book(c, hold_gaps=True)


def test_refusals(run, tmp_path):
    with pytest.raises(FileNotFoundError):
        zavo.read_capture(str(tmp_path / "nothing.pcap"))
    junk = tmp_path / "junk.pcap"
    junk.write_bytes(b"not a capture file at all, just text\n" * 10)
    with pytest.raises(zavo.Error) as e:
        zavo.read_capture(str(junk))
    assert str(junk) in str(e.value)
    with pytest.raises(zavo.Error):
        zavo.read_capture(run["zst"], markets="XX")
    with pytest.raises(ValueError):
        zavo.read_capture(run["zst"], flags="nonsense")
    # Another group than the recorded one: nothing of it in the file.
    got = zavo.read_capture(run["zst"], group="239.255.6.9:7000")
    assert sum(len(v) for v in got.values()) == 0
    c = zavo.Capture(run["zst"])
    c.close()
    assert c.read()["trade"].size == 0 and c.ended


def test_the_capture_example_prints_the_day(run):
    import re
    import sys
    example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples",
                           "python", "capture_day.py")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(zavo.__file__)))
    trades = len(zavo.read_capture(run["zst"], flags="trade")["trade"])
    for extra in ([], ["--batches", "500"]):
        out = subprocess.run([sys.executable, example, run["zst"], "--top", "3", *extra],
                             env=env, capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        head = re.search(r"(\d+) records, (\d+) trades, 0 sequence gaps$", out.stdout, re.M)
        assert head and int(head.group(2)) == trades, out.stdout
        rows = re.findall(r"^(\d{6}) +([12]) +(\d+) +(\d+) +[\d.]+ +([\d.]+)$", out.stdout, re.M)
        assert len(rows) == 3 and all(float(r[4]) > 0 for r in rows), out.stdout
        # The busiest code's book, both sides (a last order may still cross).
        assert re.search(r"^  ask +[\d.]+ +\d+$", out.stdout, re.M), out.stdout
        assert re.search(r"^  bid +[\d.]+ +\d+$", out.stdout, re.M), out.stdout
