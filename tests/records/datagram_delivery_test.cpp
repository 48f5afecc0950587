// What the processing step shares across the records of one datagram: the
// moment it was taken up (LocalDelay of every snapshot in it, delivered and
// cached alike) and the thread's in-handler mark.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "api/api_imp.h"
#include "api/udp_api_imp.h"
#include "proto/struct_packet.h"
#include "support/session_peer.h"

namespace zavo {
namespace {

struct Delivered {
  std::vector<ZAVO_SecuritySnapShot> snapshots;
  std::vector<bool> in_handler;
  UdpStructApiImp* api = nullptr;
  bool stall = false;  // make the wall clock move on within every call
  bool throw_once = false;
};
Delivered* g_out = nullptr;

int64_t realtime_ns() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void on_data(void* handle, const ZAVO_MSG* msg) {
  Delivered& out = *g_out;
  out.in_handler.push_back(static_cast<ApiImp*>(handle)->InHandler());
  if (msg->MsgType == ZAVO_MSG_SECURITY_SNAPSHOT) {
    out.snapshots.push_back(*static_cast<const ZAVO_SecuritySnapShot*>(msg->MsgData));
  }
  if (out.stall) {
    // At least 20 us of wall clock between two records: a reading taken
    // per record would show in their LocalDelay. Bounded by the count.
    const int64_t until = realtime_ns() + 20000;
    for (int i = 0; i < 10000000 && realtime_ns() < until; ++i) {
    }
  }
  if (out.throw_once) {
    out.throw_once = false;
    throw std::runtime_error("handler failure");
  }
}
void on_system(void*, const ZAVO_MSG*) {}

std::vector<char> snapshot_bytes(const char* code, long stamp_sec, long stamp_nsec) {
  SecuritySnapShotField f;
  f.Code.Set(code);
  f.ExchangeID = 1;
  f.TimeStamp = 20240102093000000UL;
  f.MatchPx = 1000;
  f.DelayTrackSec = stamp_sec;
  f.DelayTrackNsec = stamp_nsec;
  std::vector<char> out(SecuritySnapShotField::Size());
  EXPECT_TRUE(f.Encode(out.data(), SecuritySnapShotField::Size()));
  return out;
}

// One datagram of the given snapshots, sequence numbers from 1.
std::vector<char> datagram(const std::vector<std::vector<char>>& records) {
  std::vector<char> body;
  uint64_t seq = 0;
  for (const std::vector<char>& r : records) {
    char header[StructPacket::kFieldHeaderSize];
    StoreBigEndian<unsigned short>(header, SecuritySnapShotField::kFieldId);
    StoreBigEndian<unsigned short>(header + 2, static_cast<unsigned short>(r.size()));
    StoreBigEndian<unsigned long>(header + 4, ++seq);
    const size_t at = body.size();
    body.resize(at + sizeof(header) + r.size());
    std::memcpy(body.data() + at, header, sizeof(header));
    std::memcpy(body.data() + at + sizeof(header), r.data(), r.size());
  }
  std::vector<char> out(StructPacket::kHeaderSize + body.size());
  StoreBigEndian<unsigned short>(out.data(), StructPacket::kMagic);
  StoreBigEndian<unsigned short>(out.data() + 2, static_cast<unsigned short>(body.size()));
  StoreBigEndian<unsigned int>(out.data() + 4, 0);
  StoreBigEndian<unsigned long>(out.data() + 8, 20240102093000500UL);
  std::memcpy(out.data() + StructPacket::kHeaderSize, body.data(), body.size());
  return out;
}

class DatagramDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    g_out = &out_;
    api_ = new UdpStructApiImp();
    out_.api = api_;
    ZAVO_OpenSetting setting;
    std::memset(&setting, 0, sizeof(setting));
    setting.DataHandler = on_data;
    setting.SystemHandler = on_system;
    setting.SubscribedMarkets = "SH;SZ";
    setting.CpuID = -1;
    ASSERT_EQ(SessionPeer::SetDataPath(api_, setting), ZAVO_SUCCESS);
  }
  void TearDown() override {
    api_->Release();
    g_out = nullptr;
  }

  // LocalDelay of every code in the cache.
  std::vector<int64_t> cached_delays() {
    ZAVO_SecuritySnapShot* data = nullptr;
    int count = 0;
    EXPECT_EQ(api_->GetLastMarketData("SH", &data, &count), ZAVO_SUCCESS);
    std::vector<int64_t> out;
    for (int i = 0; i < count; ++i) out.push_back(data[i].LocalDelay);
    std::free(data);
    return out;
  }

