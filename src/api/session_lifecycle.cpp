#include "api/session_lifecycle.h"

namespace zavo {

bool SessionLifecycle::MarkOpen() {
  int expected = kOpening;
  return state_.compare_exchange_strong(expected, kOpen, std::memory_order_acq_rel);
}

bool SessionLifecycle::BeginClose() {
  int now = state_.load(std::memory_order_acquire);
  while (now < kClosing) {
    if (state_.compare_exchange_weak(now, kClosing, std::memory_order_acq_rel)) return true;
  }
  return false;
}

void SessionLifecycle::CloseSignalled() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    signalled_ = true;
  }
  cv_.notify_all();
}

void SessionLifecycle::WaitSignalled() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return signalled_; });
}

}  // namespace zavo
