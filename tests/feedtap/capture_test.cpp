#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net_ctrl.h"

using Qen::TFrameFilter;
using Qen::TFrameInfo;

namespace {

struct FrameSpec {
  uint16_t etherType = 0x0800;
  uint8_t protocol = 17;
  uint8_t verHLen = 0x45;
  uint32_t src = 0x7F000001;
  uint32_t dst = 0xEF010101;
  uint16_t srcPort = 40000;
  uint16_t dstPort = 3000;
  int udpLen = -1;            // -1: header plus payload
  uint8_t tcpHdrByte = 0x50;  // data offset 5 words
  size_t payload = 100;
  size_t padTo = 0;  // link-layer padding after the IP packet
};

void put16(std::vector<uint8_t>& f, size_t at, uint16_t v) {
  f[at] = static_cast<uint8_t>(v >> 8);
  f[at + 1] = static_cast<uint8_t>(v);
}
void put32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
  put16(f, at, static_cast<uint16_t>(v >> 16));
  put16(f, at + 2, static_cast<uint16_t>(v));
}

// An Ethernet frame as the packet socket delivers it, built byte by byte.
std::vector<uint8_t> Frame(const FrameSpec& s) {
  const size_t ipHdr = static_cast<size_t>(s.verHLen & 0x0f) * 4;
  // A TCP frame always gets room for the fixed header, whatever length it claims.
  const size_t tcpHdr = std::max<size_t>(static_cast<size_t>(s.tcpHdrByte >> 4) * 4, 20);
  const size_t l4Hdr = s.protocol == 6 ? tcpHdr : s.protocol == 17 ? 8 : 4;
  std::vector<uint8_t> f(14 + ipHdr + l4Hdr + s.payload, 0);
  put16(f, 12, s.etherType);
  f[14] = s.verHLen;
  put16(f, 16, static_cast<uint16_t>(ipHdr + l4Hdr + s.payload));
  f[22] = 64;
  f[23] = s.protocol;
  put32(f, 26, s.src);
  put32(f, 30, s.dst);
  const size_t l4 = 14 + ipHdr;
  if (s.protocol == 17 || s.protocol == 6) {
    put16(f, l4, s.srcPort);
    put16(f, l4 + 2, s.dstPort);
  }
  if (s.protocol == 17) {
    put16(f, l4 + 4, static_cast<uint16_t>(s.udpLen >= 0 ? s.udpLen : 8 + s.payload));
  }
  if (s.protocol == 6) f[l4 + 12] = s.tcpHdrByte;
  for (size_t i = 0; i < s.payload; ++i) f[l4 + l4Hdr + i] = static_cast<uint8_t>(i + 1);
  if (f.size() < s.padTo) f.resize(s.padTo, 0xAA);
  return f;
}

TFrameInfo Parse(const std::vector<uint8_t>& f, const TFrameFilter& filter) {
  return Qen::ParsePromiscFrame(f.data(), f.size(), filter);
}

TFrameFilter Filter(const std::string& ip, int port) {
  Qen::TIpFilterInfo info;
  info.enable = true;
  info.dstIp = ip;
  info.dstPort = port;
  return Qen::MakeFrameFilter(info);
}

