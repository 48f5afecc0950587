// zavo_tail and zavo_sim run as processes, inside the suite's private network
// namespace, the way a user runs them: what the client prints, where, and
// with which exit status.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process_helpers.h"
#include "zavo_defaults.h"

namespace {

using namespace tail_test;

std::unique_ptr<Proc> Tail(std::vector<std::string> args,
                           const std::vector<std::pair<std::string, std::string>>& env = {}) {
  return std::make_unique<Proc>(ZAVO_TAIL_BIN, std::move(args), env);
}

const char* const kSystemKinds[] = {"connected", "disconnected", "login", "codetables",
                                    "rebuild_done"};

bool IsSystemLine(const std::string& line) {
  for (const char* k : kSystemKinds) {
    if (line.rfind(std::string("kind=") + k + " ", 0) == 0) return true;
    if (line.rfind(std::string("{\"kind\":\"") + k + "\"", 0) == 0) return true;
  }
  return false;
}

// One simulator for the suite, started with no address option at all: the
// client's defaults must reach it. Both feeds, so raw mode works as well.
class TailProcess : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim_ = new Proc(ZAVO_SIM_BIN, {"--mode", "both", "--rate", "2000", "-q"});
    ASSERT_TRUE(AwaitListening(ZAVO_DEFAULT_SERVER_PORT)) << sim_->Err();
  }
  static void TearDownTestSuite() {
    sim_->Signal(SIGTERM);
    EXPECT_EQ(sim_->Wait(), 0);
    delete sim_;
    sim_ = nullptr;
  }
  static Proc* sim_;
};
Proc* TailProcess::sim_ = nullptr;

TEST_F(TailProcess, DefaultsMeetTheSimulatorAndMaxRecordsIsExact) {
  // JSON on standard output must be nothing but JSON: the library's own
  // lines go to standard error.
  auto t = Tail({"--format", "json", "--max-records", "7"});
  ASSERT_EQ(t->Wait(), 0) << t->Err();
  int records = 0;
  for (const std::string& line : Lines(t->Out())) {
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.front(), '{') << line;
    EXPECT_EQ(line.back(), '}') << line;
    if (!IsSystemLine(line)) ++records;
  }
  EXPECT_EQ(records, 7) << t->Out();
  EXPECT_TRUE(Contains(t->Err(), "UdpMulticaseReceiver")) << t->Err();
  EXPECT_TRUE(Contains(t->Err(), "closed after 7 records")) << t->Err();

  // Raw mode takes the raw feed's port on its own. A misspelt idle
  // strategy is named in the log with the accepted values.
  auto r = Tail({"--raw", "--max-records", "3", "--summary"}, {{"ZAVO_IDLE_STRATEGY", "sleepy"}});
  ASSERT_EQ(r->Wait(), 0) << r->Err();
  EXPECT_TRUE(Contains(r->Out(), "records by kind: raw=3\n")) << r->Out();
  const std::string log = r->Log();
  EXPECT_TRUE(Contains(log,
                       "ZAVO_IDLE_STRATEGY=sleepy is not a known idle strategy (accepted: "
                       "spin, backoff); using backoff"))
      << log;
  EXPECT_FALSE(Contains(t->Log(), "ZAVO_IDLE_STRATEGY")) << t->Log();
}

