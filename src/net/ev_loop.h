#pragma once
// One libuv loop and the single thread that runs it. CallInLoop is the door
// into the loop from any thread: loop-owned objects are only ever touched on
// the loop thread (or while no thread runs the loop).
//
// The release rule, the same for every object that owns handles on an
// EvLoop (EvTimer, TcpConnector, TcpListener and its sessions,
// UdpMulticaseSender):
//   - `Release` may be called from any thread and never blocks. It hands
//     the close to the loop through CallInLoop, so it runs on the loop
//     thread, or at once when the caller is the loop thread or no thread
//     runs the loop (never started, or ended).
//   - The close stops the handles and passes each to uv_close with a close
//     callback; a handle's memory is freed only in that callback, which by
//     then no longer reaches the object. The object itself is destroyed on
//     the loop thread, in the same step or in its last close callback.
//   - Until the close has run, the object's callbacks may still fire on the
//     loop thread: whatever they reach must outlive that moment. A caller
//     that needs to know when the object is gone either stops and joins the
//     loop (posted work always runs before the loop ends) or asks for the
//     completion where a Release offers one.
// Objects that own handles are therefore destroyed only on the loop thread
// or after the loop has ended; never by a plain delete from another thread.
#include <uv.h>

#include <atomic>
#include <cassert>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace zavo {

class EvLoop {
 public:
  EvLoop();
  EvLoop(const EvLoop&) = delete;
  EvLoop& operator=(const EvLoop&) = delete;
  // Owner must have stopped and joined the thread. Handles that are still
  // open (or whose close is pending because the loop never ran) are closed
  // and their close callbacks run here, so the libuv loop can be closed
  // without dangling entries. Queued functions are destroyed unrun.
  virtual ~EvLoop();

  // Starts the loop thread; does nothing while a thread exists. Does not wait
  // for the thread to begin.
  void Start();
  // Asks the loop to stop; a no-op unless running. From a foreign thread the
  // stop is queued behind the work already posted.
  void Stop();
  // Joins the thread (if any). Never call on the loop thread.
  void Join();

  // From Start until Join, whether or not the loop already stopped.
  bool IsRunning() const { return thread_.load(std::memory_order_acquire) != nullptr; }
  // The calling thread is this loop's thread.
  bool IsInsideLoop() const;
  // The loop thread has finished its shutdown (it may not be joined yet).
  bool HasEnded() const { return ended_.load(std::memory_order_acquire); }
  // The calling thread may touch this loop's handles: it is the loop thread,
  // or no thread is running the loop (never started, ended or joined).
  bool InLoopOrIdle() const { return IsInsideLoop() || !IsRunning() || HasEnded(); }

  // Queues `fn` for the loop thread and wakes it. Never runs `fn` itself.
  void AsyncExecute(const std::function<void()>& fn);
  void AsyncExecute(std::function<void()>&& fn);
  // Queues `fn` for a running loop thread and wakes it; false (and `fn`
  // dropped unrun) when no thread runs the loop or it has ended. Work
  // accepted here always runs on the loop thread, also when a stop is
  // already queued in front of it.
  bool Post(std::function<void()>&& fn);
  // Runs `fn` now when called on the loop thread or when no thread runs the
  // loop; otherwise queues it. Work queued before the loop thread ends runs
  // on it, also behind a Stop; work handed in after it has ended (it no
  // longer touches the libuv loop by then) runs at once on the caller's
  // thread instead of being lost. Either way `fn` runs exactly once.
  void CallInLoop(std::function<void()>&& fn);

  // Processor for the loop thread; only before Start. -1: no binding.
  void Bind2Cpu(int cpu) { cpu_ = cpu; }

  // The EvLoop whose thread is the calling thread; null on other threads.
  static EvLoop* Current();

  // A process-wide loop, created on first use and never destroyed; not
  // started by this call.
  static EvLoop* BackGroundLoop();

  uv_loop_t* uv_loop() const { return loop_; }
  // The EvLoop behind a libuv loop created by this class.
  static EvLoop* FromUv(const uv_loop_t* loop) { return static_cast<EvLoop*>(loop->data); }

  // Loop thread only.
  void do_stop_loop();
  void call_async_function();

 private:
  static void uvcb_async__call_async_function(uv_async_t* handle);
  void thread_main();
  static void block_sigpipe();
  bool enqueue(std::function<void()>&& fn);
  // Closes every handle not already closing (no callback) and lets the
  // closes complete.
  void close_all_handles();

  std::atomic<std::thread*> thread_{nullptr};
  uv_loop_t* loop_ = nullptr;
  uv_async_t* async_ = nullptr;
  std::mutex mu_;
  std::deque<std::function<void()>> tasks_;
  int cpu_ = -1;
  std::atomic<bool> async_ready_{false};
  std::atomic<bool> ended_{false};
};

// True for a handle of a concrete libuv type that is not closing or closed:
// the only handles that may be passed to uv_close.
bool uv_handle_usable(const uv_handle_t* h);

}  // namespace zavo

// Loop-affinity check for debug builds.
#define ZAVO_ASSERT_IN_LOOP(ev_loop) assert((ev_loop) == nullptr || (ev_loop)->InLoopOrIdle())