TEST(PromiscFrame, UdpTcpAndOtherFramesAgainstTheFilter) {
  const TFrameFilter none;
  const TFrameFilter group = Filter("239.1.1.1", 3000);
  FrameSpec udp;
  udp.payload = 100;  // UDP length field 108
  TFrameInfo i = Parse(Frame(udp), group);
  ASSERT_EQ(i.kind, TFrameInfo::Udp);
  EXPECT_EQ(i.payloadOffset, 42u);
  EXPECT_EQ(i.payloadLength, 100u);
  EXPECT_EQ(i.lenField, 108);
  EXPECT_EQ(Qen::IntegerToIpv4(i.srcIp), "127.0.0.1");
  EXPECT_EQ(Qen::IntegerToIpv4(i.dstIp), "239.1.1.1");
  EXPECT_EQ(i.srcPort, 40000);
  EXPECT_EQ(i.dstPort, 3000);

  FrameSpec otherPort = udp;
  otherPort.dstPort = 3001;
  EXPECT_EQ(Parse(Frame(otherPort), group).kind, TFrameInfo::Skip);
  EXPECT_EQ(Parse(Frame(otherPort), none).kind, TFrameInfo::Udp);
  FrameSpec otherAddr = udp;
  otherAddr.dst = 0xEF010102;
  EXPECT_EQ(Parse(Frame(otherAddr), group).kind, TFrameInfo::Skip);
  // Filtering on only the port, or only the address, keeps the other open.
  EXPECT_EQ(Parse(Frame(otherAddr), Filter("", 3000)).kind, TFrameInfo::Udp);
  EXPECT_EQ(Parse(Frame(otherPort), Filter("239.1.1.1", 0)).kind, TFrameInfo::Udp);

  // TCP to the filtered address passes whatever its ports; its payload
  // follows the header length it declares.
  FrameSpec tcp = udp;
  tcp.protocol = 6;
  tcp.srcPort = 1;
  tcp.dstPort = 2;
  tcp.tcpHdrByte = 0x80;  // 32-byte header
  tcp.payload = 10;
  i = Parse(Frame(tcp), group);
  ASSERT_EQ(i.kind, TFrameInfo::Tcp);
  EXPECT_EQ(i.payloadOffset, 66u);
  EXPECT_EQ(i.payloadLength, 10u);
  EXPECT_EQ(i.lenField, 0x80);
  tcp.tcpHdrByte = 0x50;
  tcp.padTo = 80;  // link-layer padding is not payload
  i = Parse(Frame(tcp), group);
  ASSERT_EQ(i.kind, TFrameInfo::Tcp);
  EXPECT_EQ(i.payloadOffset, 54u);
  EXPECT_EQ(i.payloadLength, 10u);

  FrameSpec icmp = udp;
  icmp.protocol = 1;
  EXPECT_EQ(Parse(Frame(icmp), group).kind, TFrameInfo::Other);
  FrameSpec arp = udp;
  arp.etherType = 0x0806;
  EXPECT_EQ(Parse(Frame(arp), none).kind, TFrameInfo::Other);
  EXPECT_EQ(Parse(Frame(arp), group).kind, TFrameInfo::Skip);
}

TEST(PromiscFrame, PayloadNeverLeavesTheCapturedBytes) {
  const TFrameFilter none;
  FrameSpec udp;
  std::vector<uint8_t> f = Frame(udp);
  f.resize(34);
  EXPECT_EQ(Parse(f, none).kind, TFrameInfo::Skip);
  // Truncated capture: the UDP length claims more than was captured.
  f = Frame(udp);
  f.resize(f.size() - 1);
  EXPECT_EQ(Parse(f, none).kind, TFrameInfo::Skip);
  FrameSpec bad = udp;
  bad.udpLen = 7;
  EXPECT_EQ(Parse(Frame(bad), none).kind, TFrameInfo::Skip);
  bad.udpLen = 8;  // an empty datagram is still a datagram
  bad.payload = 0;
  TFrameInfo i = Parse(Frame(bad), none);
  EXPECT_EQ(i.kind, TFrameInfo::Udp);
  EXPECT_EQ(i.payloadLength, 0u);
  // TCP frames shorter than their header.
  FrameSpec tcp = udp;
  tcp.protocol = 6;
  tcp.tcpHdrByte = 0x80;
  tcp.payload = 0;
  f = Frame(tcp);
  f.resize(60);
  EXPECT_EQ(Parse(f, none).kind, TFrameInfo::Skip);
  tcp.tcpHdrByte = 0x20;  // below the minimum header
  EXPECT_EQ(Parse(Frame(tcp), none).kind, TFrameInfo::Skip);
  // IPv4 options move the UDP header.
  FrameSpec opts = udp;
  opts.verHLen = 0x46;
  opts.payload = 12;
  i = Parse(Frame(opts), none);
  ASSERT_EQ(i.kind, TFrameInfo::Udp);
  EXPECT_EQ(i.payloadOffset, 46u);
  EXPECT_EQ(i.payloadLength, 12u);
}

