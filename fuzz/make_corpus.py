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

    struct_control_corpus()
    subscription_corpus()
    raw_corpus()
    feedtap_corpus()


# ---- struct session control connection ----

def cstr(text, n):
    b = text.encode() if isinstance(text, str) else text
    return b[:n].ljust(n, b"\0")


def login_reply(error_id, text, reply_text="ok"):
    return struct.pack(">Q", 1) + cstr(reply_text, 16) + struct.pack(">i", error_id) \
        + cstr(text, 64) + bytes(4)


def base_info(code, exchange, update_no, text="name", option=False):
    body = cstr(code, 16) + bytes([exchange]) + struct.pack(">iI", 7, update_no) + cstr(text, 32) \
        + struct.pack(">qqq", 1, 2, 3)
    if option:
        body += cstr("t2", 32) + cstr("t3", 32) + pattern(185 - 81 - 64, 5)
    return body


def struct_control_corpus():
    t = "fuzz_struct_control"
    write(t, "login_items", packet(field(7, login_reply(0, "a;bb;;ccc;dddddddddd;e;f;g;h"))))
    write(t, "login_refused_high_bits", packet(field(7, login_reply(0x10000, "refused" * 12))))
    tables = packet(field(17, base_info("600000", 1, 5)) + field(17, base_info("000001", 2, 9))
                    + field(18, base_info("10003001", 1, 6, option=True))
                    + field(17, base_info("ABCDEFGHIJKLMNOP", 1, 7)))
    write(t, "base_info_then_finish", tables + packet(field(19, struct.pack(">i", 0))))
    day1 = packet(field(3, struct.pack(">Q", 20210305093000120)))
    day2 = packet(field(3, struct.pack(">Q", 20210306093000120)))
    write(t, "new_day_clears_tables", tables + day1 + tables + day2 + packet(field(19, bytes(4))))
    write(t, "retransmit_end_unknown_fields",
          packet(field(5, struct.pack(">QQI", 10, 20, 0)) + field(99, b"xyz") + field(5, b"\1"))
          + packet(field(257, record_bytes(9), 11), ptype=1010))
    write(t, "short_base_info", b"junk" + packet(field(17, base_info("600000", 1, 5)[:40])
                                                 + field(18, bytes(100))))


# ---- subscription and market texts ----

def subscription_corpus():
    t = "fuzz_subscription"
    write(t, "open_then_modes", b"SH;SZ\n600000.SH;000001.SZ\n\x03600000.SH\n\x02600001.sh;000002.Sz\n"
          b"\x01600519.SH\n\x00\n\x03000001.SZ;600519.SH\n")
    write(t, "null_texts", b"\x01\n\x01\n\x02\x01\n\x05600000.SH\n\x04bad\n")
    write(t, "bad_items", b"SH;XX\n600000\n\x02600000\n\x02.SH\n\x03 600000.SH\n\x02a.SHSZ\n"
          b"\x03;;;\n\x01600000.SH.SZ\n")
    write(t, "long_codes_and_case", b"sh\nABCDEFGHIJKLMNOPQRSTUVWXYZ.SH;abc def.sz\n"
          b"\x02abcdefghijklmnopq.SH\n\x03ABCDEFGHIJKLMNOPQRS.SH\n\x02abcdefghijklmnop.sh\n")
    write(t, "query_texts", b"SH\n\n\x00\n10003001.SH\n10003001.SZ\n10003001 x.SHX\n90000001.SZ\n"
          b"sz\nSHSZ\n.SH\n10003001.\n10003001.S\nS\n")


# ---- raw mode ----

def raw_pkt(exchange, seq, frag, more, payload, send_time=93000123):
    return struct.pack(">HIBQHBH", 0xF7F7, send_time, exchange, seq, frag, more,
                       len(payload)) + payload


