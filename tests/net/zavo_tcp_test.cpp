// Framed sessions: the framing contract of OnData, and packets exchanged in
// both directions over a real loopback connection, including sends from a
// thread other than the loop thread.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/ev_loop.h"
#include "net/zavo_tcp.h"
#include "proto/sys_field.h"

namespace zavo {
namespace {

std::string heartbeat_packet(unsigned long value) {
  HeartBeatField hb;
  hb.ServerTime = value;
  StructPacket p = StructPacket::ForRecord<HeartBeatField>();
  EXPECT_TRUE(p.AddField(hb));
  p.PacketTime = 20210305093000000UL + value;
  EXPECT_TRUE(p.Serialize());
  return std::string(p.Bytes().data, p.Bytes().size);
}

// Records what a handler sees; the test thread waits on it.
class Recorder : public KvelHandler {
 public:
  struct Event {
    char kind;  // 'C' connected, 'D' disconnected, 'P' packet
    KvelSession* session;
    std::vector<unsigned short> field_ids;
    unsigned long first_value = 0;  // heartbeat value or login reply ErrorID
    unsigned int packet_type = 0;
    unsigned int body = 0;
  };

  // Called on the loop thread after a packet was recorded.
  std::function<void(KvelSession*, const StructPacket*)> on_packet;
  std::function<void(KvelSession*)> on_connected;

  void OnPacket(KvelSession* session, const StructPacket* packet) override {
    Event e{'P', session, {}, 0, packet->PacketType, packet->BodySize()};
    for (StructPacket::Iterator it(*packet); it.Valid(); it.Next()) {
      e.field_ids.push_back(it.FieldId);
      if (e.field_ids.size() > 1) continue;
      if (it.FieldId == HeartBeatField::kFieldId) {
        HeartBeatField hb;
        if (it.Decode(hb)) e.first_value = hb.ServerTime;
      } else if (it.FieldId == RspUserLoginField::kFieldId) {
        RspUserLoginField r;
        if (it.Decode(r)) e.first_value = static_cast<unsigned long>(r.ErrorID.get());
      } else if (it.FieldId == ReqUserLoginField::kFieldId) {
        ReqUserLoginField r;
        if (it.Decode(r)) e.first_value = r.UserID.Length();
      }
    }
    add(std::move(e));
    if (on_packet) on_packet(session, packet);
  }
  void OnConnected(KvelSession* session) override {
    add(Event{'C', session, {}, 0, 0, 0});
    if (on_connected) on_connected(session);
  }
  void OnDisconnected(KvelSession* session) override { add(Event{'D', session, {}, 0, 0, 0}); }

  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& pred, int ms = 10000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(events_); });
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  static size_t Count(const std::vector<Event>& ev, char kind) {
    size_t n = 0;
    for (const auto& e : ev) n += e.kind == kind;
    return n;
  }

 private:
  void add(Event&& e) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

TEST(KvelFraming, OnDataHonoursTheConsumedAndNeededContract) {
  EvLoop loop;  // never started: the connector is only fed bytes
  Recorder rec;
  auto* c = new KvelTcpConnector(&loop, &rec);

  const std::string a = heartbeat_packet(1);
  const std::string b = heartbeat_packet(2);
  // Two packets in one read: TcpIO calls again while bytes are consumed.
  const std::string both = "xx" + a + b;
  size_t off = 0;
  std::vector<TcpIO::DataResult> results;
  for (int i = 0; i < 5 && off < both.size(); ++i) {
    auto r = c->OnData(both.data() + off, both.size() - off);
    results.push_back(r);
    if (r.first == 0) break;
    off += r.first;
  }
  EXPECT_EQ(off, both.size());
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0], TcpIO::DataResult(2 + a.size(), 0));
  auto ev = rec.Events();
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].first_value, 1UL);
  EXPECT_EQ(ev[1].first_value, 2UL);
  EXPECT_EQ(ev[0].session, nullptr);

  // One packet in three pieces: 4 bytes, 24 bytes, then the rest.
  EXPECT_EQ(c->OnData(a.data(), 4), TcpIO::DataResult(0, 16));
  EXPECT_EQ(c->OnData(a.data(), 24), TcpIO::DataResult(0, a.size()));
  EXPECT_EQ(rec.Events().size(), 2u);
  EXPECT_EQ(c->OnData(a.data(), a.size()), TcpIO::DataResult(a.size(), 0));
  EXPECT_EQ(rec.Events().size(), 3u);

  // Short or sync-less input.
  EXPECT_EQ(c->OnData("\x07", 1), TcpIO::DataResult(0, 0));
  EXPECT_EQ(c->OnData("garbage!!!", 10), TcpIO::DataResult(9, 0));

  // A 10000-byte body into the fresh 4096-byte receive packet.
  EXPECT_EQ(c->receive_packet().Buffer().capacity(), 4096u);
  std::string big(16 + 10000, 'q');
  StoreBigEndian<unsigned short>(&big[0], 0x0707);
  StoreBigEndian<unsigned short>(&big[2], 10000);
  EXPECT_EQ(c->OnData(big.data(), big.size()), TcpIO::DataResult(big.size(), 0));
  EXPECT_EQ(c->receive_packet().Buffer().capacity(), 21144u);

  // A foreign thread's Send is queued and reported as accepted even with no
  // connection; on an idle loop the write cannot start.
  bool foreign = false;
  StructPacket hb = StructPacket::ForRecord<HeartBeatField>();
  ASSERT_TRUE(hb.AddField(HeartBeatField()));
  std::thread t([&] { foreign = c->Send(&hb); });
  t.join();
  EXPECT_TRUE(foreign);
  EXPECT_EQ(hb.BodyLength, 20);
  EXPECT_NE(hb.PacketTime, 0UL);

  // Connection changes reach the handler with a null session.
  c->OnDisconnected(-104);
  ev = rec.Events();
  EXPECT_EQ(ev.back().kind, 'D');
  EXPECT_EQ(ev.back().session, nullptr);

  TcpConnector::Release(c);
}