TEST(NetHelpers, AddressesProtocolNamesAndHexDump) {
  EXPECT_EQ(Qen::IntegerToIpv4(0xC0A80001u), "192.168.0.1");
  EXPECT_EQ(Qen::Ipv4ToInteger("192.168.0.1"), 0xC0A80001u);
  EXPECT_EQ(Qen::Ipv4ToInteger("239.255.0.7"), 0xEFFF0007u);
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "a.b.c.d", "1.2.3.4 ", "1..2.3",
                          "-1.2.3.4", "0001.2.3.4"}) {
    uint32_t v = 7;
    EXPECT_FALSE(Qen::ParseIpv4(bad, &v)) << bad;
    EXPECT_EQ(Qen::Ipv4ToInteger(bad), 0u) << bad;
  }

  const std::pair<int, const char*> names[] = {
      {0, "hopopt"},     {1, "icmp"},          {2, "igmp"},          {6, "tcp"},
      {17, "udp"},       {41, "ipv6"},         {47, "gre"},          {50, "esp"},
      {58, "ipv6-icmp"}, {89, "ospf"},         {132, "sctp"},        {136, "udplite"},
      {142, "rohc"},     {253, "exptest-253"}, {254, "exptest-254"}, {255, "reserved"}};
  for (const auto& n : names) {
    ASSERT_NE(Qen::netdb_protoname(static_cast<uint8_t>(n.first)), nullptr) << n.first;
    EXPECT_STREQ(Qen::netdb_protoname(static_cast<uint8_t>(n.first)), n.second);
  }
  for (int unnamed : {61, 63, 68, 99, 114, 143, 200, 252}) {
    EXPECT_EQ(Qen::netdb_protoname(static_cast<uint8_t>(unnamed)), nullptr) << unnamed;
  }
  int count = 0;
  for (const Qen::TIpProtoValue* p = Qen::ipproto_values; p->name != nullptr; ++p) ++count;
  EXPECT_EQ(count, 28);

  std::vector<uint8_t> bytes;
  for (char c : std::string("AB CDEFGHIJKLM~}")) bytes.push_back(static_cast<uint8_t>(c));
  bytes.push_back(0x01);
  bytes.push_back(0xff);
  testing::internal::CaptureStdout();
  Qen::PrintHexData(bytes.data(), static_cast<int>(bytes.size()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "(0000): 41,42,20,43,44,45,46,47,48,49,4a,4b,4c,4d,7e,7d,   [AB.CDEFGHIJKLM.}]\n"
            "(0016): 01,ff,\n");
}

// Datagrams delivered by the capture thread.
std::mutex g_mu;
std::condition_variable g_cv;
std::deque<std::string> g_got;

void collect(const unsigned char* data, size_t len) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_got.emplace_back(reinterpret_cast<const char*>(data), len);
  g_cv.notify_all();
}

bool next_datagram(std::string* out) {
  std::unique_lock<std::mutex> lock(g_mu);
  if (!g_cv.wait_for(lock, std::chrono::seconds(5), [] { return !g_got.empty(); })) return false;
  *out = g_got.front();
  g_got.pop_front();
  return true;
}

void send_from(const char* srcIp, const char* group, int port, const std::string& data) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in src{};
  src.sin_family = AF_INET;
  src.sin_addr.s_addr = inet_addr(srcIp);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof(src)), 0);
  in_addr iface{};
  iface.s_addr = inet_addr("127.0.0.1");
  unsigned char ttl = 0;
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface));
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  dst.sin_addr.s_addr = inet_addr(group);
  dst.sin_port = htons(static_cast<uint16_t>(port));
  EXPECT_EQ(sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof(dst)),
            static_cast<ssize_t>(data.size()));
  close(fd);
}

