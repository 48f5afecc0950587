// Ending a session, seen by a user of the C interface, in both modes:
// ZAVO_Close from many threads at once, from inside every kind of handler,
// and while a data handler keeps calling into the session.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_server.h"
#include "support/wait_until.h"
#include "zavo_api.h"

namespace zavo {
namespace {

constexpr int kWaitMs = 8000;

// What the handlers do; set by a test before it opens a session.
enum Action { kRecord = 0, kCloseInData, kCloseInSystem, kCloseInRebuild, kCallEverything };

struct Shared {
  std::atomic<int> action{kRecord};
  std::atomic<int> data{0};
  std::atomic<int> system_disconnects{0};
  std::atomic<int> rebuild_records{0};
  std::atomic<int> closes_from_handler{0};
  std::atomic<int> calls{0};
  std::mutex mu;
  std::condition_variable cv;

  void Reset(Action a) {
    action = a;
    data = 0;
    system_disconnects = 0;
    rebuild_records = 0;
    closes_from_handler = 0;
    calls = 0;
  }
  void Notify() {
    std::lock_guard<std::mutex> l(mu);
    cv.notify_all();
  }
  template <class Pred>
  bool WaitFor(Pred p, int ms = kWaitMs) {
    std::unique_lock<std::mutex> l(mu);
    return cv.wait_for(l, std::chrono::milliseconds(ms), p);
  }
};
Shared g;

void close_from_handler(void* h) {
  ZAVO_Close(h);
  // A second close from the same handler is as harmless as the first.
  ZAVO_Close(h);
  ++g.closes_from_handler;
  g.Notify();
}

void on_rebuild(void* h, const ZAVO_MSG*) {
  ++g.rebuild_records;
  if (g.action == kCloseInRebuild && g.closes_from_handler == 0) close_from_handler(h);
  g.Notify();
}

// Every call the interface offers, as a data handler might make them.
void call_everything(void* h, bool raw) {
  if (raw) {
    (void)ZAVO_RebuildRawData(h, '1', 1, 2, on_rebuild);
  } else {
    (void)ZAVO_RebuildStructData(h, 1, 2, on_rebuild);
    (void)ZAVO_UpdateSubscription(h, ZAVO_SUBSCRIBE_ADD, "600000.SH");
    ZAVO_SecuritySnapShot* snaps = nullptr;
    int n = 0;
    if (ZAVO_GetLastMarketData(h, "SH", &snaps, &n) == ZAVO_SUCCESS) ZAVO_Free(snaps);
    ZAVO_IndexSnapShot* idx = nullptr;
    if (ZAVO_GetLastIndexData(h, "SZ", &idx, &n) == ZAVO_SUCCESS) ZAVO_Free(idx);
    ZAVO_FutureSnapShot* fut = nullptr;
    if (ZAVO_GetLastFutureData(h, "SH", &fut, &n) == ZAVO_SUCCESS) ZAVO_Free(fut);
    ZAVO_CODEINFO* table = nullptr;
    unsigned count = 0;
    if (ZAVO_GetCodeTable(h, "SH", &table, &count) == ZAVO_SUCCESS) ZAVO_Free(table);
    ZAVO_OPTION_CODEINFO info;
    (void)ZAVO_GetOptionCodeInfo(h, "10000001.SH", &info);
  }
  ++g.calls;
}

void on_data(void* h, const ZAVO_MSG* m) {
  ++g.data;
  const int a = g.action;
  if (a == kCloseInData && g.closes_from_handler == 0) close_from_handler(h);
  if (a == kCallEverything) call_everything(h, m->MsgType == ZAVO_MSG_RAW_DATA);
  g.Notify();
}

void on_system(void* h, const ZAVO_MSG* m) {
  if (m->MsgType == ZAVO_MSG_DISCONNECT) {
    ++g.system_disconnects;
    if (g.action == kCloseInSystem && g.closes_from_handler == 0) close_from_handler(h);
  }
  g.Notify();
}

// Runs ZAVO_Wait on another thread and gives it a bound: a session that
// cannot end would otherwise hang the whole suite.
void wait_bounded(ZAVO_HANDLE h) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread t([h, done] {
    ZAVO_Wait(h);
    *done = true;
  });
  if (!test::WaitUntil([&] { return done->load(); }, std::chrono::milliseconds(kWaitMs))) {
    std::fprintf(stderr, "ZAVO_Wait did not return within %d ms\n", kWaitMs);
    std::fflush(stderr);
    std::abort();
  }
  t.join();
}

struct Mode {
  bool raw;
  const char* name;
};

class Lifecycle : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    sim::SimConfig cfg;
    cfg.listen_port = 0;
    cfg.group = "239.255.9.1";
    cfg.port = 17301 + (GetParam().raw ? 10 : 0);
    cfg.raw_port = cfg.port + 1;
    cfg.feed_mode = sim::FeedMode::kBoth;
    cfg.rate = 0;
    cfg.raw_rate = 0;
    cfg.heartbeat_ms = 3600 * 1000;
    cfg.sh_securities = 4;
    cfg.sz_securities = 4;
    cfg.sh_options = 2;
    cfg.sz_options = 2;
    sim_ = std::make_unique<sim::SimServer>(cfg);
    std::string why;
    ASSERT_EQ(sim_->Start(&why), 0) << why;
  }
  void TearDown() override {
    sim_->Stop();
    g.Reset(kRecord);
  }

  ZAVO_HANDLE Open() {
    ZAVO_ERROR err = ZAVO_ERR_BUSY;
    ZAVO_HANDLE h = nullptr;
    if (GetParam().raw) {
      ZAVO_RawOpenSetting s;
      std::memset(&s, 0, sizeof(s));
      fill_common(&s);
      s.MulticastPort = static_cast<uint16_t>(sim_->config().raw_port);
      s.SubscribedMarkets = "SH;SZ";
      h = ZAVO_OpenRaw(&s, &err);
    } else {
      ZAVO_OpenSetting s;
      std::memset(&s, 0, sizeof(s));
      fill_common(&s);
      s.MulticastPort = static_cast<uint16_t>(sim_->config().port);
      s.SubscribeFlags = ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_DETAIL | ZAVO_FLAG_ORDER_QUEUE;
      h = ZAVO_Open(&s, &err);
    }
    EXPECT_EQ(err, ZAVO_SUCCESS);
    return h;
  }

  template <class S>
  void fill_common(S* s) {
    s->ConnectID = 5;
    std::snprintf(s->MulticastIP, sizeof(s->MulticastIP), "%s", sim_->config().group.c_str());
    std::snprintf(s->LocalIP, sizeof(s->LocalIP), "127.0.0.1");
    std::snprintf(s->ServerIP, sizeof(s->ServerIP), "127.0.0.1");
    s->ServerPort = static_cast<uint16_t>(sim_->ListenPort());
    std::snprintf(s->UserName, sizeof(s->UserName), "tester");
    std::snprintf(s->Password, sizeof(s->Password), "secret");
    s->DataHandler = on_data;
    s->SystemHandler = on_system;
    s->CpuID = -1;
  }

  void Publish(unsigned n) {
    if (GetParam().raw) {
      sim_->PublishRawNow(1, n);
    } else {
      sim_->PublishNow(n);
    }
  }

  ZAVO_ERROR Rebuild(ZAVO_HANDLE h, uint64_t begin, uint64_t end) {
    return GetParam().raw ? ZAVO_RebuildRawData(h, '1', begin, end, on_rebuild)
                          : ZAVO_RebuildStructData(h, begin, end, on_rebuild);
  }

  std::unique_ptr<sim::SimServer> sim_;
};

