// The control channel on its own, behind a minimal API object: the login
// outcome of Start, and the one rule for rebuild requests (taken on the
// loop thread, refused unless logged in, one in flight, ended once).
#include <gtest/gtest.h>

#include <string>

#include "api/api_imp.h"
#include "api/control_channel.h"
#include "net/zavo_tcp.h"
#include "raw_test_support.h"

namespace zavo {
namespace rawtest {
namespace {

// The API object the channel reports to (a system handler and a
// ConnectID) and a listener that only counts joins; the connection
// reports to the channel itself, as in a session.
class ChannelHost : public RawApiImp, public ControlListener {
 public:
  ChannelHost() : channel_(this, this, ControlChannel::Options{false}) {
    system_handler_ = &on_system;
  }
  ~ChannelHost() override = default;
  ControlChannel& channel() { return channel_; }
  int joins = 0;

  void Release() override { delete this; }
  void Close() override {}
  void Join() override {}
  int ConnectID() const override { return 3; }
  ZAVO_ERROR Open(const ZAVO_RawOpenSetting&) override { return ZAVO_ERR_INVALID; }
  ZAVO_ERROR Rebuild(char, uint64_t, uint64_t, ZAVO_DataHandler) override {
    return ZAVO_ERR_INVALID;
  }

  int JoinFeed(std::string*) override {
    ++joins;
    return 0;
  }
  void OnControlField(const StructPacket::Iterator&) override {}
  void OnRebuildPacket(const StructPacket&, const RebuildState::Request&) override {}
  void OnRebuildRaw(const RawDataPacket&, const RebuildState::Request&) override {}

  int Connect(int port) {
    return channel_.Connect(new KvelTcpConnector(channel_.loop(), channel_.connector_handler()),
                            "127.0.0.1", static_cast<uint16_t>(port), "tester", "secret");
  }
  void Shut() {
    channel_.Stop();
    channel_.Join();
    channel_.ReleaseConnector();
  }

 private:
  ControlChannel channel_;
};

void request_packet(StructPacket* packet, uint64_t begin, uint64_t end) {
  ReqRetransmitField f;
  f.BeginSeq = begin;
  f.EndSeq = end;
  f.Scope = 1;
  *packet = StructPacket::ForRecord<ReqRetransmitField>();
  EXPECT_TRUE(packet->AddField(f));
}

TEST(ControlChannel, StartReportsTheLoginOutcome) {
  rec().Reset();
  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);
  srv.SetAnswer(LoginAnswer::kRefuse);
  ChannelHost* host = new ChannelHost();
  ASSERT_EQ(host->Connect(port), 0);
  EXPECT_EQ(host->channel().Start(), ZAVO_ERR_NETWORK);
  EXPECT_EQ(host->joins, 0);
  host->Shut();
  host->Release();

  srv.SetAnswer(LoginAnswer::kAccept);
  host = new ChannelHost();
  ASSERT_EQ(host->Connect(port), 0);
  EXPECT_EQ(host->channel().Start(), ZAVO_SUCCESS);
  EXPECT_EQ(host->joins, 1);
  host->Shut();
  host->Release();
}

TEST(ControlChannel, RebuildRequestsFollowOneRule) {
  rec().Reset();
  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);
  ChannelHost* host = new ChannelHost();
  ASSERT_EQ(host->Connect(port), 0);
  ASSERT_EQ(host->channel().Start(), ZAVO_SUCCESS);
  ControlChannel& ch = host->channel();

  StructPacket p;
  request_packet(&p, 5, 5);
  EXPECT_EQ(ch.Rebuild(5, 5, &on_rebuild, &p), ZAVO_ERR_INVALID);
  request_packet(&p, 5, 9);
  EXPECT_EQ(ch.Rebuild(5, 9, nullptr, &p), ZAVO_ERR_INVALID);
  EXPECT_EQ(ch.Rebuild(5, 9, &on_rebuild, &p), ZAVO_SUCCESS);
  ASSERT_TRUE(srv.WaitRequests(1));
  EXPECT_EQ(ch.Rebuild(5, 9, &on_rebuild, &p), ZAVO_ERR_BUSY);

  // The server's end record ends it once, with the server's status.
  srv.Send(end_record(1));
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_REBUILD_FINISH, 1));
  EXPECT_EQ(rec().sys().back().rebuild.Status, 1u);
  EXPECT_EQ(rec().sys().back().rebuild.BeginSeq, 5u);

  // A new day abandons the next one, once.
  EXPECT_EQ(ch.Rebuild(5, 9, &on_rebuild, &p), ZAVO_SUCCESS);
  ch.AbandonRebuild("new day");
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_REBUILD_FINISH, 2));
  EXPECT_EQ(rec().sys().back().rebuild.Status, ZAVO_REBUILD_ABANDONED);
  ch.AbandonRebuild("new day");

  // Stopping: refused at once, nothing in flight.
  ch.Stop();
  EXPECT_EQ(ch.Rebuild(5, 9, &on_rebuild, &p), ZAVO_ERR_NETWORK);
  host->Shut();
  EXPECT_EQ(ch.Rebuild(5, 9, &on_rebuild, &p), ZAVO_ERR_NETWORK);
  size_t ends = 0;
  for (const SysMsg& m : rec().sys()) ends += m.kind == ZAVO_MSG_REBUILD_FINISH;
  EXPECT_EQ(ends, 2u);
  host->Release();
}

}  // namespace
}  // namespace rawtest
}  // namespace zavo
