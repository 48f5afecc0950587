// The control connection of a raw session: opening, rebuild requests and
// their replies on a stream that mixes struct and raw packets, framing of
// partial reads, and reconnection.
#include <gtest/gtest.h>

#include <chrono>

#include "api/api_imp.h"
#include "api/raw_rebuild_session.h"
#include "api/udp_raw_api_imp.h"
#include "net/udp_multicast_sender.h"
#include "raw_test_support.h"
#include "util/log_throttle.h"
#include "support/session_peer.h"

namespace zavo {
namespace rawtest {
namespace {

const char* const kGroup = "239.255.88.2";
constexpr uint16_t kPort = 16711;

UdpRawApiImp* as_raw_imp(ZAVO_HANDLE h) {
  return dynamic_cast<UdpRawApiImp*>(static_cast<ApiImp*>(h));
}

template <class F>
void run_in_loop(EvLoop* loop, F&& fn) {
  std::promise<void> done;
  loop->CallInLoop([&] {
    fn();
    done.set_value();
  });
  done.get_future().wait();
}

std::vector<uint32_t> kinds(const std::vector<SysMsg>& v) {
  std::vector<uint32_t> k;
  for (const SysMsg& s : v) k.push_back(s.kind);
  return k;
}

TEST(RawControl, OpenFailures) {
  LogCatcher& logs = LogCatcher::Get();
  logs.Clear();
  rec().Reset();
  ZAVO_ERROR err = ZAVO_SUCCESS;
  EXPECT_EQ(ZAVO_OpenRaw(nullptr, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_INVALID);

  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);

  ZAVO_RawOpenSetting st = raw_settings(port, "SH", kPort, kGroup);
  st.DataHandler = nullptr;
  EXPECT_EQ(ZAVO_OpenRaw(&st, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_INVALID);
  EXPECT_TRUE(logs.Contains("Open DataHandler Error."));
  st = raw_settings(port, "SH", kPort, kGroup);
  st.SystemHandler = nullptr;
  EXPECT_EQ(ZAVO_OpenRaw(&st, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_INVALID);
  EXPECT_TRUE(logs.Contains("Open SystemHandler Error."));
  for (const char* markets : {static_cast<const char*>(nullptr), "", ";;", "SH;XX", "SHZ"}) {
    st = raw_settings(port, markets, kPort, kGroup);
    err = ZAVO_SUCCESS;
    EXPECT_EQ(ZAVO_OpenRaw(&st, &err), nullptr) << (markets ? markets : "(null)");
    EXPECT_EQ(err, ZAVO_ERR_INVALID) << (markets ? markets : "(null)");
  }
  EXPECT_EQ(logs.Count("Open SubscribedMarkets Error."), 5u);

  // Refused logins: the system handler sees the server's number and text;
  // a number whose low 16 bits are zero is still a refusal.
  srv.SetAnswer(LoginAnswer::kRefuse);
  st = raw_settings(port, "SH", kPort, kGroup);
  EXPECT_EQ(ZAVO_OpenRaw(&st, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
  {
    std::vector<SysMsg> sys = rec().sys();
    ASSERT_GE(sys.size(), 2u);
    EXPECT_EQ(sys[0].kind, static_cast<uint32_t>(ZAVO_MSG_CONNECT));
    EXPECT_EQ(sys[1].kind, static_cast<uint32_t>(ZAVO_MSG_LOGIN));
    EXPECT_EQ(sys[1].login.ErrorID, 1003);
    EXPECT_STREQ(sys[1].login.ErrorMsg, "user or password error");
    EXPECT_EQ(sys[1].login.ItemCount, 0);
  }
  srv.SetAnswer(LoginAnswer::kRefuseHighBits);
  EXPECT_EQ(ZAVO_OpenRaw(&st, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);

  // A group address that cannot be joined.
  srv.SetAnswer(LoginAnswer::kAccept);
  st = raw_settings(port, "SH", kPort, "not.a.group");
  EXPECT_EQ(ZAVO_OpenRaw(&st, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
  EXPECT_TRUE(logs.Contains("Open UDP Multicast Error."));

  // A server that never answers: Open gives up within its bound.
  srv.SetAnswer(LoginAnswer::kSilent);
  SessionPeer::SetLoginTimeout(400);
  st = raw_settings(port, "SH", kPort, kGroup);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(ZAVO_OpenRaw(&st, &err), nullptr);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  SessionPeer::SetLoginTimeout(0);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
  EXPECT_GE(ms, 350);
  EXPECT_LT(ms, 5000);
  EXPECT_TRUE(logs.Contains("Open Timeout"));

  // Nothing listening.
  int closed_port = 0;
  {
    FakeServer gone;
    closed_port = gone.Start();
    ASSERT_GT(closed_port, 0);
  }
  rec().Reset();
  st = raw_settings(closed_port, "SH", kPort, kGroup);
  EXPECT_EQ(ZAVO_OpenRaw(&st, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
  // The disconnect, then the explanation of the failed open, last.
  EXPECT_EQ(kinds(rec().sys()), (std::vector<uint32_t>{ZAVO_MSG_DISCONNECT, ZAVO_MSG_OPEN_FAILED}));
}

TEST(RawControl, RepeatedLinesAreHeldBackAndCounted) {
  LogThrottle throttle(1000);
  uint64_t held = 99;
  ASSERT_TRUE(throttle.Take(5000, &held));
  EXPECT_EQ(held, 0u);
  for (uint64_t t = 5001; t < 6000; t += 10) EXPECT_FALSE(throttle.Take(t, &held));
  // The next line, an interval after the last one, says how many were not
  // logged, and the count starts again.
  ASSERT_TRUE(throttle.Take(6000, &held));
  EXPECT_EQ(held, 100u);
  EXPECT_FALSE(throttle.Take(6999, &held));
  ASSERT_TRUE(throttle.Take(8000, &held));
  EXPECT_EQ(held, 1u);
}

TEST(RawControl, RebuildChecksAndReplayedPackets) {
  LogCatcher& logs = LogCatcher::Get();
  logs.Clear();
  rec().Reset();
  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);
  ZAVO_RawOpenSetting st = raw_settings(port, "SZ", kPort, kGroup);
  ZAVO_ERROR err = ZAVO_ERR_BUSY;
  ZAVO_HANDLE h = ZAVO_OpenRaw(&st, &err);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(err, ZAVO_SUCCESS);
  {
    // An accepted login shows "success" and the entries of the server's
    // text, as in struct mode.
    const std::vector<SysMsg> sys = rec().sys();
    ASSERT_EQ(kinds(sys), (std::vector<uint32_t>{ZAVO_MSG_CONNECT, ZAVO_MSG_LOGIN}));
    EXPECT_EQ(sys[1].login.ErrorID, 0);
    EXPECT_STREQ(sys[1].login.ErrorMsg, "success");
    ASSERT_EQ(sys[1].login.ItemCount, 2);
    EXPECT_STREQ(sys[1].login.Items[0], "SH");
    EXPECT_STREQ(sys[1].login.Items[1], "SZ");
  }

  EXPECT_EQ(ZAVO_RebuildRawData(h, '0', 100, 105, &on_rebuild), ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_RebuildRawData(h, '1', 100, 105, &on_rebuild), ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_RebuildRawData(h, '2', 100, 100, &on_rebuild), ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_RebuildRawData(h, '2', 100, 101, nullptr), ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_RebuildRawData(h, '2', 100, 105, &on_rebuild), ZAVO_SUCCESS);
  EXPECT_EQ(ZAVO_RebuildRawData(h, '2', 200, 300, &on_rebuild), ZAVO_ERR_BUSY);
  ASSERT_TRUE(srv.WaitRequests(1));
  {
    const RetransmitRequest q = srv.requests()[0];
    EXPECT_EQ(q.begin, 100u);
    EXPECT_EQ(q.end, 105u);
    EXPECT_EQ(q.scope, 2u);
    EXPECT_EQ(q.packet_type, 0u);
  }

  // One stream: replies inside and outside the range, of an unknown
  // exchange, a struct packet the session does not handle, stray bytes
  // (an even and an odd count), then the end record.
  const std::string p100 = payload_of(300, 'a'), p104 = payload_of(4000, 'b');
  srv.Send(raw_packet(2, 100, 0, 0, p100, 91500000) + heartbeat_packet(2021051209301500ULL) +
           "\x01\x02" + raw_packet(2, 104, 0, 0, p104, 91500004) + "\x05" +
           raw_packet(2, 103, 0, 0, "m103") + raw_packet(2, 105, 0, 0, "out") +
           raw_packet(2, 99, 0, 0, "out") + raw_packet(3, 101, 0, 0, "x3") + end_record(0));
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_REBUILD_FINISH, 1));
  {
    const std::vector<RawMsg> r = rec().replay();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].seq, 100u);
    EXPECT_EQ(r[0].bytes, p100);
    EXPECT_EQ(r[0].time, 91500000u);
    EXPECT_EQ(r[0].exchange, '2');
    EXPECT_EQ(r[0].size, 16u);
    EXPECT_EQ(r[0].connect_id, 77);
    EXPECT_EQ(r[1].seq, 104u);
    EXPECT_EQ(r[1].bytes, p104);
    EXPECT_EQ(r[2].seq, 103u);
    EXPECT_EQ(r[2].bytes, "m103");
    const std::vector<SysMsg> sys = rec().sys();
    EXPECT_EQ(sys.back().rebuild.BeginSeq, 100u);
    EXPECT_EQ(sys.back().rebuild.EndSeq, 105u);
    EXPECT_EQ(sys.back().rebuild.Status, 0u);
  }
  EXPECT_TRUE(logs.Contains("OnRebuildRspPacket Error: Invalid Seq: 105, [100, 105)"));
  EXPECT_TRUE(logs.Contains("OnRebuildRspPacket Error: Invalid Seq: 99, [100, 105)"));
  EXPECT_TRUE(logs.Contains("RawDataPacket with Error ExchangeID: 3"));
  EXPECT_TRUE(logs.Contains("TCP Session On Unrecognized Field: 3"));
  EXPECT_TRUE(rec().data().empty());

  // A server that keeps sending what a raw session does not read (a
  // heartbeat a second, all day) fills no log: one line per interval.
  std::string beats;
  for (int i = 0; i < 200; ++i) beats += heartbeat_packet(2021051209301500ULL + i);
  srv.Send(beats);
  // Nothing in progress: a replayed packet is logged and dropped.
  srv.Send(raw_packet(2, 102, 0, 0, "late"));
  EXPECT_TRUE(logs.WaitFor("OnRebuildRspPacket Error: Handler NULL"));
  EXPECT_EQ(logs.Count("TCP Session On Unrecognized Field"), 1u);

  // After the end record a new request goes out; a market character other
  // than '1' and '2' travels with scope 0.
  EXPECT_EQ(ZAVO_RebuildRawData(h, 'X', 1, 2, &on_rebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(srv.WaitRequests(2));
  EXPECT_EQ(srv.requests()[1].scope, 0u);
  srv.Send(end_record(2));
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_REBUILD_FINISH, 2));
  EXPECT_EQ(rec().sys().back().rebuild.BeginSeq, 1u);
  EXPECT_EQ(rec().sys().back().rebuild.EndSeq, 2u);
  EXPECT_EQ(rec().sys().back().rebuild.Status, 2u);

  // Framing of partial reads, driven on the loop thread.
  ASSERT_EQ(ZAVO_RebuildRawData(h, '2', 500, 600, &on_rebuild), ZAVO_SUCCESS);
  UdpRawApiImp* api = as_raw_imp(h);
  ASSERT_NE(api, nullptr);
  RawDataRebuildSession* s = SessionPeer::Session(api);
  ASSERT_NE(s, nullptr);
  const std::string pk = raw_packet(2, 550, 0, 0, payload_of(300, 'q'));
  const std::string hb = heartbeat_packet(1);
  std::vector<TcpIO::DataResult> r;
  run_in_loop(SessionPeer::Loop(api), [&] {
    r.push_back(s->OnData(pk.data(), 5));
    r.push_back(s->OnData(pk.data(), 20));
    r.push_back(s->OnData(pk.data(), pk.size()));
    r.push_back(s->OnData(hb.data(), 10));
    r.push_back(s->OnData(hb.data(), 16));
    const std::string odd = "\x07\xF7" + pk;  // not a sync pair at the front
    r.push_back(s->OnData(odd.data(), odd.size()));
    const std::string junk = "abcdefghij";
    r.push_back(s->OnData(junk.data(), junk.size()));
  });
  using DR = TcpIO::DataResult;
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(r[0], DR(0, 8));
  EXPECT_EQ(r[1], DR(0, 320));
  EXPECT_EQ(r[2], DR(320, 0));
  EXPECT_EQ(r[3], DR(0, 16));
  EXPECT_EQ(r[4], DR(0, hb.size()));
  EXPECT_EQ(r[5], DR(1, 0));
  EXPECT_EQ(r[6], DR(9, 0));
  ASSERT_TRUE(rec().WaitReplay(4));
  EXPECT_EQ(rec().replay()[3].seq, 550u);
  EXPECT_EQ(rec().replay()[3].bytes, payload_of(300, 'q'));
  srv.Send(end_record(0));
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_REBUILD_FINISH, 3));

  ZAVO_Close(h);
  ZAVO_Wait(h);
}

TEST(RawControl, ReconnectionLogsInAgainAndDataFlows) {
  LogCatcher::Get().Clear();
  rec().Reset();
  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);
  ZAVO_RawOpenSetting st = raw_settings(port, "sh;sz", kPort, kGroup);
  ZAVO_ERROR err = ZAVO_ERR_BUSY;
  ZAVO_HANDLE h = ZAVO_OpenRaw(&st, &err);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(err, ZAVO_SUCCESS);
  UdpMulticastSender2 feed;
  ASSERT_EQ(feed.Open(kGroup, kPort, "127.0.0.1"), 0);
  auto send = [&](const std::string& d) { EXPECT_TRUE(feed.Write(Slice(d.data(), d.size()))); };

  // Both exchanges enabled (lower case), each with its own numbering.
  send(raw_packet(1, 100, 0, 0, "sh100"));
  send(raw_packet(2, 5, 0, 0, "sz5"));
  ASSERT_TRUE(rec().WaitData(2));
  EXPECT_EQ(rec().data()[0].exchange, '1');
  EXPECT_EQ(rec().data()[1].exchange, '2');
  EXPECT_EQ(rec().data()[1].seq, 5u);

  // A request in progress when the connection drops.
  ASSERT_EQ(ZAVO_RebuildRawData(h, '1', 1, 50, &on_rebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(srv.WaitRequests(1));

  srv.Drop();
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_LOGIN, 2, 15000));
  // The request cut off by the drop ends once, as abandoned, before the
  // reconnection.
  EXPECT_EQ(kinds(rec().sys()),
            (std::vector<uint32_t>{ZAVO_MSG_CONNECT, ZAVO_MSG_LOGIN, ZAVO_MSG_DISCONNECT,
                                   ZAVO_MSG_REBUILD_FINISH, ZAVO_MSG_CONNECT, ZAVO_MSG_LOGIN}));
  EXPECT_EQ(rec().sys()[3].rebuild.Status, ZAVO_REBUILD_ABANDONED);
  EXPECT_EQ(rec().sys()[3].rebuild.BeginSeq, 1u);
  EXPECT_EQ(rec().sys()[3].rebuild.EndSeq, 50u);
  EXPECT_EQ(srv.logins(), 2);

  // The lost connection ended the request; a new one is accepted and sent.
  EXPECT_EQ(ZAVO_RebuildRawData(h, '1', 1, 50, &on_rebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(srv.WaitRequests(2));

  // The feed was joined once and still delivers.
  send(raw_packet(1, 101, 0, 0, "sh101"));
  ASSERT_TRUE(rec().WaitData(3));
  EXPECT_EQ(rec().data()[2].seq, 101u);

  ZAVO_Close(h);
  ZAVO_Wait(h);
}

}  // namespace
}  // namespace rawtest
}  // namespace zavo