// Two and eight threads close one session at the same moment, repeatedly;
// every close returns and the wait that follows ends the session.
TEST_P(Lifecycle, ConcurrentCloses) {
  for (int threads : {2, 8}) {
    for (int round = 0; round < 4; ++round) {
      ZAVO_HANDLE h = Open();
      ASSERT_NE(h, nullptr);
      std::atomic<int> ready{0};
      std::atomic<bool> go{false};
      std::vector<std::thread> closers;
      for (int i = 0; i < threads; ++i) {
        closers.emplace_back([&] {
          ++ready;
          while (!go) std::this_thread::yield();
          ZAVO_Close(h);
        });
      }
      while (ready < threads) std::this_thread::yield();
      go = true;
      for (std::thread& t : closers) t.join();
      ZAVO_Close(h);  // and once more, after all of them
      wait_bounded(h);
    }
  }
}

// ZAVO_Close from inside the data, the system and the rebuild handler
// returns, and a later ZAVO_Wait from another thread ends the session.
TEST_P(Lifecycle, CloseFromEveryHandlerKind) {
  {
    g.Reset(kCloseInData);
    ZAVO_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    Publish(4);
    ASSERT_TRUE(g.WaitFor([] { return g.closes_from_handler > 0; })) << "data handler";
    wait_bounded(h);
  }
  {
    g.Reset(kCloseInSystem);
    ZAVO_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    sim_->DropConnections();
    ASSERT_TRUE(g.WaitFor([] { return g.closes_from_handler > 0; })) << "system handler";
    wait_bounded(h);
  }
  {
    g.Reset(kCloseInRebuild);
    ZAVO_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    Publish(6);
    ASSERT_TRUE(g.WaitFor([] { return g.data >= 1; }));
    ASSERT_EQ(Rebuild(h, 1, 3), ZAVO_SUCCESS);
    ASSERT_TRUE(g.WaitFor([] { return g.closes_from_handler > 0; })) << "rebuild handler";
    wait_bounded(h);
  }
}

// A data handler calls every function of the interface while another
// thread closes and waits: nothing it reaches may be freed under it.
TEST_P(Lifecycle, HandlerCallsRaceCloseAndWait) {
  for (int round = 0; round < 12; ++round) {
    g.Reset(kCallEverything);
    ZAVO_HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    Publish(40);
    ASSERT_TRUE(g.WaitFor([] { return g.calls >= 1; }));
    Publish(40);
    // Closed while the handler is (most likely) still inside its calls.
    ZAVO_Close(h);
    wait_bounded(h);
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, Lifecycle,
                         ::testing::Values(Mode{false, "Struct"}, Mode{true, "Raw"}),
                         [](const ::testing::TestParamInfo<Mode>& i) { return i.param.name; });

}  // namespace
}  // namespace zavo
