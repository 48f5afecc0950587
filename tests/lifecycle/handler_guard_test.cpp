// Handlers that throw C++ exceptions, on every path a handler is called
// from: live data (struct and raw), rebuild replies (struct and raw) and
// system messages. The session's threads survive, delivery goes on with
// the next message, and the log says so once per interval.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "api/udp_api_imp.h"
#include "net/udp_multicast_sender.h"
#include "raw_test_support.h"
#include "support/session_peer.h"

namespace zavo {
namespace rawtest {
namespace {

// Every call counted by kind, then an exception.
class Throwing {
 public:
  void Reset() {
    std::lock_guard<std::mutex> l(mu_);
    kinds_.clear();
  }
  void Saw(uint32_t kind) {
    {
      std::lock_guard<std::mutex> l(mu_);
      kinds_.push_back(kind);
    }
    cv_.notify_all();
  }
  size_t Count(uint32_t kind) {
    std::lock_guard<std::mutex> l(mu_);
    size_t n = 0;
    for (uint32_t k : kinds_) n += k == kind;
    return n;
  }
  bool Wait(uint32_t kind, size_t n) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(kWaitMs), [&] {
      size_t c = 0;
      for (uint32_t k : kinds_) c += k == kind;
      return c >= n;
    });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<uint32_t> kinds_;
};

Throwing& data_calls() {
  static Throwing t;
  return t;
}
Throwing& system_calls() {
  static Throwing t;
  return t;
}
Throwing& rebuild_calls() {
  static Throwing t;
  return t;
}

void throwing_data(void*, const ZAVO_MSG* m) {
  data_calls().Saw(m->MsgType);
  throw std::runtime_error("data boom");
}
void throwing_system(void*, const ZAVO_MSG* m) {
  system_calls().Saw(m->MsgType);
  throw std::runtime_error("system boom");
}
void throwing_rebuild(void*, const ZAVO_MSG* m) {
  rebuild_calls().Saw(m->MsgType);
  throw 42;  // not even a std::exception
}

void reset_all() {
  data_calls().Reset();
  system_calls().Reset();
  rebuild_calls().Reset();
  LogCatcher::Get().Clear();
}

ZAVO_OpenSetting struct_settings(int port, uint16_t mcast_port) {
  const ZAVO_RawOpenSetting r = raw_settings(port, "SH;SZ", mcast_port, "239.255.9.3");
  ZAVO_OpenSetting s = struct_settings_like(r);
  s.DataHandler = throwing_data;
  s.SystemHandler = throwing_system;
  return s;
}

SecuritySnapShotField snapshot_field(const char* code) {
  SecuritySnapShotField f;
  f.Code.Set(code);
  f.ExchangeID = 1;
  f.TimeStamp = 20240102093000000UL;
  f.MatchPx = 1000;
  return f;
}

// One packet of three snapshots, as the feed or a retransmission sends it.
std::string snapshots_packet(unsigned packet_type) {
  StructPacket p;
  p.ResetForSend();
  EXPECT_TRUE(p.AddField(snapshot_field("600000")));
  EXPECT_TRUE(p.AddField(snapshot_field("600001")));
  EXPECT_TRUE(p.AddField(snapshot_field("600002")));
  p.PacketType = packet_type;
  EXPECT_TRUE(p.Serialize());
  const Slice b = p.Bytes();
  return std::string(b.data, b.size);
}

TEST(HandlerGuard, StructLiveDataGoesOnPastAThrowingHandler) {
  reset_all();
  UdpStructApiImp* api = new UdpStructApiImp();
  ZAVO_OpenSetting s = struct_settings(1, 1);
  s.SubscribedMarkets = "SH;SZ";
  ASSERT_EQ(SessionPeer::SetDataPath(api, s), ZAVO_SUCCESS);
  const std::string d = snapshots_packet(0);
  SessionPeer::ProcessDatagram(api, d.data(), d.size());
  SessionPeer::ProcessDatagram(api, d.data(), d.size());
  // Every record reached the handler, each one threw; the cache has all.
  EXPECT_EQ(data_calls().Count(ZAVO_MSG_SECURITY_SNAPSHOT), 6u);
  ZAVO_SecuritySnapShot* snaps = nullptr;
  int n = 0;
  ASSERT_EQ(api->GetLastMarketData("SH", &snaps, &n), ZAVO_SUCCESS);
  ZAVO_Free(snaps);
  EXPECT_EQ(n, 3);
  EXPECT_FALSE(api->InHandler());
  // Six exceptions, one line.
  LogCatcher& logs = LogCatcher::Get();
  EXPECT_EQ(logs.Count("[UdpStructApiImp] DataHandler threw an exception on message kind 101: "
                       "data boom"),
            1u);
  EXPECT_EQ(logs.Count("threw an exception"), 1u);
  api->Release();
}

TEST(HandlerGuard, StructSystemAndRebuildHandlersMayThrow) {
  reset_all();
  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);
  ZAVO_OpenSetting s = struct_settings(port, 17411);
  ZAVO_ERROR err = ZAVO_ERR_BUSY;
  // Connect and login reach a handler that throws: the open goes on.
  ZAVO_HANDLE h = ZAVO_Open(&s, &err);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(err, ZAVO_SUCCESS);
  EXPECT_EQ(system_calls().Count(ZAVO_MSG_CONNECT), 1u);
  EXPECT_EQ(system_calls().Count(ZAVO_MSG_LOGIN), 1u);

