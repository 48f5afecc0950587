// Struct mode seen by a user: the C interface against a real server on
// loopback and a real multicast feed.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "api/udp_api_imp.h"
#include "session_fixture.h"
#include "support/session_peer.h"
#include "support/wait_until.h"

namespace zavo {
namespace test {
namespace {

constexpr int kWait = 5000;

class StructSession : public SimSessionTest {
 protected:
  ZAVO_HANDLE Open(const ZAVO_OpenSetting& s, ZAVO_ERROR* err) {
    ZAVO_HANDLE h = ZAVO_Open(&s, err);
    if (h != nullptr) open_.push_back(h);
    return h;
  }
  void CloseAndWait(ZAVO_HANDLE h) {
    ZAVO_Close(h);
    ZAVO_Wait(h);
    open_.erase(std::remove(open_.begin(), open_.end(), h), open_.end());
  }

  // Publishes `n` fields and returns the newest sequence number once the
  // server has sent them (the server applies requests on its own thread).
  uint64_t Publish(unsigned n, sim::SimServer* server = nullptr) {
    sim::SimServer* s = server ? server : sim_.get();
    const uint64_t target = s->Counters().fields_published + n;
    s->PublishNow(n);
    EXPECT_TRUE(
        s->WaitFor([&](const sim::SimCounters& c) { return c.fields_published >= target; }, kWait));
    return s->Counters().last_seq;
  }