  Delivered out_;
  UdpStructApiImp* api_ = nullptr;
};

TEST_F(DatagramDelivery, EverySnapshotOfADatagramIsMeasuredFromOneReading) {
  // Three records with the same upstream stamp, one stamped 500 us later.
  const std::vector<char> d = datagram(
      {snapshot_bytes("600000", 1704159000, 0), snapshot_bytes("600001", 1704159000, 0),
       snapshot_bytes("600002", 1704159000, 500000), snapshot_bytes("600003", 1704159000, 0)});

  // Taken up at a known moment: the delays follow from it exactly.
  timespec taken_at;
  taken_at.tv_sec = 1704159001;
  taken_at.tv_nsec = 250000000;
  SessionPeer::ProcessDatagram(api_, d.data(), d.size(), taken_at);
  ASSERT_EQ(out_.snapshots.size(), 4u);
  EXPECT_EQ(out_.snapshots[0].LocalDelay, 1250000);
  EXPECT_EQ(out_.snapshots[1].LocalDelay, 1250000);
  EXPECT_EQ(out_.snapshots[2].LocalDelay, 1249500);
  EXPECT_EQ(out_.snapshots[3].LocalDelay, 1250000);
  EXPECT_EQ(cached_delays(), (std::vector<int64_t>{1250000, 1250000, 1249500, 1250000}));

  // Read from the clock, while every handler call lets 20 us go by: still
  // one value for the whole datagram, in the handler and in the cache.
  out_.snapshots.clear();
  out_.stall = true;
  const int64_t before_us = realtime_ns() / 1000 - 1704159000LL * 1000000;
  SessionPeer::ProcessDatagram(api_, d.data(), d.size());
  const int64_t after_us = realtime_ns() / 1000 - 1704159000LL * 1000000;
  ASSERT_EQ(out_.snapshots.size(), 4u);
  const int64_t delay = out_.snapshots[0].LocalDelay;
  EXPECT_GE(delay, before_us);
  EXPECT_LE(delay, after_us);
  EXPECT_EQ(out_.snapshots[1].LocalDelay, delay);
  EXPECT_EQ(out_.snapshots[2].LocalDelay, delay - 500);
  EXPECT_EQ(out_.snapshots[3].LocalDelay, delay);
  EXPECT_EQ(cached_delays(), (std::vector<int64_t>{delay, delay, delay - 500, delay}));

  // The next datagram takes a reading of its own.
  out_.snapshots.clear();
  out_.stall = false;
  SessionPeer::ProcessDatagram(api_, d.data(), d.size());
  ASSERT_EQ(out_.snapshots.size(), 4u);
  EXPECT_GT(out_.snapshots[0].LocalDelay, delay);
}

TEST_F(DatagramDelivery, TheThreadIsInsideAHandlerOnlyWhileTheDatagramIsProcessed) {
  const std::vector<char> d =
      datagram({snapshot_bytes("600000", 1704159000, 0), snapshot_bytes("600001", 1704159000, 0)});
  EXPECT_FALSE(api_->InHandler());
  SessionPeer::ProcessDatagram(api_, d.data(), d.size());
  EXPECT_EQ(out_.in_handler, (std::vector<bool>{true, true}));
  EXPECT_FALSE(api_->InHandler());

  // A handler that throws loses its record, not the rest of the datagram;
  // the mark is taken down at the end all the same.
  out_.in_handler.clear();
  out_.throw_once = true;
  SessionPeer::ProcessDatagram(api_, d.data(), d.size());
  EXPECT_EQ(out_.in_handler, (std::vector<bool>{true, true}));
  EXPECT_FALSE(api_->InHandler());

  // Inside another session's handler: that mark is back afterwards.
  UdpStructApiImp* other = new UdpStructApiImp();
  {
    HandlerMark outer(other);
    out_.in_handler.clear();
    SessionPeer::ProcessDatagram(api_, d.data(), d.size());
    EXPECT_EQ(out_.in_handler, (std::vector<bool>{true, true}));
    EXPECT_TRUE(other->InHandler());
    EXPECT_FALSE(api_->InHandler());
  }
  EXPECT_FALSE(other->InHandler());
  other->Release();
}

}  // namespace
}  // namespace zavo