TEST_F(TailProcess, GapsAreReportedOnlyWhereTheyMeanLoss) {
  // The feed is lossless here: an unfiltered session sees no gap, and a
  // filtered one reports its holes as such, never as gaps. One after the
  // other: a group and port is received by one session per host.
  auto all = Tail({"--format", "none", "--duration", "1.5", "--summary"});
  ASSERT_EQ(all->Wait(), 0) << all->Err();
  auto sz = Tail({"--format", "none", "--duration", "1.5", "--summary", "--markets", "SZ",
                  "--flags", "trade", "--status"});
  ASSERT_EQ(sz->Wait(), 0) << sz->Err();
  EXPECT_TRUE(Contains(all->Out(), "gaps: 0  missing sequence numbers: 0")) << all->Out();
  EXPECT_FALSE(Contains(sz->Out(), "gaps:")) << sz->Out();
  EXPECT_TRUE(Contains(sz->Out(), "sequence holes: ")) << sz->Out();
  EXPECT_TRUE(Contains(sz->Out(), "filtered session")) << sz->Out();
  EXPECT_TRUE(Contains(sz->Out(), " trade=")) << sz->Out();
  EXPECT_FALSE(Contains(sz->Out(), " order=")) << sz->Out();
  EXPECT_FALSE(Contains(sz->Out(), " queue=")) << sz->Out();
  // The status line: only on request when standard error is no terminal.
  EXPECT_FALSE(Contains(all->Err(), "[status]")) << all->Err();
  EXPECT_TRUE(Contains(sz->Err(), "[status]")) << sz->Err();
  EXPECT_TRUE(Contains(sz->Err(), "(filtered)")) << sz->Err();
}

TEST_F(TailProcess, CsvHasAHeaderPerKindAndOnlyRecords) {
  auto t = Tail({"--format", "csv", "--max-records", "300"});
  ASSERT_EQ(t->Wait(), 0) << t->Err();
  std::map<std::string, size_t> columns;  // kind -> number of columns of its header
  int records = 0;
  for (const std::string& line : Lines(t->Out())) {
    std::vector<std::string> cells;
    std::stringstream s(line);
    std::string cell;
    while (std::getline(s, cell, ',')) cells.push_back(cell);
    ASSERT_FALSE(cells.empty());
    if (cells[0] == "kind") {
      ASSERT_GE(cells.size(), 4u) << line;
      EXPECT_EQ(cells[1], "seq");
      continue;  // the header of the record that follows
    }
    ++records;
    // Every record follows its kind's header and has exactly its columns.
    const size_t n = cells.size() + (line.back() == ',' ? 1 : 0);
    auto it = columns.find(cells[0]);
    if (it == columns.end()) {
      const std::vector<std::string> all = Lines(t->Out());
      size_t i = 0;
      while (i < all.size() && all[i] != line) ++i;
      ASSERT_GT(i, 0u) << line;
      const std::string& header = all[i - 1];
      ASSERT_EQ(header.rfind("kind,", 0), 0u) << "no header before the first " << cells[0];
      it = columns.emplace(cells[0], std::count(header.begin(), header.end(), ',') + 1).first;
    }
    EXPECT_EQ(n, it->second) << line;
  }
  EXPECT_EQ(records, 300);
  EXPECT_GE(columns.size(), 3u);
  EXPECT_TRUE(Contains(t->Err(), "[event] kind=login")) << t->Err();
}

