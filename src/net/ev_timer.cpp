#include "net/ev_timer.h"

#include <cstdlib>

#include "net/ev_loop.h"

namespace zavo {

EvTimer::EvTimer(EvLoop* loop, unsigned interval_ms, Callback&& cb)
    : loop_(loop),
      handle_(static_cast<uv_timer_t*>(std::calloc(1, sizeof(uv_timer_t)))),
      interval_(interval_ms),
      cb_(std::move(cb)) {
  handle_->data = this;
  init_status_ = uv_timer_init(loop_->uv_loop(), handle_);
}

EvTimer::~EvTimer() {
  ZAVO_ASSERT_IN_LOOP(loop_);
  std::free(handle_);
}

void EvTimer::Restart(unsigned interval_ms) {
  loop_->CallInLoop([this, interval_ms] {
    if (interval_ms != 0) interval_ = interval_ms;
    if (!uv_handle_usable(reinterpret_cast<uv_handle_t*>(handle_))) return;
    uv_timer_stop(handle_);
    uv_timer_start(handle_, uvcb_timer, interval_, 0);
  });
}

void EvTimer::Stop() {
  loop_->CallInLoop([this] {
    if (uv_handle_usable(reinterpret_cast<uv_handle_t*>(handle_))) uv_timer_stop(handle_);
  });
}

void EvTimer::Release(EvTimer* timer) {
  if (timer == nullptr) return;
  timer->loop_->CallInLoop([timer] {
    uv_handle_t* h = reinterpret_cast<uv_handle_t*>(timer->handle_);
    if (uv_handle_usable(h)) {
      uv_close(h, uvcb_delete_timer);
    } else {
      // Never initialised, or already closed by the loop's shutdown walk.
      uvcb_delete_timer(h);
    }
  });
}

void EvTimer::uvcb_timer(uv_timer_t* handle) {
  EvTimer* timer = static_cast<EvTimer*>(handle->data);
  timer->cb_(timer, Timestamp::Now());
}

void EvTimer::uvcb_delete_timer(uv_handle_t* handle) {
  delete static_cast<EvTimer*>(handle->data);
}

}  // namespace zavo