TEST(MulticastCapture, SourceSpecificMembershipAndFailedSetup) {
  Qen::TUdpRcvConfig cfg;
  cfg.localIp = "127.0.0.1";
  cfg.groupIp = "239.7.7.7";
  cfg.groupPort = 31007;
  cfg.groupSrcIp = "127.0.0.1";
  testing::internal::CaptureStdout();
  const bool joined = Qen::CUdpCtrl::SetMulticastReceive(cfg, true);
  const std::string said = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(joined) << said;
  EXPECT_NE(said.find("Assign group source address:127.0.0.1\n"), std::string::npos) << said;
  ASSERT_GE(cfg.socket, 0);
  {
    Qen::CUdpCtrl ctrl;
    ctrl.SetNewDataCallback(collect);
    ctrl.CreateMulticastRcvTask(cfg.socket, 2048);
    // The datagram from the other source is sent first: if the membership
    // let it through it would be the first to arrive.
    send_from("127.0.0.2", "239.7.7.7", 31007, "from another source");
    send_from("127.0.0.1", "239.7.7.7", 31007, "from the source");
    std::string got;
    ASSERT_TRUE(next_datagram(&got));
    EXPECT_EQ(got, "from the source");
    EXPECT_TRUE(ctrl.Stop());
  }
  {
    std::lock_guard<std::mutex> lock(g_mu);
    EXPECT_TRUE(g_got.empty());
  }

  // A failed join leaves no descriptor, and the receive task ends at once
  // instead of polling a closed one.
  Qen::TUdpRcvConfig bad;
  bad.localIp = "127.0.0.1";
  bad.groupIp = "not-an-address";
  bad.groupPort = 31008;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(Qen::CUdpCtrl::SetMulticastReceive(bad, true));
  std::string badSaid = testing::internal::GetCapturedStderr();
  EXPECT_EQ(bad.socket, -1);
  EXPECT_NE(badSaid.find("ERR:group address is not an IPv4 address: 'not-an-address'"),
            std::string::npos)
      << badSaid;
  // A group that is not multicast fails at the join, with the reason.
  bad.groupIp = "10.1.2.3";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(Qen::CUdpCtrl::SetMulticastReceive(bad, true));
  badSaid = testing::internal::GetCapturedStderr();
  EXPECT_EQ(bad.socket, -1);
  EXPECT_NE(badSaid.find("ERR:setsockopt():IP_ADD_MEMBERSHIP error:"), std::string::npos)
      << badSaid;
  testing::internal::CaptureStdout();
  Qen::CUdpCtrl ctrl;
  ctrl.CreateMulticastRcvTask(bad.socket, 2048);
  EXPECT_TRUE(ctrl.Stop());
  badSaid = testing::internal::GetCapturedStdout();
  EXPECT_NE(badSaid.find("Invalid file description(-1)\n"), std::string::npos) << badSaid;
}

// What the capture thread has delivered when it last asked for a flush.
std::atomic<size_t> g_delivered{0};
std::atomic<size_t> g_deliveredAtFlush{0};
std::atomic<int> g_flushes{0};

void count_datagram(const unsigned char*, size_t) {
  g_delivered.fetch_add(1);
}
void count_flush() {
  g_deliveredAtFlush.store(g_delivered.load());
  g_flushes.fetch_add(1);
}

TEST(MulticastCapture, BurstIsWrittenOutOnceTheSocketRunsDry) {
  Qen::TUdpRcvConfig cfg;
  cfg.localIp = "127.0.0.1";
  cfg.groupIp = "239.7.7.8";
  cfg.groupPort = 31009;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(Qen::CUdpCtrl::SetMulticastReceive(cfg, true));
  Qen::CUdpCtrl ctrl;
  ctrl.SetNewDataCallback(count_datagram);
  ctrl.SetFlushCallback(count_flush);
  ctrl.CreateMulticastRcvTask(cfg.socket, 65536);
  // More datagrams than one read takes, and no traffic after them: the
  // thread must write out on its own once it finds the socket empty, with
  // the last datagram delivered before that.
  constexpr size_t kBurst = 300;
  for (size_t i = 0; i < kBurst; ++i) send_from("127.0.0.1", "239.7.7.8", 31009, "datagram");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (g_deliveredAtFlush.load() < kBurst && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(g_deliveredAtFlush.load(), kBurst);
  const int flushesBeforeStop = g_flushes.load();
  EXPECT_GE(flushesBeforeStop, 1);
  EXPECT_TRUE(ctrl.Stop());
  // The stop writes out once more, whatever is left.
  EXPECT_EQ(g_flushes.load(), flushesBeforeStop + 1);
  EXPECT_EQ(g_delivered.load(), kBurst);
  const std::string said = testing::internal::GetCapturedStdout();
  EXPECT_NE(said.find("Stop running udp rcv task...\n"), std::string::npos) << said;
}

}  // namespace