TEST_F(TailProcess, BookCheckAgreesAndTheLadderFollowsOneStock) {
  // The simulator's stocks trade through its matching engines by default:
  // once the books caught up with the snapshots (the client joins the feed
  // late, so the first snapshot of each stock resynchronises its book),
  // every snapshot must agree with the book built from the details.
  auto check = Tail({"--book-check", "--format", "none", "--duration", "2.5"});
  ASSERT_EQ(check->Wait(), 0) << check->Err();
  const std::string err = check->Err();
  const std::string mark = "book/snapshot agreement: ";
  const size_t last = err.rfind(mark);
  ASSERT_NE(last, std::string::npos) << err;
  unsigned long long agreed = 0, snapshots = 0, disagreed = 99;
  ASSERT_EQ(std::sscanf(err.c_str() + last + mark.size(), "%llu of %llu snapshots (%llu disagreed",
                        &agreed, &snapshots, &disagreed),
            3)
      << err.substr(last);
  EXPECT_GT(agreed, 0u) << err.substr(last);
  EXPECT_LE(agreed, snapshots);
  EXPECT_EQ(disagreed, 0u) << err.substr(last);
  EXPECT_TRUE(check->Out().empty()) << check->Out();

  // The ladder as JSON: every line on standard output is one state of the
  // named stock's book, each side best price first. (A Shenzhen order that
  // crosses is published before its trades, so a state may be locked or
  // crossed for a moment: that is not checked.)
  auto ladder = Tail({"--book", "000149.sz", "--format", "json", "--duration", "1.5"});
  ASSERT_EQ(ladder->Wait(), 0) << ladder->Err();
  // The prices of one side's [price,volume,orders] triples.
  auto prices = [](const std::string& line, const char* side) {
    std::vector<long long> out;
    size_t at = line.find(side);
    if (at == std::string::npos) return out;
    at += std::strlen(side);
    long long p = 0;
    int used = 0;
    while (at < line.size() && line[at] == '[' && (used = 0) == 0 &&
           std::sscanf(line.c_str() + at + 1, "%lld,%*[0-9],%*[0-9]]%n", &p, &used) == 1 &&
           used > 0) {
      out.push_back(p);
      at += 1 + static_cast<size_t>(used);
      if (at < line.size() && line[at] == ',') ++at;
    }
    return out;
  };
  int states = 0;
  size_t deepest = 0;
  for (const std::string& line : Lines(ladder->Out())) {
    ASSERT_EQ(line.rfind("{\"book\":\"000149.SZ\",\"change\":", 0), 0u) << line;
    EXPECT_EQ(line.back(), '}') << line;
    const std::vector<long long> bids = prices(line, "\"bids\":[");
    const std::vector<long long> asks = prices(line, "\"asks\":[");
    EXPECT_LE(bids.size(), 10u);
    EXPECT_LE(asks.size(), 10u);
    EXPECT_TRUE(std::is_sorted(bids.rbegin(), bids.rend()) &&
                std::adjacent_find(bids.begin(), bids.end()) == bids.end())
        << line;
    EXPECT_TRUE(std::is_sorted(asks.begin(), asks.end()) &&
                std::adjacent_find(asks.begin(), asks.end()) == asks.end())
        << line;
    deepest = std::max(deepest, bids.size() + asks.size());
    ++states;
  }
  EXPECT_GT(states, 0) << ladder->Err();
  EXPECT_GT(deepest, 2u) << ladder->Out();
}

TEST(TailRecover, ALossyFeedIsDeliveredWholeAndTheCountersSaySo) {
  // Its own simulator, losing datagrams and bursts of them, on addresses
  // of its own.
  Proc sim(ZAVO_SIM_BIN,
           {"--listen", "127.0.0.1:6630", "--group", "239.255.6.1:6631", "--raw-port", "6632",
            "--rate", "2000", "--loss", "0.02", "--burst", "2:100", "--seed", "7", "-q"});
  ASSERT_TRUE(AwaitListening(6630)) << sim.Err();
  Proc t(ZAVO_TAIL_BIN, {"--server", "127.0.0.1:6630", "--group", "239.255.6.1:6631", "--recover",
                         "--summary", "--format", "json", "--status", "--duration", "2.5"});
  ASSERT_EQ(t.Wait(), 0) << t.Err();
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
  const std::string err = t.Err();
  // Every number arrived, in order: no gap in what the handler saw, no
  // range reported lost, and the library recovered what the feed lost.
  EXPECT_TRUE(Contains(err, "gaps: 0  missing sequence numbers: 0")) << err;
  EXPECT_FALSE(Contains(err, "lost ranges reported")) << err;
  const size_t health = err.rfind("feed health: ");
  ASSERT_NE(health, std::string::npos) << err;
  unsigned long long missing = 0, recovered = 0, lost = 99;
  const char* h = err.c_str() + health;
  ASSERT_NE(std::strstr(h, "missing="), nullptr);
  std::sscanf(std::strstr(h, "missing="), "missing=%llu recovered=%llu lost=%llu", &missing,
              &recovered, &lost);
  EXPECT_GT(missing, 0u) << err.substr(health);
  EXPECT_EQ(recovered, missing) << err.substr(health);
  EXPECT_EQ(lost, 0u);
  EXPECT_TRUE(Contains(err, "| feed datagrams=")) << err;  // the status line
  // JSON lines: the counters once a second among the records.
  EXPECT_TRUE(Contains(t.Out(), "{\"kind\":\"feed_stats\"")) << t.Out().substr(0, 2000);
}