def raw_corpus():
    t = "fuzz_raw_fragments"

    def dgrams(*ds):
        return b"".join(struct.pack(">H", len(d)) + d for d in ds)

    three = [raw_pkt(1, 11, 0, 1, b"A" * 40), raw_pkt(1, 11, 1, 1, b"B" * 3),
             raw_pkt(1, 11, 2, 0, b"C" * 7)]
    write(t, "single_and_three", b"\x00" + dgrams(raw_pkt(1, 10, 0, 0, pattern(37, 1)), *three))
    write(t, "out_of_order", b"\x00" + dgrams(three[0], three[2], three[1],
                                             raw_pkt(1, 9, 0, 0, b"old")))
    write(t, "repeats_both_markets", b"\x02" + dgrams(*(three + three),
                                                     raw_pkt(2, 5, 0, 0, b"sz"),
                                                     raw_pkt(2, 5, 0, 0, b"sz"),
                                                     raw_pkt(3, 6, 0, 0, b"x3")))
    write(t, "garbage_truncated", b"\x03" + dgrams(b"xyz" + raw_pkt(2, 7, 0, 0, b"after garbage")
                                                  + b"trailing", raw_pkt(1, 8, 0, 0, b"cut")[:25],
                                                  b"\xf7", b"\xf7\xf7" + bytes(10)))
    write(t, "lost_first_fragment", b"\x01" + dgrams(raw_pkt(2, 20, 1, 0, b"no start"),
                                                    raw_pkt(2, 21, 0, 1, b"x" * 100),
                                                    raw_pkt(2, 22, 0, 0, b"y")))

    t = "fuzz_raw_stream"
    reply = packet(field(7, login_reply(0, "welcome")))
    end = packet(field(5, struct.pack(">QQI", 100, 200, 1)))
    replay = raw_pkt(1, 150, 0, 0, b"replayed") + raw_pkt(2, 199, 0, 0, b"last") \
        + raw_pkt(1, 250, 0, 0, b"outside")
    write(t, "login_replay_end", b"\xff\xff\x03" + reply + replay + end + raw_pkt(1, 160, 0, 0, b"late"))
    write(t, "small_pieces", b"\x00\x02\x01" + reply + b"x" + replay + b"zz" + end)
    write(t, "odd_garbage", b"\x10\x03\x01" + b"abc" + raw_pkt(2, 5, 0, 0, b"p") + b"\x07"
          + packet(field(7, login_reply(5, "refused"))) + b"\xf7" + end + end)
    write(t, "waiting_payload", b"\x08\x08\x03" + raw_pkt(1, 120, 0, 0, bytes(500))[:300])


# ---- feedtap ----

FT_SIZES = {3329: 88, 3330: 424, 3331: 424, 3332: 424, 3333: 280, 3334: 88, 3340: 80}


def ft_msg(msg_id, record, seq=1, body_len=None):
    body = struct.pack("<HH", 1, len(record)) + record
    n = len(body) if body_len is None else body_len
    return struct.pack("<BBHHHI", 1, 0, 1, msg_id, n, seq) + body


def ft_record(msg_id, seed):
    rec = bytearray(pattern(FT_SIZES[msg_id], seed))
    return bytes(rec)


