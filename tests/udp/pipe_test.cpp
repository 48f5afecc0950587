// Hand-off pipe and idle strategy.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "net/data_pipe.h"
#include "net/idle_strategy.h"
#include "net/spsc_pipe.h"

namespace zavo {
namespace {

void* as_item(uintptr_t v) {
  return reinterpret_cast<void*>(v);
}

TEST(MpmcPipe, FifoAcrossBlocksWithCountsAndNullItems) {
  std::unique_ptr<MpmcPipe> pipe(MpmcPipe::Create());
  void* out = as_item(0xdead);
  EXPECT_FALSE(pipe->Dequeue(&out));
  EXPECT_EQ(out, as_item(0xdead)) << "an empty dequeue must leave the output alone";
  EXPECT_EQ(pipe->ApproxSize(), 0u);

  // Enough items to cross several internal blocks, with a null in between.
  const uintptr_t n = 3 * MpmcPipeImp<std::mutex>::kBlockSlots + 17;
  for (uintptr_t i = 1; i <= n; ++i) ASSERT_TRUE(pipe->Enqueue(i == 300 ? nullptr : as_item(i)));
  EXPECT_EQ(pipe->ApproxSize(), n);
  const uintptr_t m = 2 * MpmcPipeImp<std::mutex>::kBlockSlots + 5;
  for (uintptr_t i = 1; i <= m; ++i) {
    ASSERT_TRUE(pipe->Dequeue(&out));
    ASSERT_EQ(out, i == 300 ? nullptr : as_item(i));
  }
  EXPECT_EQ(pipe->ApproxSize(), n - m);
  ASSERT_TRUE(pipe->Dequeue(&out));
  EXPECT_EQ(out, as_item(m + 1));

  // Refill after draining: recycled blocks keep the order.
  while (pipe->Dequeue(&out)) {
  }
  EXPECT_EQ(pipe->ApproxSize(), 0u);
  for (uintptr_t i = 1; i <= n; ++i) pipe->Enqueue(as_item(i));
  for (uintptr_t i = 1; i <= n; ++i) {
    ASSERT_TRUE(pipe->Dequeue(&out));
    ASSERT_EQ(out, as_item(i));
  }
  EXPECT_FALSE(pipe->Dequeue(&out));

  // Destroying a pipe with items left frees its own memory only.
  std::vector<int> objects(5, 42);
  for (int& o : objects) pipe->Enqueue(&o);
  pipe.reset();
  for (int o : objects) EXPECT_EQ(o, 42);
}

// Two producers and two consumers: nothing lost, nothing duplicated, and
// each consumer sees every producer's items in the order they were sent.
// The consumers wait in backoff mode, so this also runs the blocking path.
TEST(MpmcPipe, TwoProducersTwoConsumersLoseAndDuplicateNothing) {
  std::unique_ptr<MpmcPipe> pipe(MpmcPipe::Create());
  constexpr uintptr_t kPerProducer = 200000;
  std::vector<uintptr_t> got[2];
  std::atomic<uint64_t> taken{0};
  std::promise<void> all_taken;
  std::vector<std::thread> threads;
  for (int c = 0; c < 2; ++c) {
    threads.emplace_back([&, c] {
      IdleStrategy idle(IdleMode::kBackoff);
      uintptr_t last[2] = {0, 0};
      void* item;
      while (pipe->DequeueWait(&item, idle)) {
        const uintptr_t v = reinterpret_cast<uintptr_t>(item);
        const int producer = static_cast<int>(v >> 32);
        const uintptr_t seq = v & 0xffffffffu;
        EXPECT_GT(seq, last[producer]) << "out of order for producer " << producer;
        last[producer] = seq;
        got[c].push_back(v);
        if (taken.fetch_add(1) + 1 == 2 * kPerProducer) all_taken.set_value();
      }
    });
  }
  for (uintptr_t p = 0; p < 2; ++p) {
    threads.emplace_back([&, p] {
      for (uintptr_t i = 1; i <= kPerProducer; ++i) pipe->Enqueue(as_item((p << 32) | i));
    });
  }
  EXPECT_EQ(all_taken.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  pipe->Close();
  for (auto& t : threads) t.join();

  std::vector<uintptr_t> all(got[0]);
  all.insert(all.end(), got[1].begin(), got[1].end());
  ASSERT_EQ(all.size(), 2 * kPerProducer);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "duplicate item";
  EXPECT_EQ(all.front(), 1u);
  EXPECT_EQ(all[kPerProducer - 1], kPerProducer);
  EXPECT_EQ(all[kPerProducer], (uintptr_t{1} << 32) | 1);
  EXPECT_EQ(all.back(), (uintptr_t{1} << 32) | kPerProducer);
  EXPECT_EQ(pipe->ApproxSize(), 0u);
}

// The single-producer pipe: FIFO across many blocks with null items, the
// consumer draining it to empty and starting again (so drained blocks are
// handed back and reused), and Empty agreeing with Dequeue all along.
TEST(SpscPipe, FifoAcrossBlocksWithReuseAndNullItems) {
  SpscPipe pipe;
  void* out = as_item(42);
  EXPECT_TRUE(pipe.Empty());
  EXPECT_FALSE(pipe.Dequeue(&out));
  EXPECT_EQ(out, as_item(42));
  uintptr_t next_in = 0;
  uintptr_t next_out = 0;
  // Rounds of different lengths, so that block edges fall everywhere.
  for (uintptr_t round = 0; round < 12; ++round) {
    const uintptr_t n = round * SpscPipe::kBlockSlots / 3 + 1;
    for (uintptr_t i = 0; i < n; ++i) ASSERT_TRUE(pipe.Enqueue(as_item(next_in++)));
    EXPECT_FALSE(pipe.Empty());
    // Half taken, more added, then everything taken.
    for (uintptr_t i = 0; i < n / 2; ++i) {
      ASSERT_TRUE(pipe.Dequeue(&out));
      ASSERT_EQ(out, as_item(next_out++));
    }
    for (uintptr_t i = 0; i < n; ++i) ASSERT_TRUE(pipe.Enqueue(as_item(next_in++)));
    while (pipe.Dequeue(&out)) ASSERT_EQ(out, as_item(next_out++));
    EXPECT_EQ(next_out, next_in);
    EXPECT_TRUE(pipe.Empty());
  }
  // Item 0 was null: it went through like any other.
  EXPECT_GT(next_in, 10 * SpscPipe::kBlockSlots);
  // Left with items inside: the destructor frees only the blocks.
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(pipe.Enqueue(as_item(1)));
}

// One producer and one consumer at full speed: nothing lost, duplicated or
// reordered, through many block hand-backs.
TEST(SpscPipe, ProducerAndConsumerThreadsKeepOrder) {
  SpscPipe pipe;
  constexpr uintptr_t kItems = 2000000;
  std::promise<uintptr_t> result;
  std::thread consumer([&] {
    uintptr_t expected = 1;
    void* item = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (expected <= kItems && std::chrono::steady_clock::now() < deadline) {
      for (int spin = 0; spin < 1024 && expected <= kItems; ++spin) {
        if (!pipe.Dequeue(&item)) continue;
        if (item != as_item(expected)) {
          result.set_value(expected);
          return;
        }
        ++expected;
      }
    }
    result.set_value(expected);
  });
  for (uintptr_t i = 1; i <= kItems; ++i) ASSERT_TRUE(pipe.Enqueue(as_item(i)));
  auto f = result.get_future();
  ASSERT_EQ(f.wait_for(std::chrono::seconds(90)), std::future_status::ready);
  EXPECT_EQ(f.get(), kItems + 1) << "first item out of place";
  consumer.join();
  void* item = nullptr;
  EXPECT_FALSE(pipe.Dequeue(&item));
}

// A consumer blocked on an empty pipe wakes for the next item and for Close.
TEST(MpmcPipe, BlockedConsumerWakesOnItemAndOnClose) {
  std::unique_ptr<MpmcPipe> pipe(MpmcPipe::Create());
  std::promise<void*> first;
  std::promise<bool> second;
  std::thread consumer([&] {
    IdleStrategy idle(IdleMode::kBackoff);
    void* item = nullptr;
    first.set_value(pipe->DequeueWait(&item, idle) ? item : nullptr);
    second.set_value(pipe->DequeueWait(&item, idle));
  });
  // Time is the subject: give the consumer long enough to leave its polling
  // and yield windows and block.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pipe->Enqueue(as_item(7));
  auto f1 = first.get_future();
  ASSERT_EQ(f1.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(f1.get(), as_item(7));

  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto t0 = std::chrono::steady_clock::now();
  pipe->Close();
  auto f2 = second.get_future();
  ASSERT_EQ(f2.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(f2.get());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  consumer.join();
  EXPECT_TRUE(pipe->IsClosed());
  // A closed pipe still hands out what is left, for draining.
  pipe->Enqueue(as_item(8));
  void* out = nullptr;
  EXPECT_TRUE(pipe->Dequeue(&out));
  EXPECT_EQ(out, as_item(8));
}

TEST(IdleStrategy, ModeFollowsPinningAndEnvironmentOverride) {
  unsetenv("ZAVO_IDLE_STRATEGY");
  EXPECT_EQ(ChooseIdleMode(0), IdleMode::kSpin);
  EXPECT_EQ(ChooseIdleMode(3), IdleMode::kSpin);
  EXPECT_EQ(ChooseIdleMode(-1), IdleMode::kBackoff);
  setenv("ZAVO_IDLE_STRATEGY", "backoff", 1);
  EXPECT_EQ(ChooseIdleMode(2), IdleMode::kBackoff);
  setenv("ZAVO_IDLE_STRATEGY", "SPIN", 1);
  EXPECT_EQ(ChooseIdleMode(-1), IdleMode::kSpin);
  setenv("ZAVO_IDLE_STRATEGY", "sleepy", 1);  // unknown values keep the default (and are logged)
  EXPECT_EQ(ChooseIdleMode(-1), IdleMode::kBackoff);
  EXPECT_EQ(ChooseIdleMode(1), IdleMode::kSpin);
  unsetenv("ZAVO_IDLE_STRATEGY");
  EXPECT_STREQ(IdleModeName(IdleMode::kSpin), "spin");
  EXPECT_STREQ(IdleModeName(IdleMode::kBackoff), "backoff");

  // Spin never blocks; backoff blocks only after its polling and yield
  // windows have passed, and polls again after work is found.
  int blocks = 0;
  IdleStrategy spin(IdleMode::kSpin);
  for (int i = 0; i < 100000; ++i) spin.Idle([&] { ++blocks; });
  EXPECT_EQ(blocks, 0);
  IdleStrategy backoff(IdleMode::kBackoff);
  const int64_t start = IdleStrategy::NowNs();
  for (int i = 0; i < 10000000 && blocks == 0; ++i) backoff.Idle([&] { ++blocks; });
  EXPECT_EQ(blocks, 1);
  EXPECT_GE(IdleStrategy::NowNs() - start, IdleStrategy::kSpinNs + IdleStrategy::kYieldNs);
  backoff.Reset();
  backoff.Idle([&] { ++blocks; });
  EXPECT_EQ(blocks, 1);
}

}  // namespace
}  // namespace zavo
