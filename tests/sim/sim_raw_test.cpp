// The simulator's raw feed: fragments on multicast, faults, and replays on
// the control connection, read with plain sockets at the protocol offsets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "sim_server.h"
#include "sim_wire.h"

namespace zavo {
namespace sim {
namespace {

const char* const kGroup = "239.255.77.2";

uint64_t be(const char* p, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

struct Frag {
  uint8_t exchange;
  uint64_t seq;
  uint16_t no;
  uint8_t more;
  std::string payload;
};

bool parse_raw(const std::string& d, Frag* f) {
  if (d.size() < kRawHeaderSize || be(d.data(), 2) != 0xF7F7) return false;
  f->exchange = static_cast<uint8_t>(d[6]);
  f->seq = be(d.data() + 7, 8);
  f->no = static_cast<uint16_t>(be(d.data() + 15, 2));
  f->more = static_cast<uint8_t>(d[17]);
  size_t len = be(d.data() + 18, 2);
  if (d.size() != kRawHeaderSize + len) return false;
  f->payload = d.substr(kRawHeaderSize);
  return true;
}

int udp_socket(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int rcvbuf = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  timeval tv = {2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = inet_addr(kGroup);
  ip_mreq m{};
  m.imr_multiaddr.s_addr = inet_addr(kGroup);
  m.imr_interface.s_addr = inet_addr("127.0.0.1");
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Receives `n` fragments (two-second timeout per datagram).
std::vector<Frag> recv_frags(int fd, size_t n) {
  std::vector<Frag> out;
  char buf[65536];
  for (size_t i = 0; i < n; ++i) {
    ssize_t k = recv(fd, buf, sizeof buf, 0);
    if (k <= 0) break;
    Frag f;
    EXPECT_TRUE(parse_raw(std::string(buf, static_cast<size_t>(k)), &f));
    out.push_back(f);
  }
  return out;
}

SimConfig raw_config(int port) {
  SimConfig c;
  c.listen_port = 0;
  c.group = kGroup;
  c.port = port;
  c.raw_port = port + 1;
  c.feed_mode = FeedMode::kBoth;
  c.rate = 0;
  c.raw_rate = 0;
  c.heartbeat_ms = 0;
  c.max_datagram = 1020;  // 1000 payload bytes per fragment
  return c;
}

TEST(SimRaw, FragmentsPerExchangeGapFreeAndFaults) {
  SimConfig cfg = raw_config(17031);
  cfg.raw_min_len = 24;
  cfg.raw_max_len = 4000;
  SimServer server(cfg);
  ASSERT_EQ(server.Start(), 0);
  int fd = udp_socket(cfg.raw_port);
  ASSERT_GE(fd, 0);

  // 60 SH and 20 SZ messages: reassembled in order, each exchange numbered
  // 1, 2, 3, ... and every fragment of a message but the last fits and says
  // more follow.
  server.PublishRawNow(1, 60);
  server.PublishRawNow(2, 20);
  ASSERT_TRUE(server.WaitFor(
      [](const SimCounters& k) { return k.raw_last_seq[0] == 60 && k.raw_last_seq[1] == 20; },
      5000));
  SimCounters k = server.Counters();
  std::vector<Frag> frags = recv_frags(fd, k.raw_fragments);
  ASSERT_EQ(frags.size(), k.raw_fragments);
  std::map<int, std::vector<std::string>> msgs;
  std::string cur;
  uint16_t expect_no = 0;
  size_t multi = 0;
  for (const Frag& f : frags) {
    ASSERT_EQ(f.no, expect_no);
    ASSERT_LE(f.payload.size(), 1000u);
    cur += f.payload;
    if (f.more) {
      ASSERT_EQ(f.payload.size(), 1000u);
      ++expect_no;
      continue;
    }
    if (f.no > 0) ++multi;
    std::vector<std::string>& v = msgs[f.exchange];
    ASSERT_EQ(f.seq, v.size() + 1);
    EXPECT_EQ(be(cur.data() + 2, 2), cur.size());  // the message's own length
    EXPECT_EQ(be(cur.data() + 6, 8), f.seq);
    v.push_back(cur);
    cur.clear();
    expect_no = 0;
  }
  EXPECT_EQ(msgs[1].size(), 60u);
  EXPECT_EQ(msgs[2].size(), 20u);
  EXPECT_GT(multi, 0u);  // some messages needed several fragments

  // Faults, on messages long enough for three fragments.
  SimConfig lcfg = raw_config(17041);
  lcfg.raw_min_len = 2500;
  lcfg.raw_max_len = 2900;
  SimServer lserver(lcfg);
  ASSERT_EQ(lserver.Start(), 0);
  int lfd = udp_socket(lcfg.raw_port);
  ASSERT_GE(lfd, 0);
  auto numbers = [&](RawFault fault) {
    lserver.InjectRawFault(fault, 1);
    lserver.PublishRawNow(1, 1);
    std::vector<uint16_t> nos;
    for (const Frag& f : recv_frags(lfd, fault == RawFault::kLoseFragment     ? 2
                                         : fault == RawFault::kRepeatFragment ? 4
                                                                              : 3)) {
      nos.push_back(f.no);
    }
    return nos;
  };
  EXPECT_EQ(numbers(RawFault::kLoseFragment), (std::vector<uint16_t>{0, 2}));
  EXPECT_EQ(numbers(RawFault::kRepeatFragment), (std::vector<uint16_t>{0, 0, 1, 2}));
  EXPECT_EQ(numbers(RawFault::kReorderFragments), (std::vector<uint16_t>{0, 2, 1}));
  EXPECT_EQ(numbers(RawFault::kRepeatFragment), (std::vector<uint16_t>{0, 0, 1, 2}));
  close(lfd);

  // Replay on the control connection: log in with a plain socket, ask for
  // SH messages [10, 14) with a retransmission field in a type-0 packet of
  // scope 1; each comes whole in one raw packet, equal to what the feed
  // carried, then the end record (status 0).
  int tcp = socket(AF_INET, SOCK_STREAM, 0);
  timeval tv = {5, 0};
  setsockopt(tcp, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(server.ListenPort()));
  a.sin_addr.s_addr = inet_addr("127.0.0.1");
  ASSERT_EQ(connect(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  PacketBuilder b;
  b.Begin(0, NowStamp());
  b.BeginField(kFidReqUserLogin, kSizeReqUserLogin, 0);
  b.writer().Zeros(kSizeReqUserLogin);
  b.EndField();
  b.BeginField(kFidReqRetransmit, kSizeRetransmit, 0);
  WriteRetransmit(&b.writer(), RetransmitRange{10, 14, 1});
  b.EndField();
  const char* p = b.Finish();
  ASSERT_EQ(send(tcp, p, b.size(), 0), static_cast<ssize_t>(b.size()));

  std::string stream;
  std::vector<Frag> replay;
  bool ended = false;
  for (int i = 0; i < 1000 && !ended; ++i) {
    char buf[65536];
    ssize_t n = recv(tcp, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    stream.append(buf, static_cast<size_t>(n));
    for (;;) {
      if (stream.size() < 16) break;
      uint64_t magic = be(stream.data(), 2);
      if (magic == 0x0707) {
        size_t len = 16 + be(stream.data() + 2, 2);
        if (stream.size() < len) break;
        // Login reply and base information pass; the end record ends it.
        if (be(stream.data() + 16, 2) == kFidRspRetransmit) {
          EXPECT_EQ(be(stream.data() + 4, 4), 0u);
          const char* r = stream.data() + 28;
          EXPECT_EQ(be(r, 8), 10u);
          EXPECT_EQ(be(r + 8, 8), 14u);
          EXPECT_EQ(be(r + 16, 4), 0u);
          ended = true;
        }
        stream.erase(0, len);
      } else {
        ASSERT_EQ(magic, 0xF7F7u);
        if (stream.size() < 20) break;
        size_t len = 20 + be(stream.data() + 18, 2);
        if (stream.size() < len) break;
        Frag f;
        ASSERT_TRUE(parse_raw(stream.substr(0, len), &f));
        replay.push_back(f);
        stream.erase(0, len);
      }
    }
  }
  close(tcp);
  close(fd);
  ASSERT_TRUE(ended);
  ASSERT_EQ(replay.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(replay[i].seq, 10 + i);
    EXPECT_EQ(replay[i].exchange, 1u);
    EXPECT_EQ(replay[i].no, 0u);
    EXPECT_EQ(replay[i].more, 0u);
    EXPECT_EQ(replay[i].payload, msgs[1][9 + i]);
  }
}

}  // namespace
}  // namespace sim
}  // namespace zavo