TEST(KvelFraming, PacketsFlowBothWaysOverLoopback) {
  EvLoop loop;
  Recorder server;
  Recorder client;
  auto* listener = new KvelTcpListener(&loop, &server);
  ASSERT_EQ(listener->Listen("127.0.0.1", 0), 0);
  const int port = listener->BoundPort();
  ASSERT_GT(port, 0);
  auto* conn = new KvelTcpConnector(&loop, &client);

  // The client logs in as soon as it is connected (loop thread: direct
  // write); the server answers each login on the loop thread.
  client.on_connected = [conn](KvelSession*) {
    ReqUserLoginField login;
    login.Fill("trader", "pw", "zavo test");
    StructPacket p = StructPacket::ForRecord<ReqUserLoginField>();
    ASSERT_TRUE(p.AddField(login));
    EXPECT_TRUE(conn->Send(&p));
  };
  server.on_packet = [](KvelSession* s, const StructPacket* in) {
    StructPacket::Iterator it(*in);
    if (!it.Valid() || it.FieldId != ReqUserLoginField::kFieldId) return;
    RspUserLoginField rsp;
    rsp.ErrorID = 0;
    rsp.ErrorMsg.Set("SH;SZ");
    StructPacket out = StructPacket::ForRecord<RspUserLoginField>();
    ASSERT_TRUE(out.AddField(rsp));
    EXPECT_TRUE(s->Send(&out));
  };
  ASSERT_EQ(conn->Connect("127.0.0.1", port), 0);
  loop.Start();

  ASSERT_TRUE(client.WaitFor([](const auto& ev) {
    for (const auto& e : ev)
      if (e.kind == 'P' && !e.field_ids.empty() && e.field_ids[0] == 7) return true;
    return false;
  })) << "no login reply";
  auto sev = server.Events();
  ASSERT_GE(sev.size(), 2u);
  EXPECT_EQ(sev[0].kind, 'C');
  KvelSession* session = sev[0].session;
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(sev[1].kind, 'P');
  EXPECT_EQ(sev[1].session, session);
  EXPECT_EQ(sev[1].field_ids, std::vector<unsigned short>{6});
  EXPECT_EQ(sev[1].first_value, 6UL);  // "trader"

  // From this (foreign) thread: many small packets client -> server, in
  // order, and one packet of many fields server -> client that cannot
  // arrive in one piece.
  constexpr int kCount = 200;
  for (int i = 0; i < kCount; ++i) {
    StructPacket p = StructPacket::ForRecord<HeartBeatField>();
    HeartBeatField hb;
    hb.ServerTime = static_cast<unsigned long>(i);
    ASSERT_TRUE(p.AddField(hb));
    ASSERT_TRUE(conn->Send(&p));
  }
  StructPacket bulk = StructPacket::ForRecord<OrderQueueField>();
  OrderQueueField q;
  int fields = 0;
  for (; fields < 70; ++fields) {
    q.OrderQueue[199] = static_cast<unsigned int>(fields);
    ASSERT_TRUE(bulk.AddField(q));
  }
  bulk.PacketType = StructPacket::kRebuildPacketType;
  ASSERT_TRUE(session->Send(&bulk));

  ASSERT_TRUE(server.WaitFor([&](const auto& ev) {
    size_t hb = 0;
    for (const auto& e : ev) hb += e.kind == 'P' && e.field_ids == std::vector<unsigned short>{3};
    return hb == kCount;
  })) << "heartbeats missing";
  sev = server.Events();
  unsigned long expect = 0;
  for (const auto& e : sev) {
    if (e.kind != 'P' || e.field_ids != std::vector<unsigned short>{3}) continue;
    EXPECT_EQ(e.first_value, expect) << "out of order";
    EXPECT_EQ(e.session, session);
    ++expect;
  }

  ASSERT_TRUE(client.WaitFor([](const auto& ev) {
    for (const auto& e : ev)
      if (e.kind == 'P' && e.packet_type == StructPacket::kRebuildPacketType) return true;
    return false;
  })) << "bulk packet missing";
  for (const auto& e : client.Events()) {
    if (e.kind != 'P' || e.packet_type != StructPacket::kRebuildPacketType) continue;
    EXPECT_EQ(e.field_ids.size(), 70u);
    EXPECT_EQ(e.body, 70u * 862u);
    EXPECT_EQ(e.session, nullptr);
  }
  auto cev = client.Events();
  EXPECT_EQ(cev[0].kind, 'C');
  EXPECT_EQ(cev[0].session, nullptr);

  // The client going away is reported on the server side with its session.
  TcpConnector::Release(conn);
  ASSERT_TRUE(server.WaitFor([](const auto& ev) { return Recorder::Count(ev, 'D') == 1; }));
  EXPECT_EQ(server.Events().back().session, session);
  EXPECT_EQ(Recorder::Count(client.Events(), 'D'), 0u);  // released without notice

  TcpListener::Release(listener);
  loop.Stop();
  loop.Join();
}

}  // namespace
}  // namespace zavo
