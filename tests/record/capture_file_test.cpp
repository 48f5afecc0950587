// Capture files without a network: the framing written, the names of a
// rotated series, and what a damaged or foreign file gives.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "feed_recorder.h"
#include "pcap_reader.h"
#include "pcap_source.h"
#include "pcap_writer.h"
#include "record_test_util.h"
#include "sim_market.h"
#include "sim_wire.h"
#include "stream_gaps.h"

namespace zavo {
namespace test {
namespace {

constexpr int kConnect = 7;

sockaddr_in endpoint(const char* text) {
  sockaddr_in a;
  EXPECT_TRUE(record::ParseEndpoint(text, &a)) << text;
  return a;
}

void write_capture(const std::string& path, const std::vector<std::string>& datagrams) {
  record::PcapWriter w;
  std::string error;
  ASSERT_TRUE(w.Open(path, &error)) << error;
  const sockaddr_in src = endpoint("10.1.2.3:40000");
  const sockaddr_in dst = endpoint("239.9.9.9:9001");
  uint64_t ts = 1700000000123456789ULL;
  for (const std::string& d : datagrams)
    ASSERT_TRUE(w.Write(ts += 1000, src, dst, d.data(), d.size()));
  ASSERT_TRUE(w.Close());
}

std::vector<Rec> decode(const std::string& path, zavo_tail::PcapResult* r, bool by_group) {
  DataOf(kConnect).Clear();
  zavo_tail::Options opt;
  opt.connect_id = kConnect;
  opt.group.ip = "239.9.9.9";
  opt.group.port = 9001;
  zavo_tail::DecodePcap(path, opt, by_group, OnData, r);
  return DataOf(kConnect).Take();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(CaptureFileTest, FramingIsEthernetIpv4UdpWithNanoseconds) {
  TempDir dir;
  const std::string path = dir.File("one.pcap");
  write_capture(path, {std::string("\x07\x07payload", 9)});
  const std::string f = read_file(path);
  ASSERT_EQ(f.size(), 24u + 16u + 14u + 20u + 8u + 9u);
  // Nanosecond magic, little-endian as written on this host; link type 1.
  EXPECT_EQ(f.substr(0, 4), std::string("\x4d\x3c\xb2\xa1", 4));
  EXPECT_EQ(static_cast<unsigned char>(f[20]), 1u);
  // Record header: seconds, nanoseconds.
  uint32_t sec = 0, nsec = 0;
  std::memcpy(&sec, f.data() + 24, 4);
  std::memcpy(&nsec, f.data() + 28, 4);
  EXPECT_EQ(sec, 1700000000u);
  EXPECT_EQ(nsec, 123457789u);
  const unsigned char* eth = reinterpret_cast<const unsigned char*>(f.data()) + 40;
  // The group's multicast MAC, IPv4, UDP, the addresses and ports as given.
  const unsigned char mac[6] = {0x01, 0x00, 0x5e, 0x09, 0x09, 0x09};
  EXPECT_EQ(std::memcmp(eth, mac, 6), 0);
  EXPECT_EQ(eth[12], 0x08);
  EXPECT_EQ(eth[13], 0x00);
  const unsigned char* ip = eth + 14;
  EXPECT_EQ(ip[0], 0x45);
  EXPECT_EQ((ip[2] << 8) | ip[3], 20 + 8 + 9);
  EXPECT_EQ(ip[9], 17);
  uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += (ip[i] << 8) | ip[i + 1];
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  EXPECT_EQ(sum, 0xffffu) << "IPv4 header checksum";
  const unsigned char want_ips[8] = {10, 1, 2, 3, 239, 9, 9, 9};
  EXPECT_EQ(std::memcmp(ip + 12, want_ips, 8), 0);
  const unsigned char* udp = ip + 20;
  EXPECT_EQ((udp[0] << 8) | udp[1], 40000);
  EXPECT_EQ((udp[2] << 8) | udp[3], 9001);
  EXPECT_EQ((udp[4] << 8) | udp[5], 8 + 9);

  record::PcapReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(path, &error)) << error;
  record::CapturedDatagram d;
  ASSERT_EQ(reader.Next(&d), record::PcapReader::kDatagram);
  EXPECT_EQ(d.ts_ns, 1700000000123457789ULL);
  EXPECT_EQ(record::AddressText(d.src), "10.1.2.3:40000");
  EXPECT_EQ(record::AddressText(d.dst), "239.9.9.9:9001");
  EXPECT_EQ(std::string(d.data, d.len), std::string("\x07\x07payload", 9));
  EXPECT_EQ(reader.Next(&d), record::PcapReader::kEnd);
}

TEST(CaptureFileTest, RotatedNamesKeepTheExtensionLast) {
  EXPECT_EQ(record::FeedRecorder::RotatedName("feed.pcap", 0), "feed.0000.pcap");
  EXPECT_EQ(record::FeedRecorder::RotatedName("/d/x.y/feed.pcap", 12), "/d/x.y/feed.0012.pcap");
  EXPECT_EQ(record::FeedRecorder::RotatedName("/d/x.y/feed", 3), "/d/x.y/feed.0003");
  EXPECT_EQ(record::FeedRecorder::RotatedName(".hidden", 1), ".hidden.0001");
}

TEST(CaptureFileTest, DamagedFileGivesAClearErrorAndWhatCouldBeRead) {
  TempDir dir;
  const std::vector<std::string> all = market_datagrams(12, 5);
  const std::string whole = dir.File("whole.pcap");
  const std::string first11 = dir.File("first11.pcap");
  write_capture(whole, all);
  write_capture(first11, std::vector<std::string>(all.begin(), all.end() - 1));

  zavo_tail::PcapResult r;
  const std::vector<Rec> every = decode(whole, &r, true);
  EXPECT_TRUE(r.complete) << r.error;
  ASSERT_EQ(every.size(), 60u);
  EXPECT_EQ(every.back().seq, 60u);
  const std::vector<Rec> want = decode(first11, &r, false);
  ASSERT_EQ(want.size(), 55u);

  // Cut inside the last packet, then inside the last record header.
  const std::string bytes = read_file(whole);
  const std::string cut = dir.File("cut.pcap");
  for (size_t keep : {bytes.size() - 7, bytes.size() - all.back().size() - 42 - 5}) {
    write_file(cut, bytes.substr(0, keep));
    const std::vector<Rec> got = decode(cut, &r, false);
    EXPECT_FALSE(r.complete);
    EXPECT_NE(r.error.find("truncated"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("cut.pcap"), std::string::npos) << r.error;
    EXPECT_EQ(r.datagrams, 11u);
    EXPECT_EQ(FirstDifference(want, got), "");
  }

  // Not a capture file at all, and a missing one: refused, with the name.
  const std::string junk = dir.File("junk.pcap");
  write_file(junk, std::string(64, 'x'));
  for (const std::string& path : {junk, dir.File("missing.pcap")}) {
    zavo_tail::Options opt;
    EXPECT_FALSE(zavo_tail::DecodePcap(path, opt, false, OnData, &r));
    EXPECT_NE(r.error.find(path), std::string::npos) << r.error;
  }
}

TEST(CaptureFileTest, OtherTrafficIsPassedOver) {
  TempDir dir;
  const std::vector<std::string> feed = market_datagrams(3, 4);
  const std::string path = dir.File("mixed.pcap");
  {
    record::PcapWriter w;
    std::string error;
    ASSERT_TRUE(w.Open(path, &error)) << error;
    const sockaddr_in src = endpoint("10.1.2.3:40000");
    uint64_t ts = 1;
    ASSERT_TRUE(w.Write(ts++, src, endpoint("239.9.9.9:9001"), feed[0].data(), feed[0].size()));
    // Another group with a struct packet, and a datagram that is no packet.
    ASSERT_TRUE(w.Write(ts++, src, endpoint("239.9.9.8:9001"), feed[1].data(), feed[1].size()));
    ASSERT_TRUE(w.Write(ts++, src, endpoint("10.9.9.9:53"), "dns?", 4));
    ASSERT_TRUE(w.Write(ts++, src, endpoint("239.9.9.9:9001"), feed[2].data(), feed[2].size()));
    ASSERT_TRUE(w.Close());
  }
  zavo_tail::PcapResult r;
  // With the group: only its datagrams.
  std::vector<Rec> got = decode(path, &r, true);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.datagrams, 2u);
  EXPECT_EQ(r.passed, 2u);
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(got[3].seq, 4u);
  EXPECT_EQ(got[4].seq, 9u);
  // Without: every struct packet, whatever its group.
  got = decode(path, &r, false);
  EXPECT_EQ(r.datagrams, 3u);
  EXPECT_EQ(got.size(), 12u);
}

TEST(CaptureFileTest, StreamGapsFollowFieldAndMessageNumbers) {
  record::StreamGaps gaps;
  const sockaddr_in feed = endpoint("239.9.9.9:9001");
  const sockaddr_in raw_feed = endpoint("239.9.9.9:9002");
  // Struct: 1-5, then 11-15 (6-10 lost), then 11-15 again.
  const std::vector<std::string> d = market_datagrams(3, 5);
  gaps.OnDatagram(feed, d[0].data(), d[0].size());
  gaps.OnDatagram(feed, d[2].data(), d[2].size());
  gaps.OnDatagram(feed, d[2].data(), d[2].size());
  // Raw, Shanghai: message 1 in two fragments, then message 3 twice.
  auto raw = [&](uint64_t seq, uint16_t frag) {
    sim::WireWriter w;
    sim::WriteRawHeader(&w, 93000000, 1, seq, frag, 0, 3);
    w.Bytes("abc", 3);
    gaps.OnDatagram(raw_feed, w.data(), w.size());
  };
  raw(1, 0);
  raw(1, 1);
  raw(3, 0);
  raw(3, 0);
  const std::vector<record::StreamCounts> s = gaps.Streams();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].name, "239.9.9.9:9001");
  EXPECT_EQ(s[0].datagrams, 3u);
  EXPECT_EQ(s[0].last_seq, 15u);
  EXPECT_EQ(s[0].gaps, 1u);
  EXPECT_EQ(s[0].missing, 5u);
  EXPECT_EQ(s[0].backwards, 5u);
  EXPECT_EQ(s[1].name, "239.9.9.9:9002 SH");
  EXPECT_EQ(s[1].datagrams, 4u);
  EXPECT_EQ(s[1].last_seq, 3u);
  EXPECT_EQ(s[1].gaps, 1u);
  EXPECT_EQ(s[1].missing, 1u);
  EXPECT_EQ(s[1].backwards, 1u);
  EXPECT_NE(gaps.Line().find("gaps 1 (5 missing)"), std::string::npos) << gaps.Line();
}

}  // namespace
}  // namespace test
}  // namespace zavo