def feedtap_corpus():
    t = "fuzz_feedtap_payload"
    write(t, "every_kind", b"".join(ft_msg(m, ft_record(m, i), seq=i) for i, m in
                                    enumerate(sorted(FT_SIZES))))
    write(t, "short_body_and_tail", ft_msg(3330, ft_record(3330, 1)[:100])
          + ft_msg(3346, bytes(30)) + ft_msg(3334, ft_record(3334, 2)) + b"\x01\x02\x03")
    opt = bytearray(ft_record(3333, 3))
    opt[40:48] = struct.pack("<d", 1e300)        # turnover beyond int
    opt[224:232] = struct.pack("<d", float("nan"))  # last price
    write(t, "option_out_of_range", ft_msg(3333, bytes(opt)))
    write(t, "length_past_end", ft_msg(3329, ft_record(3329, 4), body_len=2000))

    t = "fuzz_feedtap_frame"

    def eth_ipv4(proto, l4, dst=b"\xef\x01\x02\x03", total=None, pad=b""):
        ip_total = 20 + len(l4) if total is None else total
        ip = struct.pack(">BBHHHBBH", 0x45, 0, ip_total, 1, 0, 64, proto, 0) + b"\x0a\0\0\x01" + dst
        return b"\x01\x00\x5e\x01\x02\x03" + b"\x02" * 6 + b"\x08\x00" + ip + l4 + pad

    payload = ft_msg(3334, ft_record(3334, 5))
    udp = struct.pack(">HHHH", 5000, 6000, 8 + len(payload), 0) + payload
    flt = struct.pack(">B4sH", 7, b"\xef\x01\x02\x03", 6000)
    write(t, "udp_matching_filter", flt + eth_ipv4(17, udp))
    write(t, "udp_no_filter_padding", b"\0" * 7 + eth_ipv4(17, udp, pad=b"\0" * 20))
    write(t, "udp_length_past_frame", b"\0" * 7 + eth_ipv4(17, struct.pack(">HHHH", 1, 2, 900, 0) + b"x"))
    tcp = struct.pack(">HHIIBBHHH", 80, 81, 1, 2, 0x80, 0x18, 100, 0, 0) + bytes(12) + b"payload"
    write(t, "tcp", b"\x01" + b"\0" * 6 + eth_ipv4(6, tcp))
    write(t, "arp_and_short_ip", b"\0" * 7 + b"\xff" * 12 + b"\x08\x06" + bytes(28))
    write(t, "bad_ihl", b"\0" * 7 + eth_ipv4(17, udp)[:14] + b"\x41" + eth_ipv4(17, udp)[15:])

    t = "fuzz_feedtap_pcap"

    def pcap(link, packets, cut=0):
        out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link)
        for i, pkt in enumerate(packets):
            out += struct.pack("<IIII", 1700000000 + i, i, len(pkt), len(pkt)) + pkt
        return out[:len(out) - cut] if cut else out

    frame = eth_ipv4(17, udp)
    other = eth_ipv4(17, struct.pack(">HHHH", 5000, 6001, 8 + len(payload), 0) + payload)
    write(t, "ethernet_two_ports", pcap(1, [frame, other, eth_ipv4(6, tcp)]))
    write(t, "ethernet_cut_record", pcap(1, [frame, frame], cut=40))
    cooked = b"\0\0\0\1\0\6" + b"\2" * 6 + b"\0\0" + b"\x08\x00" + frame[14:]
    write(t, "linux_cooked", pcap(113, [cooked]))
    write(t, "raw_ipv4_short_snap", pcap(101, [frame[14:60]]))

    def block(kind, body):
        n = 12 + len(body) + (-len(body) % 4)
        return struct.pack("<II", kind, n) + body + bytes(-len(body) % 4) + struct.pack("<I", n)

    shb = block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
    idb = block(1, struct.pack("<HHI", 1, 0, 65535))
    epb = block(6, struct.pack("<IIIII", 0, 0, 1, len(frame), len(frame)) + frame)
    write(t, "pcapng_one_frame", shb + idb + epb)

    t = "fuzz_feedtap_ini"
    write(t, "config", b"# feed capture\n[general]\nMCADDR = 239.1.2.3:5000\nLOCALIP=127.0.0.1\n"
          b"max_recv_buff_size = 65536 # bytes\nMCSRCIP=\nCSVNEWLINE=1\r\n\n[filter]\n"
          b"enable = 1\n  dstip  =  239.1.2.3  \n")
    write(t, "key_before_section", b"key=value\n[general]\nx=1\n")
    write(t, "odd_lines", b"[]\n[unclosed\n[a]b]\n[general]\n=value\nkey=\n  key2 = v = w\n"
          b"[general]\nkey2=second\n#[x]\n\tk\t=\tv\t\n[a#b]\n")


if __name__ == "__main__":
    main()
