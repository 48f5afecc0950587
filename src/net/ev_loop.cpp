#include "net/ev_loop.h"

#ifndef _WIN32
#include <pthread.h>

#include <csignal>
#endif
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/helpers.h"

namespace zavo {

namespace {
// The EvLoop whose thread is the current thread; set once by that thread.
thread_local EvLoop* evloop_tls_tid = nullptr;

void close_walk_cb(uv_handle_t* handle, void*) {
  if (!uv_is_closing(handle)) uv_close(handle, nullptr);
}
}  // namespace

bool uv_handle_usable(const uv_handle_t* h) {
  if (h == nullptr) return false;
  switch (h->type) {
    case UV_UNKNOWN_HANDLE:
    case UV_HANDLE:
    case UV_STREAM:
    case UV_FILE:
    case UV_HANDLE_TYPE_MAX:
      return false;
    default:
      break;
  }
  return !uv_is_closing(h);
}

EvLoop::EvLoop() {
  loop_ = static_cast<uv_loop_t*>(std::calloc(1, sizeof(uv_loop_t)));
  async_ = static_cast<uv_async_t*>(std::calloc(1, sizeof(uv_async_t)));
  uv_loop_init(loop_);
  loop_->data = this;
  async_->data = this;
}

EvLoop::~EvLoop() {
  assert(!IsRunning() && "EvLoop destroyed with its thread not joined");
  close_all_handles();
  uv_loop_close(loop_);
  std::free(async_);
  std::free(loop_);
}

void EvLoop::close_all_handles() {
  uv_walk(loop_, close_walk_cb, nullptr);
  uv_run(loop_, UV_RUN_DEFAULT);
}

bool EvLoop::IsInsideLoop() const {
  return evloop_tls_tid == this;
}

EvLoop* EvLoop::Current() {
  return evloop_tls_tid;
}

void EvLoop::Start() {
  if (IsRunning()) return;
  uv_async_init(loop_, async_, uvcb_async__call_async_function);
  ended_.store(false, std::memory_order_release);
  async_ready_.store(true, std::memory_order_release);
  // Publish the pointer before the thread can look at it (CallInLoop on the
  // loop thread reads it).
  std::lock_guard<std::mutex> lock(mu_);
  thread_.store(new std::thread(&EvLoop::thread_main, this), std::memory_order_release);
}

void EvLoop::block_sigpipe() {
#ifndef _WIN32
  // Writing to a connection whose peer has just closed raises SIGPIPE, and
  // its default action ends the whole process: the user's program, not only
  // this session. Blocked on the loop thread (where every socket write
  // happens), the write fails with EPIPE instead and the connection is
  // closed as lost. The process-wide disposition stays the user's.
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
#endif
  // Windows raises no signal for it: the send just fails.
}

void EvLoop::thread_main() {
  {
    // Waits for Start to publish the thread pointer.
    std::lock_guard<std::mutex> lock(mu_);
  }
  if (cpu_ != -1) {
    int rc = bind_2_cpu(cpu_);
    if (rc != 0) {
      std::printf("[EvLoop][%p] bind to cpu[%d] error[%d] %s\n", static_cast<void*>(this), cpu_, rc,
                  std::strerror(rc));
      std::fflush(stdout);
    }
  }
  block_sigpipe();
  evloop_tls_tid = this;
  uv_run(loop_, UV_RUN_DEFAULT);
  // Work posted until the very end still runs here, on the loop thread: a
  // Release queued behind the stop closes its handles like any other. Only
  // when nothing is left does the loop count as ended, and from then on
  // this thread touches the libuv loop no more, so work handed in later may
  // run on its caller's thread without racing with it. A thread that never
  // stops posting must not keep the loop alive: after a bounded number of
  // rounds the loop ends anyway and runs what is left here.
  constexpr int kFinalRounds = 64;
  std::deque<std::function<void()>> late;
  for (int round = 0;; ++round) {
    call_async_function();
    // Handles opened or closed by that work get their close callbacks.
    close_all_handles();
    std::lock_guard<std::mutex> lock(mu_);
    if (tasks_.empty() || round + 1 == kFinalRounds) {
      ended_.store(true, std::memory_order_release);
      async_ready_.store(false, std::memory_order_release);
      late.swap(tasks_);
      break;
    }
  }
  if (!late.empty()) {
    for (auto& fn : late) fn();
    late.clear();
    close_all_handles();
  }
  evloop_tls_tid = nullptr;
}

void EvLoop::Stop() {
  if (!IsRunning()) return;
  if (IsInsideLoop()) {
    do_stop_loop();
  } else {
    AsyncExecute([this] { do_stop_loop(); });
  }
}

void EvLoop::Join() {
  assert(!IsInsideLoop() && "EvLoop::Join on its own thread");
  std::thread* t = thread_.load(std::memory_order_acquire);
  if (t == nullptr) return;
  if (t->joinable()) t->join();
  thread_.store(nullptr, std::memory_order_release);
  delete t;
}

bool EvLoop::enqueue(std::function<void()>&& fn) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (ended_.load(std::memory_order_relaxed)) return false;
    tasks_.push_back(std::move(fn));
  }
  if (async_ready_.load(std::memory_order_acquire)) uv_async_send(async_);
  return true;
}

void EvLoop::AsyncExecute(const std::function<void()>& fn) {
  std::function<void()> copy(fn);
  enqueue(std::move(copy));
}

void EvLoop::AsyncExecute(std::function<void()>&& fn) {
  enqueue(std::move(fn));
}

bool EvLoop::Post(std::function<void()>&& fn) {
  if (!IsRunning()) return false;
  return enqueue(std::move(fn));
}

void EvLoop::CallInLoop(std::function<void()>&& fn) {
  if (IsRunning() && !IsInsideLoop() && !HasEnded()) {
    // enqueue hands `fn` over only when it succeeds.
    if (enqueue(std::move(fn))) return;
  }
  fn();
}

void EvLoop::do_stop_loop() {
  assert(IsInsideLoop());
  if (uv_loop_alive(loop_)) {
    if (uv_handle_usable(reinterpret_cast<uv_handle_t*>(async_)))
      uv_close(reinterpret_cast<uv_handle_t*>(async_), nullptr);
    uv_stop(loop_);
  }
}

void EvLoop::call_async_function() {
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (tasks_.empty()) return;
      fn = std::move(tasks_.front());
      tasks_.pop_front();
    }
    fn();
  }
}

void EvLoop::uvcb_async__call_async_function(uv_async_t* handle) {
  static_cast<EvLoop*>(handle->data)->call_async_function();
}

EvLoop* EvLoop::BackGroundLoop() {
  static EvLoop* loop = new EvLoop();
  return loop;
}

}  // namespace zavo
