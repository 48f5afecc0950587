// Rebuild requests across connection drops, both modes: a request made
// while the control connection is down is refused and leaves nothing busy;
// an accepted request cut off by a drop ends with one "abandoned" message.
#include <gtest/gtest.h>

#include <cstring>

#include "raw_test_support.h"
#include "zavo_api.h"

namespace zavo {
namespace rawtest {
namespace {

// The reconnection runs 5 s after a drop; allow for a slow machine.
constexpr int kReconnectWaitMs = 15000;

size_t count_kind(uint32_t kind) {
  size_t n = 0;
  for (const SysMsg& m : rec().sys()) n += m.kind == kind;
  return n;
}

class RebuildAcrossDrops : public ::testing::TestWithParam<bool> {
 protected:
  bool raw() const { return GetParam(); }

  ZAVO_HANDLE Open(int port) {
    ZAVO_ERROR err = ZAVO_ERR_BUSY;
    ZAVO_HANDLE h = nullptr;
    if (raw()) {
      ZAVO_RawOpenSetting s = raw_settings(port, "SH;SZ", 17401, "239.255.9.2");
      h = ZAVO_OpenRaw(&s, &err);
    } else {
      const ZAVO_RawOpenSetting r = raw_settings(port, "SH;SZ", 17403, "239.255.9.2");
      ZAVO_OpenSetting s = struct_settings_like(r);
      h = ZAVO_Open(&s, &err);
    }
    EXPECT_EQ(err, ZAVO_SUCCESS);
    return h;
  }

  ZAVO_ERROR Rebuild(ZAVO_HANDLE h, uint64_t begin, uint64_t end) {
    return raw() ? ZAVO_RebuildRawData(h, '1', begin, end, on_rebuild)
                 : ZAVO_RebuildStructData(h, begin, end, on_rebuild);
  }
};

TEST_P(RebuildAcrossDrops, RefusedWhileDownAcceptedAfterLoginAbandonedByDrop) {
  rec().Reset();
  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);
  ZAVO_HANDLE h = Open(port);
  ASSERT_NE(h, nullptr);

  // Down: refused as a network failure, every time, and nothing stays busy.
  srv.Drop();
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_DISCONNECT, 1));
  EXPECT_EQ(Rebuild(h, 10, 20), ZAVO_ERR_NETWORK);
  EXPECT_EQ(Rebuild(h, 10, 20), ZAVO_ERR_NETWORK);
  EXPECT_EQ(count_kind(ZAVO_MSG_REBUILD_FINISH), 0u);

  // Logged in again: the request is accepted and reaches the server.
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_LOGIN, 2, kReconnectWaitMs));
  ASSERT_EQ(Rebuild(h, 100, 105), ZAVO_SUCCESS);
  ASSERT_TRUE(srv.WaitRequests(1));
  EXPECT_EQ(srv.requests().back().begin, 100u);
  EXPECT_EQ(srv.requests().back().end, 105u);
  EXPECT_EQ(Rebuild(h, 200, 205), ZAVO_ERR_BUSY);

  // The server never answers; the connection drops: one abandoned end.
  srv.Drop();
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_REBUILD_FINISH, 1));
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_DISCONNECT, 2));
  std::vector<SysMsg> ends;
  for (const SysMsg& m : rec().sys()) {
    if (m.kind == ZAVO_MSG_REBUILD_FINISH) ends.push_back(m);
  }
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].rebuild.BeginSeq, 100u);
  EXPECT_EQ(ends[0].rebuild.EndSeq, 105u);
  EXPECT_EQ(ends[0].rebuild.Status, static_cast<uint32_t>(ZAVO_REBUILD_ABANDONED));
  // Not busy afterwards: refused only because the connection is down.
  EXPECT_EQ(Rebuild(h, 200, 205), ZAVO_ERR_NETWORK);

  ZAVO_Close(h);
  ZAVO_Wait(h);
  EXPECT_EQ(count_kind(ZAVO_MSG_REBUILD_FINISH), 1u);
}

std::vector<SysMsg> rebuild_ends() {
  std::vector<SysMsg> ends;
  for (const SysMsg& m : rec().sys()) {
    if (m.kind == ZAVO_MSG_REBUILD_FINISH) ends.push_back(m);
  }
  return ends;
}

// Struct mode only: a new day abandons the request while its connection
// stays up, so the server's own end record for it still comes.
TEST_P(RebuildAcrossDrops, AbandonedByANewDayEndsOnceThoughTheServerEndsItToo) {
  if (raw()) GTEST_SKIP() << "raw sessions have no day";
  rec().Reset();
  LogCatcher& logs = LogCatcher::Get();
  logs.Clear();
  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);
  ZAVO_HANDLE h = Open(port);
  ASSERT_NE(h, nullptr);
  srv.Send(heartbeat_packet(20240102ull * 10000000ull));

  ASSERT_EQ(Rebuild(h, 100, 105), ZAVO_SUCCESS);
  ASSERT_TRUE(srv.WaitRequests(1));
  srv.Send(heartbeat_packet(20240103ull * 10000000ull));
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_REBUILD_FINISH, 1));
  // The server, unaware, ends the request it was asked for.
  srv.Send(end_record(7));
  ASSERT_TRUE(logs.WaitFor("Rebuild [100, 105) end record ignored (status 7): already abandoned"));

  // The next request gets the next end record, with its own range.
  ASSERT_EQ(Rebuild(h, 200, 205), ZAVO_SUCCESS);
  ASSERT_TRUE(srv.WaitRequests(2));
  srv.Send(end_record(3));
  ASSERT_TRUE(rec().WaitSysKind(ZAVO_MSG_REBUILD_FINISH, 2));
  ZAVO_Close(h);
  ZAVO_Wait(h);

  const std::vector<SysMsg> ends = rebuild_ends();
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[0].rebuild.BeginSeq, 100u);
  EXPECT_EQ(ends[0].rebuild.EndSeq, 105u);
  EXPECT_EQ(ends[0].rebuild.Status, static_cast<uint32_t>(ZAVO_REBUILD_ABANDONED));
  EXPECT_EQ(ends[1].rebuild.BeginSeq, 200u);
  EXPECT_EQ(ends[1].rebuild.EndSeq, 205u);
  EXPECT_EQ(ends[1].rebuild.Status, 3u);
}

INSTANTIATE_TEST_SUITE_P(BothModes, RebuildAcrossDrops, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return i.param ? std::string("Raw") : std::string("Struct");
                         });

}  // namespace
}  // namespace rawtest
}  // namespace zavo
