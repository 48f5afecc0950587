#include "util/thread_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

namespace zavo {
namespace {

TEST(ThreadQueue, HandlesInOrderOnOneWorkerAndStopsCleanly) {
  ThreadQueue<std::unique_ptr<int>> q;
  EXPECT_FALSE(q.running());
  EXPECT_FALSE(q.Push(std::make_unique<int>(-1)));  // before Start: refused

  std::mutex m;
  std::condition_variable cv;
  std::vector<int> seen;
  std::vector<std::thread::id> workers;
  q.Start([&](std::unique_ptr<int>& v) {
    std::lock_guard<std::mutex> lock(m);
    seen.push_back(*v);
    workers.push_back(std::this_thread::get_id());
    cv.notify_all();
  });
  ASSERT_TRUE(q.running());
  constexpr int kItems = 1000;
  for (int i = 0; i < kItems; ++i) ASSERT_TRUE(q.Push(std::make_unique<int>(i)));
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return seen.size() == kItems; }));
  }
  for (int i = 0; i < kItems; ++i) ASSERT_EQ(seen[i], i);
  for (auto id : workers) {
    EXPECT_EQ(id, workers.front());
    EXPECT_NE(id, std::this_thread::get_id());
  }
  q.Stop();
  EXPECT_FALSE(q.running());
  EXPECT_FALSE(q.Push(std::make_unique<int>(5)));  // after Stop: refused
  q.Stop();                                        // twice is harmless
}

TEST(ThreadQueue, DrainAfterStopGetsWhatTheWorkerDidNotReach) {
  ThreadQueue<int> q;
  std::promise<void> entered;
  std::promise<void> release;
  auto release_f = release.get_future().share();
  std::vector<int> handled;
  q.Start([&](int& v) {
    handled.push_back(v);
    if (v == 0) {
      entered.set_value();
      release_f.wait();
    }
  });
  q.Push(0);
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  for (int i = 1; i <= 5; ++i) q.Push(int{i});  // queued behind the blocked handler
  EXPECT_EQ(q.size(), 5u);
  std::thread stopper([&] { q.Stop(); });
  release.set_value();
  stopper.join();
  std::vector<int> drained;
  q.Drain([&](int& v) { drained.push_back(v); });
  // The worker finished the entry it held and left; the rest is drained in order.
  EXPECT_EQ(handled.front(), 0);
  std::vector<int> all(handled);
  all.insert(all.end(), drained.begin(), drained.end());
  EXPECT_EQ(all, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(q.size(), 0u);
}

}  // namespace
}  // namespace zavo
