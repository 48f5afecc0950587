#pragma once
// One-shot timer on an EvLoop. The callback gets the timer and the local
// wall-clock time at which it fired; re-arming is the callback's choice.
#include <uv.h>

#include <functional>

#include "util/timestamp.h"

namespace zavo {

class EvLoop;

class EvTimer {
 public:
  using Callback = std::function<void(EvTimer*, const Timestamp&)>;

  // Initialises the libuv timer on the calling thread; the timer is idle.
  // Should libuv refuse the handle, init_status() says so and the timer
  // never fires (Release still frees it).
  EvTimer(EvLoop* loop, unsigned interval_ms, Callback&& cb);
  EvTimer(const EvTimer&) = delete;
  EvTimer& operator=(const EvTimer&) = delete;

  // (Re)arms the timer to fire once after the stored interval; a non-zero
  // argument replaces the stored interval first. Any thread.
  void Restart(unsigned interval_ms);
  // Disarms; Restart arms again. Any thread.
  void Stop();
  // Any thread, never blocks (the release rule in ev_loop.h): closes the
  // handle on the loop thread and destroys the timer in its close callback.
  // The caller must not touch the timer afterwards.
  static void Release(EvTimer* timer);

  unsigned interval() const { return interval_; }
  // 0, or the negative libuv code uv_timer_init failed with.
  int init_status() const { return init_status_; }
  EvLoop* loop() const { return loop_; }

 protected:
  // Only through Release.
  virtual ~EvTimer();

 private:
  static void uvcb_timer(uv_timer_t* handle);
  static void uvcb_delete_timer(uv_handle_t* handle);

  EvLoop* loop_;
  uv_timer_t* handle_;
  unsigned interval_;
  int init_status_ = 0;
  Callback cb_;
};

}  // namespace zavo
