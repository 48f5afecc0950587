// The agreement check end to end: the simulator's book-mode feed over
// multicast, a struct session through the public C interface feeding a
// book from its data handler, and every security snapshot compared.
//
// The short run paces the feed by what the session has delivered, so that
// no datagram is lost and the result must be exact. ZAVO_BOOK_E2E_SECONDS
// and ZAVO_BOOK_E2E_RATE turn on a timed run at a fixed rate as well
// (fields per second), which reports its figures and tolerates only losses
// that the book reports as gaps.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim_server.h"
#include "zavo_api.h"
#include "zavo_book.h"

namespace zavo {
namespace test {
namespace {

// The data handler runs on the session's processing thread; the test
// reads the book from its own.
struct Shared {
  std::mutex mu;
  std::condition_variable cv;
  zavo_book* book = nullptr;
  uint64_t received = 0;
};
Shared g_shared;

void OnData(void*, const ZAVO_MSG* msg) {
  std::lock_guard<std::mutex> lock(g_shared.mu);
  zavo_book_apply(g_shared.book, msg);
  g_shared.received += 1;
  g_shared.cv.notify_all();
}

void OnSystem(void*, const ZAVO_MSG*) {}

// Resent fields go to the same book, from the event loop thread.
void OnRebuild(void*, const ZAVO_MSG* msg) {
  OnData(nullptr, msg);
}

class BookEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(g_shared.mu);
    g_shared.book = zavo_book_new(ZAVO_BOOK_HOLD_GAPS);
    g_shared.received = 0;
  }
  void TearDown() override {
    if (handle_ != nullptr) {
      ZAVO_Close(handle_);
      ZAVO_Wait(handle_);
    }
    if (sim_) sim_->Stop();
    std::lock_guard<std::mutex> lock(g_shared.mu);
    zavo_book_free(g_shared.book);
    g_shared.book = nullptr;
  }

  void Start(int port, uint32_t extra_flags = 0) {
    sim::SimConfig cfg;
    cfg.listen_port = 0;
    cfg.group = "239.255.8.1";
    cfg.port = port;
    cfg.raw_port = port + 1;
    cfg.rate = 0;  // the test publishes
    cfg.raw_rate = 0;
    cfg.heartbeat_ms = 3600 * 1000;
    cfg.book_model = true;
    cfg.seed = 5;
    sim_ = std::make_unique<sim::SimServer>(cfg);
    std::string why;
    ASSERT_EQ(sim_->Start(&why), 0) << why;

    ZAVO_OpenSetting s;
    std::memset(&s, 0, sizeof s);
    s.ConnectID = 1;
    std::strcpy(s.MulticastIP, cfg.group.c_str());
    s.MulticastPort = static_cast<uint16_t>(cfg.port);
    std::strcpy(s.LocalIP, "127.0.0.1");
    std::strcpy(s.ServerIP, "127.0.0.1");
    s.ServerPort = static_cast<uint16_t>(sim_->ListenPort());
    std::strcpy(s.UserName, "book");
    std::strcpy(s.Password, "book");
    s.DataHandler = OnData;
    s.SystemHandler = OnSystem;
    s.SubscribeFlags =
        ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_DETAIL | ZAVO_FLAG_ORDER_QUEUE | extra_flags;
    s.CpuID = -1;
    ZAVO_ERROR err = ZAVO_ERR_INVALID;
    handle_ = ZAVO_Open(&s, &err);
    ASSERT_NE(handle_, nullptr) << "open failed: " << err;
  }

  bool WaitReceived(uint64_t n, int timeout_ms) {
    std::unique_lock<std::mutex> lock(g_shared.mu);
    return g_shared.cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [&] { return g_shared.received >= n; });
  }

  zavo_book_totals_info Totals() {
    std::lock_guard<std::mutex> lock(g_shared.mu);
    zavo_book_totals_info t;
    zavo_book_totals(g_shared.book, &t);
    return t;
  }

  std::unique_ptr<sim::SimServer> sim_;
  ZAVO_HANDLE handle_ = nullptr;
};

