// Raw reassembly as the read thread drives it, one datagram at a time:
// no message is delivered twice, also after a broken message reset its
// exchange, and a message that never ends cannot grow without bound.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/udp_raw_api_imp.h"
#include "raw_test_support.h"
#include "support/session_peer.h"

namespace zavo {
namespace rawtest {
namespace {

std::vector<uint64_t> g_seqs;
std::vector<size_t> g_lengths;

void record(void*, const ZAVO_MSG* m) {
  const ZAVO_RawDataRef* ref = static_cast<const ZAVO_RawDataRef*>(m->MsgData);
  g_seqs.push_back(m->SeqNum);
  g_lengths.push_back(ref->Length);
}

// A session object that never opens: the datagram step runs on the test's
// thread and delivers to `record`.
class Probe : public UdpRawApiImp {
 public:
  Probe() {
    data_handler_ = &record;
    EXPECT_TRUE(SessionPeer::EnableMarkets(this, "SH;SZ"));
  }
  void Feed(const std::string& d) { SessionPeer::ConsumeDatagram(this, d.data(), d.size()); }
};

TEST(RawReassembly, StaleSequenceNeverDeliveredAgainAfterReset) {
  g_seqs.clear();
  g_lengths.clear();
  Probe* p = new Probe();
  p->Feed(raw_packet(1, 100, 0, 0, "whole"));
  p->Feed(raw_packet(1, 101, 0, 1, "aa"));
  p->Feed(raw_packet(1, 101, 2, 0, "cc"));     // fragment 1 lost: the exchange resets
  p->Feed(raw_packet(1, 100, 0, 0, "whole"));  // an old message repeated
  p->Feed(raw_packet(1, 99, 0, 0, "older"));
  p->Feed(raw_packet(1, 102, 0, 0, "next"));
  // The other exchange keeps its own order.
  p->Feed(raw_packet(2, 5, 0, 0, "sz"));
  p->Feed(raw_packet(2, 5, 0, 0, "sz"));
  EXPECT_EQ(g_seqs, (std::vector<uint64_t>{100, 102, 5}));
  p->Release();
}

TEST(RawReassembly, EndlessMessageDroppedAtTheCap) {
  g_seqs.clear();
  g_lengths.clear();
  LogCatcher& logs = LogCatcher::Get();
  logs.Clear();
  Probe* p = new Probe();
  // 6 MiB of one message whose fragments all say more is coming.
  const std::string chunk = payload_of(60000, 'x');
  uint16_t frag = 0;
  for (; frag < 105; ++frag) p->Feed(raw_packet(1, 7, frag, 1, chunk));
  p->Feed(raw_packet(1, 7, frag, 0, "end"));
  EXPECT_TRUE(g_seqs.empty()) << "delivered " << (g_lengths.empty() ? 0 : g_lengths[0]) << " bytes";
  EXPECT_EQ(logs.Count("too long"), 1u);
  // The exchange works on after the drop.
  p->Feed(raw_packet(1, 8, 0, 1, "ab"));
  p->Feed(raw_packet(1, 8, 1, 0, "cd"));
  ASSERT_EQ(g_seqs, (std::vector<uint64_t>{8}));
  EXPECT_EQ(g_lengths[0], 4u);
  p->Release();
}

}  // namespace
}  // namespace rawtest
}  // namespace zavo