  // Publishes one security snapshot of `code` after everything published
  // so far and returns its sequence number: once a session delivers it, it
  // has processed all that came before.
  uint64_t PublishMarker(const std::string& code) {
    const uint64_t target = sim_->Counters().fields_published + 1;
    sim_->PublishSnapshotNow(code);
    EXPECT_TRUE(sim_->WaitFor(
        [&](const sim::SimCounters& c) { return c.fields_published >= target; }, kWait));
    return sim_->Counters().last_seq;
  }
  static bool Delivered(const Recorder& rec, uint64_t seq) {
    return rec.WaitFor(
        [seq](const std::vector<Seen>& v) { return !v.empty() && v.back().seq >= seq; }, kWait);
  }
  // Every datagram the simulator has sent has been through the session's
  // decoder, delivered or not.
  bool AllProcessed(ZAVO_HANDLE h) {
    const uint64_t sent = sim_->Counters().datagrams_sent;
    auto* api = static_cast<UdpStructApiImp*>(static_cast<ApiImp*>(h));
    return test::WaitUntil([&] { return SessionPeer::Decoder(api).datagrams() >= sent; });
  }
};

TEST_F(StructSession, OpenFailuresInTheirOrder) {
  StartSim(TestSimConfig(17001));
  SessionRecorders& rec = Recorders(11);
  ZAVO_ERROR err = ZAVO_SUCCESS;

  EXPECT_EQ(ZAVO_Open(nullptr, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_Open(nullptr, nullptr), nullptr);  // nothing written through a null

  ZAVO_OpenSetting s = MakeSetting(*sim_, 11);
  s.DataHandler = nullptr;
  EXPECT_EQ(Open(s, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_INVALID);
  s = MakeSetting(*sim_, 11);
  s.SystemHandler = nullptr;
  EXPECT_EQ(Open(s, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_INVALID);
  s = MakeSetting(*sim_, 11);
  s.SubscribedMarkets = "SH;XX";
  EXPECT_EQ(Open(s, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_INVALID);
  s = MakeSetting(*sim_, 11);
  s.SubscribedCodes = "600000";
  EXPECT_EQ(Open(s, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_INVALID);
  // The invalid settings were refused before the loop ran: no callbacks.
  EXPECT_EQ(rec.system.Size(), 0u);

  // Settings texts that fill their arrays without a terminator are read
  // within the arrays only.
  s = MakeSetting(*sim_, 11);
  std::memset(s.UserName, 'u', sizeof(s.UserName));
  std::memset(s.Password, 'p', sizeof(s.Password));
  ZAVO_HANDLE h = Open(s, &err);
  EXPECT_NE(h, nullptr);
  EXPECT_EQ(err, ZAVO_SUCCESS);
  if (h) CloseAndWait(h);

  // Nothing listening on the port.
  s = MakeSetting(*sim_, 11);
  s.ServerPort = 1;
  rec.system.Clear();
  EXPECT_EQ(Open(s, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
  EXPECT_EQ(rec.system.Count(ZAVO_MSG_DISCONNECT), 1u);

  // Refused login: the login message is delivered, then -99.
  sim_->SetLoginMode(sim::LoginMode::kRefuse);
  rec.system.Clear();
  EXPECT_EQ(Open(MakeSetting(*sim_, 11), &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
  auto seen = rec.system.Snapshot();
  auto login = std::find_if(seen.begin(), seen.end(),
                            [](const Seen& m) { return m.type == ZAVO_MSG_LOGIN; });
  ASSERT_NE(login, seen.end());
  EXPECT_EQ(login->as<ZAVO_LoginResult>().ErrorID, 1003);
  EXPECT_STREQ(login->as<ZAVO_LoginResult>().ErrorMsg, "user or password error");
  EXPECT_EQ(login->as<ZAVO_LoginResult>().ItemCount, 0);

  // A server that never answers: Open gives up within its bound.
  sim_->SetLoginMode(sim::LoginMode::kSilent);
  SessionPeer::SetLoginTimeout(1500);
  const int threads_before = ThreadCount();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Open(MakeSetting(*sim_, 11), &err), nullptr);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  SessionPeer::SetLoginTimeout(0);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
  EXPECT_GE(took, 1.4);
  EXPECT_LT(took, 6.0);
  EXPECT_EQ(ThreadCount(), threads_before);  // no thread left behind
}

TEST_F(StructSession, LoginAnswersAreReadSafely) {
  // A refusal whose error number has zero low bits is still a refusal.
  sim::SimConfig cfg = TestSimConfig(17071);
  cfg.login_mode = sim::LoginMode::kRefuse;
  cfg.refuse_error_id = 0x10000;
  cfg.refuse_text = "account locked";
  StartSim(cfg);
  SessionRecorders& rec = Recorders(81);
  ZAVO_ERROR err = ZAVO_SUCCESS;
  EXPECT_EQ(Open(MakeSetting(*sim_, 81), &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
  ASSERT_EQ(rec.system.Count(ZAVO_MSG_LOGIN), 1u);
  for (const Seen& m : rec.system.Snapshot()) {
    if (m.type != ZAVO_MSG_LOGIN) continue;
    EXPECT_EQ(m.as<ZAVO_LoginResult>().ErrorID, 0);  // the low 16 bits
    EXPECT_STREQ(m.as<ZAVO_LoginResult>().ErrorMsg, "account locked");
    EXPECT_EQ(m.as<ZAVO_LoginResult>().ItemCount, 0);
  }
  sim_->Stop();

  // An accepted answer with more entries than the record holds: six are
  // kept, each cut to seven characters, and ItemCount counts those kept.
  cfg = TestSimConfig(17073);
  cfg.login_reply = ";SH;SZLONGNAME;;C;D;E;F;G;H;";
  StartSim(cfg);
  SessionRecorders& rec2 = Recorders(82);
  ZAVO_HANDLE h = Open(MakeSetting(*sim_, 82), &err);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(rec2.system.Count(ZAVO_MSG_LOGIN), 1u);
  const std::vector<Seen> seen = rec2.system.Snapshot();
  const auto login = std::find_if(seen.begin(), seen.end(),
                                  [](const Seen& m) { return m.type == ZAVO_MSG_LOGIN; });
  const auto& r = login->as<ZAVO_LoginResult>();
  EXPECT_EQ(r.ItemCount, 6);
  EXPECT_STREQ(r.Items[0], "SH");
  EXPECT_STREQ(r.Items[1], "SZLONGN");
  EXPECT_STREQ(r.Items[2], "C");
  EXPECT_STREQ(r.Items[5], "F");
}

TEST_F(StructSession, LoginBaseInformationAndCodeTables) {
  StartSim(TestSimConfig(17011));
  SessionRecorders& rec = Recorders(21);
  ZAVO_ERROR err = ZAVO_ERR_NETWORK;
  ZAVO_HANDLE h = Open(MakeSetting(*sim_, 21), &err);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(err, ZAVO_SUCCESS);
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_BASEINFO_FINISH, 1, kWait));

  // Connected, logged in with the server's items, then the tables' end.
  auto seen = rec.system.Snapshot();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[0].type, ZAVO_MSG_CONNECT);
  EXPECT_EQ(seen[0].as<ZAVO_ConnectResult>().State, 1);
  EXPECT_EQ(seen[1].type, ZAVO_MSG_LOGIN);
  const auto& login = seen[1].as<ZAVO_LoginResult>();
  EXPECT_EQ(login.ErrorID, 0);
  EXPECT_STREQ(login.ErrorMsg, "success");
  EXPECT_EQ(login.ItemCount, 2);
  EXPECT_STREQ(login.Items[0], "SH");
  EXPECT_STREQ(login.Items[1], "SZ");
  for (const Seen& m : seen) {
    EXPECT_EQ(m.connect_id, 21);
    EXPECT_EQ(m.seq, 0u);
  }
  const std::vector<Seen> all = rec.system.Snapshot();
  const auto& fin = all.back().as<ZAVO_BaseInfoFinish>();
  ASSERT_EQ(fin.MarketCount, 2u);
  EXPECT_STREQ(fin.Markets[0], "SH");
  EXPECT_STREQ(fin.Markets[1], "SZ");
  const auto& cfg = sim_->config();
  EXPECT_GE(fin.CodeCount[0], cfg.sh_securities + cfg.sh_options);
  EXPECT_GE(fin.CodeCount[1], cfg.sz_securities + cfg.sz_options);

  // Exactly one echo of the login answer reached the server.
  EXPECT_TRUE(sim_->WaitFor([](const sim::SimCounters& c) { return c.login_echoes == 1; }, kWait));

  ZAVO_CODEINFO* table = nullptr;
  unsigned int count = 0;
  ASSERT_EQ(ZAVO_GetCodeTable(h, "sh", &table, &count), ZAVO_SUCCESS);
  EXPECT_EQ(count, fin.CodeCount[0]);
  ASSERT_NE(table, nullptr);
  for (unsigned i = 0; i < count; ++i) {
    EXPECT_EQ(table[i].ExchangeID, '1');
    EXPECT_EQ(std::string(table[i].KvelCode), std::string(table[i].Code) + ".SH");
  }
  ZAVO_Free(table);
  EXPECT_EQ(ZAVO_GetCodeTable(h, "SHSZ", &table, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_GetCodeTable(h, "SZ", nullptr, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_GetCodeTable(nullptr, "SZ", &table, &count), ZAVO_ERR_INVALID);
}

TEST_F(StructSession, MarketDataFlagsSubscriptionsAndQueries) {
  StartSim(TestSimConfig(17021));
  SessionRecorders& rec = Recorders(31);
  ZAVO_OpenSetting s = MakeSetting(*sim_, 31);
  s.SubscribeFlags = 0;  // snapshots only
  ZAVO_ERROR err;
  ZAVO_HANDLE h = Open(s, &err);
  ASSERT_NE(h, nullptr);
  // Open returns with the login answer; the day's first heartbeat, which
  // clears the caches, comes after it, before the base information.
  // Snapshots published before it is taken could be cleared with it.
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_BASEINFO_FINISH, 1, kWait));

  Publish(400);
  ASSERT_TRUE(Delivered(rec.data, PublishMarker("600001")));
  auto data = rec.data.Snapshot();
  ASSERT_FALSE(data.empty());
  uint64_t prev = 0;
  std::set<uint32_t> kinds;
  for (const Seen& m : data) {
    kinds.insert(m.type);
    EXPECT_GT(m.seq, prev);  // in field order
    prev = m.seq;
    EXPECT_EQ(m.connect_id, 31);
    EXPECT_LT(m.time, 240000000u);  // hhmmssmmm
  }
  for (uint32_t k : kinds) {
    EXPECT_TRUE(k == ZAVO_MSG_SECURITY_SNAPSHOT || k == ZAVO_MSG_INDEX_SNAPSHOT ||
                k == ZAVO_MSG_FUTURE_SNAPSHOT)
        << "kind " << k << " delivered with no flags";
  }
  EXPECT_TRUE(kinds.count(ZAVO_MSG_SECURITY_SNAPSHOT));

  // The cache keeps the last snapshot per code, per market.
  ZAVO_SecuritySnapShot* snaps = nullptr;
  int n = 0;
  ASSERT_EQ(ZAVO_GetLastMarketData(h, "SZ", &snaps, &n), ZAVO_SUCCESS);
  ASSERT_GT(n, 0);
  std::set<std::string> codes;
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(snaps[i].ExchangeID, '2');
    EXPECT_TRUE(codes.insert(snaps[i].Code).second) << "duplicate " << snaps[i].Code;
  }
  ZAVO_Free(snaps);
  EXPECT_EQ(ZAVO_GetLastMarketData(h, "XX", &snaps, &n), ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_GetLastMarketData(h, "SH", nullptr, &n), ZAVO_ERR_INVALID);

  // Narrow to one Shanghai code: only it arrives from now on.
  const auto sh = std::find_if(data.begin(), data.end(), [](const Seen& m) {
    return m.type == ZAVO_MSG_SECURITY_SNAPSHOT && m.exchange == '1';
  });
  ASSERT_NE(sh, data.end());
  const std::string wanted = sh->code;
  ASSERT_EQ(ZAVO_UpdateSubscription(h, ZAVO_SUBSCRIBE_REPLACE, (wanted + ".SH").c_str()),
            ZAVO_SUCCESS);
  EXPECT_EQ(ZAVO_UpdateSubscription(h, ZAVO_SUBSCRIBE_ADD, "600000"), ZAVO_ERR_INVALID);
  rec.data.Clear();
  Publish(600);
  ASSERT_TRUE(Delivered(rec.data, PublishMarker(wanted)));
  for (const Seen& m : rec.data.Snapshot()) {
    EXPECT_EQ(m.code, wanted);
    EXPECT_EQ(m.exchange, '1');
  }
  // Removing the one code left must not open the whole market.
  ASSERT_EQ(ZAVO_UpdateSubscription(h, ZAVO_SUBSCRIBE_REMOVE, (wanted + ".SH").c_str()),
            ZAVO_SUCCESS);
  rec.data.Clear();
  Publish(300);
  // Nothing is subscribed now, so no marker can arrive: wait until the
  // session has taken in every datagram instead.
  ASSERT_TRUE(AllProcessed(h));
  EXPECT_EQ(rec.data.Size(), 0u);
  // Everything again; then modes a C caller may pass that mean nothing.
  ASSERT_EQ(ZAVO_UpdateSubscription(h, ZAVO_SUBSCRIBE_ALL, nullptr), ZAVO_SUCCESS);
  EXPECT_EQ(ZAVO_UpdateSubscription(h, static_cast<ZAVO_SUBSCRIPTION_UPDATE>(9), "600000.SH"),
            ZAVO_SUCCESS);
  EXPECT_EQ(ZAVO_UpdateSubscription(h, static_cast<ZAVO_SUBSCRIPTION_UPDATE>(-1), "600000"),
            ZAVO_ERR_INVALID);
  Publish(100);
  EXPECT_TRUE(rec.data.WaitFor([](const std::vector<Seen>& v) { return v.size() > 10; }, kWait));
}

TEST_F(StructSession, DetailsCarryTheirFlagsAndADayChangeClearsTheCaches) {
  StartSim(TestSimConfig(17031));
  SessionRecorders& rec = Recorders(41);
  ZAVO_ERROR err;
  ZAVO_HANDLE h = Open(MakeSetting(*sim_, 41), &err);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_BASEINFO_FINISH, 1, kWait));

  const uint64_t last = Publish(500);
  ASSERT_TRUE(rec.data.WaitFor(
      [&](const std::vector<Seen>& v) { return !v.empty() && v.back().seq == last; }, kWait));
  // With every flag and no filter, every published field arrives, gap-free.
  auto data = rec.data.Snapshot();
  std::set<uint32_t> kinds;
  for (size_t i = 1; i < data.size(); ++i) EXPECT_EQ(data[i].seq, data[i - 1].seq + 1);
  for (const Seen& m : data) kinds.insert(m.type);
  EXPECT_TRUE(kinds.count(ZAVO_MSG_TRADE_DETAIL));
  EXPECT_TRUE(kinds.count(ZAVO_MSG_ORDER_DETAIL) || kinds.count(ZAVO_MSG_SH_ORDER_DETAIL));
  EXPECT_TRUE(kinds.count(ZAVO_MSG_ORDER_QUEUE));

  ZAVO_SecuritySnapShot* snaps = nullptr;
  int n = 0;
  ASSERT_EQ(ZAVO_GetLastMarketData(h, "SH", &snaps, &n), ZAVO_SUCCESS);
  EXPECT_GT(n, 0);
  ZAVO_Free(snaps);

  // A heartbeat of another day empties the caches and the code tables.
  sim_->HeartbeatValueNow(20000101ull * 10000000ull + 93000000ull / 100);
  ASSERT_TRUE(
      sim_->WaitFor([](const sim::SimCounters& c) { return c.heartbeats_feed >= 1; }, kWait));
  // The processing thread empties the snapshots, then the security tables,
  // then the option tables: wait until all of it is done.
  unsigned int count = 1;
  const bool cleared = test::WaitUntil([&] {
    if (ZAVO_GetLastMarketData(h, "SH", &snaps, &n) != ZAVO_SUCCESS) return false;
    ZAVO_Free(snaps);
    ZAVO_CODEINFO* table = nullptr;
    if (ZAVO_GetCodeTable(h, "SH", &table, &count) != ZAVO_SUCCESS) return false;
    ZAVO_Free(table);
    return n == 0 && count == 0;
  });
  EXPECT_TRUE(cleared);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(count, 0u);
}

TEST_F(StructSession, SnapshotsOutsideTheSubscriptionAreStillCached) {
  StartSim(TestSimConfig(17081));
  SessionRecorders& rec = Recorders(91);
  ZAVO_OpenSetting s = MakeSetting(*sim_, 91);
  s.SubscribedCodes = "999999.SH;999999.SZ";  // codes the server never sends
  ZAVO_ERROR err;
  ZAVO_HANDLE h = Open(s, &err);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_BASEINFO_FINISH, 1, kWait));
  Publish(300);
  ZAVO_SecuritySnapShot* snaps = nullptr;
  int n = 0;
  // Once every datagram has been processed, its snapshots are in the
  // cache whether delivered or not.
  ASSERT_TRUE(AllProcessed(h));
  ASSERT_EQ(ZAVO_GetLastMarketData(h, "SZ", &snaps, &n), ZAVO_SUCCESS);
  ZAVO_Free(snaps);
  EXPECT_GE(n, 3);
  ASSERT_EQ(ZAVO_GetLastMarketData(h, "SH", &snaps, &n), ZAVO_SUCCESS);
  EXPECT_GE(n, 1);
  ZAVO_Free(snaps);
  EXPECT_EQ(rec.data.Size(), 0u);  // and nothing was delivered
}

TEST_F(StructSession, RebuildDeliversTheRangeThenTheEnd) {
  StartSim(TestSimConfig(17041));
  SessionRecorders& rec = Recorders(51);
  ZAVO_ERROR err;
  ZAVO_HANDLE h = Open(MakeSetting(*sim_, 51), &err);
  ASSERT_NE(h, nullptr);
  sim_->SkipFeed(40);  // published and kept, but not multicast
  ASSERT_GE(Publish(40), 40u);
  EXPECT_EQ(sim_->Counters().fields_skipped, 40u);
  ASSERT_TRUE(AllProcessed(h));
  EXPECT_EQ(rec.data.Size(), 0u);  // the gap

  EXPECT_EQ(ZAVO_RebuildStructData(h, 5, 5, OnRebuild), ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_RebuildStructData(h, 10, 5, OnRebuild), ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_RebuildStructData(h, 1, 100, nullptr), ZAVO_ERR_INVALID);
  // Accepted only once written, so the simulator's answer may already be
  // on its way: the busy case is covered against a server that holds its
  // answer (lifecycle suite).
  ASSERT_EQ(ZAVO_RebuildStructData(h, 3, 21, OnRebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_REBUILD_FINISH, 1, kWait));
  auto replay = rec.rebuild.Snapshot();
  ASSERT_EQ(replay.size(), 18u);
  for (size_t i = 0; i < replay.size(); ++i) EXPECT_EQ(replay[i].seq, 3 + i);
  const Seen fin = rec.system.Snapshot().back();
  EXPECT_EQ(fin.as<ZAVO_RebuildResult>().BeginSeq, 3u);
  EXPECT_EQ(fin.as<ZAVO_RebuildResult>().EndSeq, 21u);
  EXPECT_EQ(rec.data.Size(), 0u);  // replies never go to the data handler

  // The end made room for the next request.
  ASSERT_EQ(ZAVO_RebuildStructData(h, 30, 41, OnRebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_REBUILD_FINISH, 2, kWait));
  EXPECT_EQ(rec.rebuild.Size(), 18u + 11u);
}

TEST_F(StructSession, ReconnectsAfterADropWithoutASecondEcho) {
  StartSim(TestSimConfig(17051));
  SessionRecorders& rec = Recorders(61);
  ZAVO_ERROR err;
  ZAVO_HANDLE h = Open(MakeSetting(*sim_, 61), &err);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_BASEINFO_FINISH, 1, kWait));
  rec.system.Clear();

  Publish(20);
  sim_->DropConnections();
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_DISCONNECT, 1, kWait));
  // A request made while the connection is down cannot be sent: refused,
  // and it must not leave the session busy once it is back.
  EXPECT_EQ(ZAVO_RebuildStructData(h, 1, 10, OnRebuild), ZAVO_ERR_NETWORK);
  // The connector retries after 5 s; allow generous time.
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_LOGIN, 1, 15000));
  auto seen = rec.system.Snapshot();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[0].type, ZAVO_MSG_DISCONNECT);
  EXPECT_EQ(seen[1].type, ZAVO_MSG_CONNECT);
  EXPECT_EQ(seen[2].type, ZAVO_MSG_LOGIN);
  EXPECT_EQ(seen[2].as<ZAVO_LoginResult>().ErrorID, 0);
  EXPECT_TRUE(
      sim_->WaitFor([](const sim::SimCounters& c) { return c.logins_accepted == 2; }, kWait));
  EXPECT_EQ(sim_->Counters().login_echoes, 1u);
  ASSERT_EQ(ZAVO_RebuildStructData(h, 1, 10, OnRebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(rec.system.WaitForCount(ZAVO_MSG_REBUILD_FINISH, 1, kWait));
  EXPECT_EQ(rec.rebuild.Size(), 9u);

  rec.data.Clear();
  Publish(50);
  EXPECT_TRUE(rec.data.WaitFor([](const std::vector<Seen>& v) { return v.size() >= 50; }, kWait));
}

TEST_F(StructSession, CloseAndWaitLeaveNothingBehindAndSessionsRunSideBySide) {
  StartSim(TestSimConfig(17061));
  sim::SimConfig other_cfg = TestSimConfig(17063);
  other_cfg.group = "239.255.7.2";
  sim::SimServer other(other_cfg);
  ASSERT_EQ(other.Start(), 0);
  // Warm up: the first open starts process-wide pieces (the logger).
  {
    Recorders(70);
    ZAVO_ERROR err;
    const ZAVO_OpenSetting s = MakeSetting(*sim_, 70);
    ZAVO_HANDLE h = ZAVO_Open(&s, &err);
    ASSERT_NE(h, nullptr);
    ZAVO_Close(h);
    ZAVO_Wait(h);
  }
  ASSERT_TRUE(sim_->WaitFor(
      [](const sim::SimCounters& c) { return c.disconnections == c.connections; }, kWait));
  const int threads = ThreadCount();
  const int fds = DescriptorCount();

  SessionRecorders& a = Recorders(71);
  SessionRecorders& b = Recorders(72);
  ZAVO_ERROR err;
  ZAVO_HANDLE ha = Open(MakeSetting(*sim_, 71), &err);
  ZAVO_HANDLE hb = Open(MakeSetting(other, 72), &err);
  ASSERT_NE(ha, nullptr);
  ASSERT_NE(hb, nullptr);
  EXPECT_GT(ThreadCount(), threads);
  Publish(100);
  Publish(100, &other);
  EXPECT_TRUE(a.data.WaitFor([](const std::vector<Seen>& v) { return v.size() >= 100; }, kWait));
  EXPECT_TRUE(b.data.WaitFor([](const std::vector<Seen>& v) { return v.size() >= 100; }, kWait));

  // Closing one leaves the other running.
  CloseAndWait(ha);
  b.data.Clear();
  Publish(50, &other);
  EXPECT_TRUE(b.data.WaitFor([](const std::vector<Seen>& v) { return v.size() >= 50; }, kWait));
  CloseAndWait(hb);
  // The servers close their side of each connection on their own threads.
  auto all_closed = [](const sim::SimCounters& c) { return c.disconnections == c.connections; };
  EXPECT_TRUE(sim_->WaitFor(all_closed, kWait));
  EXPECT_TRUE(other.WaitFor(all_closed, kWait));

  // A server's socket is closed a moment after it counts the disconnection.
  test::WaitUntil([&] { return DescriptorCount() == fds; }, std::chrono::seconds(2));
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_EQ(DescriptorCount(), fds);
  other.Stop();
}

}  // namespace
}  // namespace test
}  // namespace zavo
