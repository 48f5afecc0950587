// The day a struct session works in, set by heartbeats from the feed and
// the control connection: the first one of a session only sets it, a later
// one of another day empties the snapshots and the code tables. Driven
// without a network: control packets and datagrams are handed to the
// session object directly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "api/udp_api_imp.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"
#include "support/session_peer.h"

namespace zavo {
namespace {

void ignore(void*, const ZAVO_MSG*) {}

template <class T>
StructPacket packet_of(const T& field) {
  StructPacket p = StructPacket::ForRecord<T>();
  EXPECT_TRUE(p.AddField(field));
  EXPECT_TRUE(p.Serialize());
  return p;
}

StructPacket security_info(const char* code, unsigned char exchange) {
  SecurityBaseInfoField f;
  f.Code.Set(code);
  f.ExchangeID = exchange;
  f.Value = 1;
  f.UpdateNo = 3;
  f.Text.Set("stock");
  return packet_of(f);
}

StructPacket heartbeat(uint32_t date) {
  HeartBeatField h;
  h.ServerTime = static_cast<uint64_t>(date) * 10000000ull + 930000ull * 10;
  return packet_of(h);
}

StructPacket snapshot(const char* code, unsigned char exchange) {
  SecuritySnapShotField f;
  f.Code.Set(code);
  f.ExchangeID = exchange;
  f.TimeStamp = 20240102093000000UL;
  f.MatchPx = 1000;
  return packet_of(f);
}

class DayChange : public ::testing::Test {
 protected:
  void SetUp() override {
    api_ = new UdpStructApiImp();
    ZAVO_OpenSetting s;
    std::memset(&s, 0, sizeof(s));
    s.DataHandler = ignore;
    s.SystemHandler = ignore;
    s.SubscribedMarkets = "SH;SZ";
    s.CpuID = -1;
    ASSERT_EQ(SessionPeer::SetDataPath(api_, s), ZAVO_SUCCESS);
  }
  void TearDown() override { api_->Release(); }

  // As the control connection hands it over: parsed from the stream.
  void control(const StructPacket& p) {
    const Slice b = p.Bytes();
    StructPacket in;
    ASSERT_TRUE(in.ParseFrom(b.data, b.size).complete);
    SessionPeer::Control(api_).OnPacket(&in);
  }
  void feed(const StructPacket& p) {
    const Slice b = p.Bytes();
    SessionPeer::ProcessDatagram(api_, b.data, b.size);
  }
  unsigned codes(const char* market) {
    ZAVO_CODEINFO* table = nullptr;
    unsigned count = 0;
    EXPECT_EQ(api_->GetCodeTable(market, &table, &count), ZAVO_SUCCESS);
    std::free(table);
    return count;
  }
  int snapshots(const char* market) {
    ZAVO_SecuritySnapShot* data = nullptr;
    int count = 0;
    EXPECT_EQ(api_->GetLastMarketData(market, &data, &count), ZAVO_SUCCESS);
    std::free(data);
    return count;
  }

  UdpStructApiImp* api_ = nullptr;
};

TEST_F(DayChange, FirstHeartbeatSetsTheDayLaterDaysClear) {
  // A server that sends the base information before its first heartbeat,
  // and a feed whose snapshots come before it too.
  control(security_info("600000", 1));
  control(security_info("000001", 2));
  feed(snapshot("600000", 1));
  feed(snapshot("000001", 2));
  ASSERT_EQ(codes("SH"), 1u);
  ASSERT_EQ(snapshots("SZ"), 1);

  // The first heartbeat, on the control connection: nothing is cleared.
  control(heartbeat(20240102));
  EXPECT_EQ(codes("SH"), 1u);
  EXPECT_EQ(codes("SZ"), 1u);
  EXPECT_EQ(snapshots("SH"), 1);
  EXPECT_EQ(snapshots("SZ"), 1);
  // The same day again, now on the feed: still nothing.
  feed(heartbeat(20240102));
  EXPECT_EQ(codes("SH"), 1u);
  EXPECT_EQ(snapshots("SH"), 1);

  // Another day empties both stores, from either path.
  feed(heartbeat(20240103));
  EXPECT_EQ(codes("SH"), 0u);
  EXPECT_EQ(codes("SZ"), 0u);
  EXPECT_EQ(snapshots("SH"), 0);
  EXPECT_EQ(snapshots("SZ"), 0);

  control(security_info("600000", 1));
  feed(snapshot("600000", 1));
  control(heartbeat(20240103));
  EXPECT_EQ(codes("SH"), 1u);
  EXPECT_EQ(snapshots("SH"), 1);
  control(heartbeat(20240104));
  EXPECT_EQ(codes("SH"), 0u);
  EXPECT_EQ(snapshots("SH"), 0);
}

}  // namespace
}  // namespace zavo
