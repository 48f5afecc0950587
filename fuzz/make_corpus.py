#!/usr/bin/env python3
"""Writes the small seed corpora of the fuzz targets into fuzz/corpus/."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# (field id or None, declared size, member bytes) in the order the round-trip
# target indexes them.
RECORDS = [
    (6, 116, 116), (7, 96, 92), (3, 8, 8), (4, 20, 20), (5, 20, 20), (19, 4, 4),
    (None, 68, 68), (None, 588, 588), (None, 5, 5), (257, 557, 557), (258, 81, 81),
    (259, 850, 850), (260, 51, 51), (261, 87, 87), (262, 329, 329), (263, 67, 67),
    (17, 81, 81), (18, 185, 185),
]


def pattern(n, seed):
    x = seed * 2654435761 + 1
    out = bytearray()
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


def record_bytes(index):
    fid, size, members = RECORDS[index]
    body = bytearray(pattern(members, index))
    if size > members:
        body += bytes(size - members)
    if fid is not None and fid >= 257:
        body[0:16] = b"600000".ljust(16, b"\0")
        if fid != 263:
            body[16] = 1
    return bytes(body)


def field(fid, payload, seq=0, length=None):
    return struct.pack(">HHQ", fid, len(payload) if length is None else length, seq) + payload


def packet(body, ptype=0, ptime=20210305093000120):
    return struct.pack(">HHIQ", 0x0707, len(body), ptype, ptime) + body


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def main():
    for i, (fid, _, _) in enumerate(RECORDS):
        write("fuzz_record_roundtrip", "record_%02d" % i, bytes([i]) + record_bytes(i))
    write("fuzz_record_roundtrip", "short_snapshot", bytes([9]) + record_bytes(9)[:100])

    market = [i for i, r in enumerate(RECORDS) if r[0] and r[0] >= 257]
    for i in market:
        write("fuzz_field_walk", "field_%d" % RECORDS[i][0],
              field(RECORDS[i][0], record_bytes(i), seq=1000 + i))
    mixed = field(3, struct.pack(">Q", 20210305093000120)) + field(258, record_bytes(10), 7) \
        + field(261, record_bytes(13), 8)
    write("fuzz_field_walk", "mixed", mixed)
    write("fuzz_field_walk", "overlong_last", field(257, record_bytes(9)[:300], length=557))
    write("fuzz_field_walk", "short_tail", field(3, bytes(8)) + bytes(11))

    login = packet(field(6, record_bytes(0)))
    reply = packet(field(7, record_bytes(1)))
    hb = packet(field(3, struct.pack(">Q", 20210305093000120)))
    snap = packet(field(257, record_bytes(9), 42) + field(262, record_bytes(14), 43))
    rebuild = packet(field(4, record_bytes(3)), ptype=1010)
    write("fuzz_stream_framing", "login", b"\x04\x10" + login)
    write("fuzz_stream_framing", "garbage_then_reply", b"\x00\xff" + b"abc\x07" + reply)
    write("fuzz_stream_framing", "two_in_one", b"\xff\xff" + hb + snap)
    write("fuzz_stream_framing", "split", b"\x03\x13" + rebuild + hb + login[:30])
    write("fuzz_stream_framing", "waiting_body", b"\x10\x10" + packet(bytes(100))[:66])


if __name__ == "__main__":
    main()