TEST(TailUsage, BadOptionsAreUsageErrorsNamingTheOption) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--server", "nonsense"}, "--server"},
      {{"--server", "127.0.0.1:99999"}, "--server"},
      {{"--group", "10.1.1.1:5000"}, "--group"},
      {{"--interface", "eth0"}, "--interface"},
      {{"--raw", "--codes", "600001.SH"}, "--codes"},
      {{"--raw", "--flags", "trade"}, "--flags"},
      {{"--raw", "--query"}, "--query"},
      {{"--raw", "--book-check"}, "--book-check"},
      {{"--raw", "--recover"}, "--recover"},
      {{"--book", "600000.HK"}, "--book"},
      {{"--book", "600000", "--format", "csv"}, "--book"},
      {{"--raw-out", "x.bin"}, "--raw-out"},
      {{"--rebuild-market", "SZ"}, "--rebuild-market"},
      {{"--max-records", "-1"}, "--max-records"},
      {{"--status", "--no-status"}, "--status"},
      {{"--frobnicate"}, "--frobnicate"},
  };
  for (const auto& c : cases) {
    auto t = Tail(c.first);
    EXPECT_EQ(t->Wait(), 2) << c.second << ": " << t->Err();
    EXPECT_TRUE(Contains(t->Err(), c.second)) << t->Err();
    EXPECT_TRUE(t->Out().empty()) << t->Out();
  }
  Proc sim(ZAVO_SIM_BIN, {"--listen", "nonsense"});
  EXPECT_EQ(sim.Wait(), 2);
  EXPECT_TRUE(Contains(sim.Err(), "--listen")) << sim.Err();

  auto help = Tail({"--help"});
  EXPECT_EQ(help->Wait(), 0);
  EXPECT_TRUE(Contains(help->Out(), "--server IP:PORT=127.0.0.1:6600")) << help->Out();
}

TEST(TailLogin, RefusedLoginPrintsTheServersReason) {
  Proc sim(ZAVO_SIM_BIN,
           {"--listen", "127.0.0.1:6610", "--refuse", "1003:user or password error", "-q"});
  ASSERT_TRUE(AwaitListening(6610)) << sim.Err();
  auto t = Tail({"--server", "127.0.0.1:6610"});
  EXPECT_EQ(t->Wait(), 1) << t->Err();
  EXPECT_TRUE(
      Contains(t->Err(), "login refused by the server: error=1003 message=user or password error"))
      << t->Err();
  EXPECT_FALSE(Contains(t->Err(), "network error")) << t->Err();
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);

  // With the simulator gone nothing listens there: the library's reason
  // is what the user reads.
  auto none = Tail({"--server", "127.0.0.1:6610"});
  EXPECT_EQ(none->Wait(), 1) << none->Err();
  EXPECT_TRUE(Contains(none->Err(),
                       "zavo_tail: cannot open the session: connecting to 127.0.0.1:6610 failed: "
                       "connection refused (-99)"))
      << none->Err();
}

TEST(TailLogin, CtrlCWhileLoggingInExitsPromptlyWith130) {
  // A server that never answers the login: opening would block for 15 s.
  Proc sim(ZAVO_SIM_BIN, {"--listen", "127.0.0.1:6611", "--silent-login"});
  ASSERT_TRUE(AwaitListening(6611)) << sim.Err();
  auto t = Tail({"--server", "127.0.0.1:6611"});
  ASSERT_TRUE(sim.AwaitOutput("left unanswered")) << sim.Out();
  const auto start = Clock::now();
  t->Signal(SIGINT);
  EXPECT_EQ(t->Wait(5), 130) << t->Err();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 2.0);
  EXPECT_TRUE(Contains(t->Err(), "interrupted while opening")) << t->Err();
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
}

}  // namespace