void Report(const char* what, const zavo_book_totals_info& t, double seconds) {
  std::printf(
      "%s: %.1f s, %llu messages, %llu details, book/snapshot agreement: %llu of %llu snapshots"
      " (%llu disagreed, %llu while stale), %llu gaps (%llu fields missing), %llu resyncs,"
      " %llu unknown orders, %u securities (%u stale), %llu orders resting\n",
      what, seconds, static_cast<unsigned long long>(t.messages),
      static_cast<unsigned long long>(t.details), static_cast<unsigned long long>(t.agreements),
      static_cast<unsigned long long>(t.snapshots),
      static_cast<unsigned long long>(t.disagreements),
      static_cast<unsigned long long>(t.stale_snapshots), static_cast<unsigned long long>(t.gaps),
      static_cast<unsigned long long>(t.missing), static_cast<unsigned long long>(t.resyncs),
      static_cast<unsigned long long>(t.unknown_refs), t.securities, t.stale,
      static_cast<unsigned long long>(t.resting_orders));
  std::fflush(stdout);
}

TEST_F(BookEndToEnd, EverySnapshotAgreesWithTheBookBuiltFromTheFeed) {
  Start(17201);
  if (HasFatalFailure()) return;
  auto t0 = std::chrono::steady_clock::now();
  const unsigned kBatch = 400, kBatches = 100;
  for (unsigned b = 1; b <= kBatches; ++b) {
    sim_->PublishNow(kBatch);
    ASSERT_TRUE(WaitReceived(uint64_t{b} * kBatch, 10000)) << "batch " << b;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  zavo_book_totals_info t = Totals();
  Report("paced run", t, secs);
  EXPECT_EQ(t.messages, uint64_t{kBatch} * kBatches);
  EXPECT_EQ(t.gaps, 0u);
  EXPECT_GT(t.snapshots, 5000u);
  EXPECT_EQ(t.agreements, t.snapshots);
  EXPECT_EQ(t.disagreements, 0u);
  EXPECT_EQ(t.stale_snapshots, 0u);
  EXPECT_EQ(t.unknown_refs, 0u);
  EXPECT_EQ(t.securities, 40u);  // both exchanges' stocks
  EXPECT_GT(t.untracked, 0u);    // options have snapshots but no details
  for (const char* code : {"600001", "000001"}) {
    char ex = code[0] == '6' ? '1' : '2';
    std::lock_guard<std::mutex> lock(g_shared.mu);
    zavo_book_level lv[10];
    EXPECT_GT(zavo_book_levels(g_shared.book, code, ex, ZAVO_BOOK_BID, lv, 10), 0) << code;
    zavo_book_check_info ci;
    ASSERT_EQ(zavo_book_check(g_shared.book, code, ex, &ci), 1) << code;
    EXPECT_GT(ci.agreements, 0u);
    EXPECT_EQ(ci.diff_side, -1);
  }
}

TEST_F(BookEndToEnd, LostDatagramsAreResentAndTheBookStaysExact) {
  Start(17221);
  if (HasFatalFailure()) return;
  sim_->PublishNow(3000);
  ASSERT_TRUE(WaitReceived(3000, 10000));
  // Published and kept for retransmission, but never multicast.
  sim_->SkipFeed(250);
  sim_->PublishNow(250);
  for (unsigned b = 0; b < 10; ++b) sim_->PublishNow(300);
  // Everything after the gap is held until the range is resent.
  uint64_t begin = 0, end = 0;
  for (int i = 0; i < 1000; ++i) {
    {
      std::lock_guard<std::mutex> lock(g_shared.mu);
      if (zavo_book_pending_gap(g_shared.book, &begin, &end) == 1) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(begin, 3001u);
  ASSERT_EQ(end, 3251u);
  ASSERT_EQ(ZAVO_RebuildStructData(handle_, begin, end, OnRebuild), ZAVO_SUCCESS);
  ASSERT_TRUE(WaitReceived(6250, 10000));
  zavo_book_totals_info t = Totals();
  Report("resent run", t, 0);
  EXPECT_EQ(t.gaps, 1u);
  EXPECT_EQ(t.filled, 1u);
  EXPECT_EQ(t.held, 0u);
  EXPECT_EQ(t.stale, 0u);
  EXPECT_GT(t.snapshots, 500u);
  EXPECT_EQ(t.agreements, t.snapshots);
  EXPECT_EQ(t.unknown_refs, 0u);
}

TEST_F(BookEndToEnd, ARecoveringSessionKeepsAPlainBookExact) {
  // No holding in the book: the session recovers the loss itself and
  // delivers the resent fields in their place.
  {
    std::lock_guard<std::mutex> lock(g_shared.mu);
    zavo_book_free(g_shared.book);
    g_shared.book = zavo_book_new(0);
  }
  Start(17241, ZAVO_FLAG_RECOVER_GAPS);
  if (HasFatalFailure()) return;
  sim_->PublishNow(2000);
  ASSERT_TRUE(WaitReceived(2000, 10000));
  sim_->SkipFeed(250);  // kept for retransmission, never multicast
  sim_->PublishNow(250);
  for (unsigned b = 0; b < 10; ++b) sim_->PublishNow(300);
  ASSERT_TRUE(WaitReceived(5250, 10000));
  zavo_book_totals_info t = Totals();
  Report("recovered run", t, 0);
  EXPECT_EQ(t.messages, 5250u);  // every field once, no lost range
  EXPECT_EQ(t.gaps, 0u);
  EXPECT_EQ(t.late, 0u);
  EXPECT_EQ(t.stale, 0u);
  EXPECT_GT(t.snapshots, 400u);
  EXPECT_EQ(t.agreements, t.snapshots);
  EXPECT_EQ(t.unknown_refs, 0u);
}

TEST_F(BookEndToEnd, TimedRunAtAFixedRate) {
  const char* secs_env = std::getenv("ZAVO_BOOK_E2E_SECONDS");
  if (secs_env == nullptr) GTEST_SKIP() << "set ZAVO_BOOK_E2E_SECONDS (and ZAVO_BOOK_E2E_RATE)";
  double seconds = std::min(std::max(std::atof(secs_env), 1.0), 3600.0);
  const char* rate_env = std::getenv("ZAVO_BOOK_E2E_RATE");
  unsigned rate = rate_env ? static_cast<unsigned>(std::atoi(rate_env)) : 20000;
  rate = std::min(std::max(rate, 100u), 200000u);
  {
    // Nobody asks for retransmissions here: a lost datagram is a gap that
    // the next snapshots resynchronise, and is reported as such.
    std::lock_guard<std::mutex> lock(g_shared.mu);
    zavo_book_free(g_shared.book);
    g_shared.book = zavo_book_new(0);
  }
  Start(17211);
  if (HasFatalFailure()) return;
  // Every 10 ms what is owed by then; the clock is the subject here.
  auto t0 = std::chrono::steady_clock::now();
  uint64_t sent = 0;
  int next_report = 10;
  for (;;) {
    double el = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (el >= seconds) break;
    uint64_t owed = static_cast<uint64_t>(el * rate);
    if (owed > sent) {
      sim_->PublishNow(static_cast<unsigned>(owed - sent));
      sent = owed;
    }
    if (el >= next_report) {
      Report("timed run so far", Totals(), el);
      next_report += 10;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Whatever is still in flight: wait until the published fields are in,
  // or until a second passes without progress (a lost datagram).
  uint64_t published = sim_->Counters().fields_published;
  uint64_t seen = 0;
  while (!WaitReceived(published, 1000)) {
    uint64_t now = Totals().messages;
    if (now == seen) break;
    seen = now;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  zavo_book_totals_info t = Totals();
  Report("timed run", t, secs);
  EXPECT_GT(t.snapshots, 0u);
  EXPECT_EQ(t.disagreements, 0u);
  if (t.gaps == 0) {
    EXPECT_EQ(t.agreements, t.snapshots);
  }
}

}  // namespace
}  // namespace test
}  // namespace zavo
