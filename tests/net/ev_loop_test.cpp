#include "net/ev_loop.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zavo {
namespace {

using namespace std::chrono_literals;

TEST(EvLoop, StopAndJoinAreSafeInAnyState) {
  EvLoop loop;
  loop.Stop();  // before Start: nothing
  EXPECT_FALSE(loop.IsRunning());
  loop.Join();  // no thread: nothing

  // Never started: CallInLoop runs at once on the caller's thread.
  std::thread::id ran_on;
  loop.CallInLoop([&] { ran_on = std::this_thread::get_id(); });
  EXPECT_EQ(ran_on, std::this_thread::get_id());

  loop.Start();
  loop.Start();  // a second Start starts no second thread
  EXPECT_TRUE(loop.IsRunning());
  std::promise<std::thread::id> tid;
  loop.CallInLoop([&] { tid.set_value(std::this_thread::get_id()); });
  auto loop_tid = tid.get_future().get();
  EXPECT_NE(loop_tid, std::this_thread::get_id());
  EXPECT_FALSE(loop.IsInsideLoop());

  loop.Stop();
  loop.Join();
  EXPECT_FALSE(loop.IsRunning());
  EXPECT_FALSE(loop.IsInsideLoop());
  loop.Stop();  // after Join: nothing
  loop.Join();
  // After Join work runs inline again.
  int inline_runs = 0;
  loop.CallInLoop([&] { ++inline_runs; });
  EXPECT_EQ(inline_runs, 1);
}

TEST(EvLoop, PostingOrderNestingAndDrainBeforeStop) {
  EvLoop loop;
  loop.Start();
  std::vector<std::string> order;  // touched only on the loop thread
  std::promise<void> gate;
  std::shared_future<void> gate_f = gate.get_future().share();
  // Hold the loop so that everything below queues up behind this task.
  loop.AsyncExecute([gate_f] { gate_f.wait(); });
  for (int i = 0; i < 50; ++i)
    loop.AsyncExecute([&order, i] { order.push_back(std::to_string(i)); });
  loop.CallInLoop([&] {
    order.push_back("outer-begin");
    EXPECT_TRUE(loop.IsInsideLoop());
    // Nested CallInLoop runs at once, before the outer function continues.
    loop.CallInLoop([&] { order.push_back("nested"); });
    // A function posted from the loop runs in the same drain, after this one.
    loop.AsyncExecute([&] { order.push_back("posted-from-loop"); });
    order.push_back("outer-end");
  });
  loop.AsyncExecute([&] { order.push_back("last"); });
  loop.Stop();  // queued behind everything above: all of it still runs
  gate.set_value();
  loop.Join();

  ASSERT_EQ(order.size(), 55u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], std::to_string(i));
  EXPECT_EQ(order[50], "outer-begin");
  EXPECT_EQ(order[51], "nested");
  EXPECT_EQ(order[52], "outer-end");
  // "last" and the stop were queued before the outer function ran; the work it
  // posted still runs, after the stop, in the final drain.
  EXPECT_EQ(order[53], "last");
  EXPECT_EQ(order[54], "posted-from-loop");
}

TEST(EvLoop, ManyThreadsPostingKeepPerThreadOrder) {
  EvLoop loop;
  loop.Start();
  constexpr int kThreads = 4, kPer = 2000;
  std::vector<std::vector<int>> seen(kThreads);
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPer; ++i) loop.CallInLoop([&seen, t, i] { seen[t].push_back(i); });
    });
  for (auto& th : posters) th.join();
  loop.Stop();
  loop.Join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kPer));
    for (int i = 0; i < kPer; ++i) ASSERT_EQ(seen[t][i], i);
  }
}

TEST(EvLoop, WorkAfterTheThreadEndedRunsInlineAndCpuBinding) {
  EvLoop loop;
  loop.Bind2Cpu(2000);  // out of range: the thread reports and runs unbound
  testing::internal::CaptureStdout();
  loop.Start();
  std::promise<bool> inside;
  loop.CallInLoop([&] { inside.set_value(loop.IsInsideLoop()); });
  EXPECT_TRUE(inside.get_future().get());
  loop.Stop();
  // Bounded wait for the thread to finish its shutdown without joining.
  test::WaitUntil([&] { return loop.HasEnded(); });
  ASSERT_TRUE(loop.HasEnded());
  EXPECT_TRUE(loop.IsRunning());
  // Not joined yet: the work would be lost if it were queued.
  std::thread::id ran_on;
  loop.CallInLoop([&] { ran_on = std::this_thread::get_id(); });
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  loop.Join();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("bind to cpu[2000] error[22]"), std::string::npos) << out;
}

}  // namespace
}  // namespace zavo
