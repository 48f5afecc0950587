#pragma once
// The suite's one bounded wait for a condition that another thread (or
// another process) makes true: polls `cond` until it holds or `limit`
// passes, and returns its last value. Waits that a recorder or the
// simulator can signal should use those signals instead; this is for
// state that only polling can see (descriptor counts, a queue's length).
#include <chrono>
#include <thread>

namespace zavo {
namespace test {

template <class Cond>
bool WaitUntil(Cond&& cond, std::chrono::milliseconds limit = std::chrono::seconds(10),
               std::chrono::milliseconds poll = std::chrono::milliseconds(2)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(poll);
  }
  return true;
}

}  // namespace test
}  // namespace zavo