  ASSERT_EQ(ZAVO_RebuildStructData(h, 1, 10, throwing_rebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(srv.WaitRequests(1));
  srv.Send(snapshots_packet(StructPacket::kRebuildPacketType));
  srv.Send(snapshots_packet(StructPacket::kRebuildPacketType));
  ASSERT_TRUE(rebuild_calls().Wait(ZAVO_MSG_SECURITY_SNAPSHOT, 6));
  srv.Send(end_record(0));
  ASSERT_TRUE(system_calls().Wait(ZAVO_MSG_REBUILD_FINISH, 1));
  // The loop thread is still there: the next request is taken and ended.
  ASSERT_EQ(ZAVO_RebuildStructData(h, 20, 30, throwing_rebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(srv.WaitRequests(2));
  srv.Send(end_record(0));
  ASSERT_TRUE(system_calls().Wait(ZAVO_MSG_REBUILD_FINISH, 2));

  LogCatcher& logs = LogCatcher::Get();
  EXPECT_EQ(logs.Count("[UdpStructApiImp] SystemHandler threw an exception on message kind 1: "
                       "system boom"),
            1u);
  EXPECT_EQ(logs.Count("[UdpStructApiImp] RebuildHandler threw an exception on message kind 101: "
                       "an exception that is not a std::exception"),
            1u);
  EXPECT_EQ(logs.Count("threw an exception"), 2u);
  ZAVO_Close(h);
  ZAVO_Wait(h);
}

TEST(HandlerGuard, RawDataRebuildAndSystemHandlersMayThrow) {
  reset_all();
  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);
  ZAVO_RawOpenSetting s = raw_settings(port, "SH", 17413, "239.255.9.4");
  s.DataHandler = throwing_data;
  s.SystemHandler = throwing_system;
  ZAVO_ERROR err = ZAVO_ERR_BUSY;
  ZAVO_HANDLE h = ZAVO_OpenRaw(&s, &err);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(err, ZAVO_SUCCESS);

  UdpMulticastSender2 feed;
  ASSERT_EQ(feed.Open("239.255.9.4", 17413, "127.0.0.1"), 0);
  for (uint64_t seq = 1; seq <= 3; ++seq) {
    const std::string d = raw_packet(1, seq, 0, 0, payload_of(20, 'a'));
    ASSERT_TRUE(feed.Write(Slice(d.data(), d.size())));
  }
  ASSERT_TRUE(data_calls().Wait(ZAVO_MSG_RAW_DATA, 3));

  ASSERT_EQ(ZAVO_RebuildRawData(h, '1', 100, 105, throwing_rebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(srv.WaitRequests(1));
  srv.Send(raw_packet(1, 100, 0, 0, "first") + raw_packet(1, 101, 0, 0, "second"));
  ASSERT_TRUE(rebuild_calls().Wait(ZAVO_MSG_RAW_DATA, 2));
  srv.Send(end_record(0));
  ASSERT_TRUE(system_calls().Wait(ZAVO_MSG_REBUILD_FINISH, 1));

  LogCatcher& logs = LogCatcher::Get();
  EXPECT_EQ(logs.Count("[RawApiImp] DataHandler threw an exception on message kind 200: "
                       "data boom"),
            1u);
  EXPECT_EQ(logs.Count("[RawApiImp] RebuildHandler threw an exception on message kind 200: "
                       "an exception that is not a std::exception"),
            1u);
  EXPECT_EQ(logs.Count("[RawApiImp] SystemHandler threw an exception on message kind 1: "
                       "system boom"),
            1u);
  ZAVO_Close(h);
  ZAVO_Wait(h);
}

}  // namespace
}  // namespace rawtest
}  // namespace zavo
