#pragma once
// The life of one session, as one atomic state that moves only forward:
//
//   Opening --Open succeeded--> Open --first Close--> Closing --Wait--> Closed
//        \___________________Open failed / Close____________/
//
// Exactly one Close call (the one that moves the state to Closing) stops
// the session's threads; every other Close call either returns at once
// (from a session thread, which must never wait for its own session) or
// waits until that first call has finished signalling (from any other
// thread, so that "Close returned" means the same to every caller).
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace zavo {

class SessionLifecycle {
 public:
  enum State { kOpening = 0, kOpen = 1, kClosing = 2, kClosed = 3 };

  State state() const { return static_cast<State>(state_.load(std::memory_order_acquire)); }
  bool IsClosing() const { return state() >= kClosing; }

  // Opening -> Open; false (nothing changes) when a Close came first.
  bool MarkOpen();
  // -> Closing. True for the one call that made the move: that caller
  // stops the session and then calls CloseSignalled.
  bool BeginClose();
  void CloseSignalled();
  // Waits until the call that won BeginClose has called CloseSignalled.
  void WaitSignalled();
  // -> Closed: every thread of the session has ended.
  void MarkClosed() { state_.store(kClosed, std::memory_order_release); }

 private:
  std::atomic<int> state_{kOpening};
  std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace zavo
