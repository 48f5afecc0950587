#pragma once
// A FIFO drained by its own worker thread. Producers append under one mutex
// and wake the worker; the worker takes one entry at a time and handles it
// outside the lock, so a slow handler never blocks a producer for long.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace zavo {

class NonCopyable {
 public:
  NonCopyable(const NonCopyable&) = delete;
  NonCopyable& operator=(const NonCopyable&) = delete;

 protected:
  NonCopyable() = default;
  ~NonCopyable() = default;
};

template <typename T>
class ThreadQueueBase : public NonCopyable {
 public:
  ThreadQueueBase() = default;
  // Whatever is still queued is destroyed without being handled.
  virtual ~ThreadQueueBase() { Stop(); }

  bool running() const { return running_.load(std::memory_order_acquire); }

  // Appends `item` and wakes the worker. Returns false (and drops the item)
  // when the queue is not running. The flag is tested under the mutex so an
  // item cannot slip in after Stop has drained the queue.
  bool Push(T&& item) {
    if (!running()) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!running()) return false;
      queue_.push_back(std::move(item));
    }
    cond_.notify_all();
    return true;
  }

  // As Push, but refuses the item (returns false, *full set) while `limit`
  // items are already queued, so that a producer faster than the worker
  // cannot grow the queue without bound.
  bool PushBounded(T&& item, size_t limit, bool* full) {
    *full = false;
    if (!running()) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!running()) return false;
      if (queue_.size() >= limit) {
        *full = true;
        return false;
      }
      queue_.push_back(std::move(item));
    }
    cond_.notify_all();
    return true;
  }

  // Clears the running flag, wakes the worker and joins it. Entries still
  // queued stay queued (see Drain). Safe to call more than once.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      running_.store(false, std::memory_order_release);
    }
    cond_.notify_all();
    for (auto& t : threads_) {
      if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
    }
    threads_.clear();
  }

  // Hands every queued entry, oldest first, to `fn` under the mutex and
  // removes it. Meant for the stop path, once the worker has been joined.
  template <typename F>
  void Drain(F&& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!queue_.empty()) {
      fn(queue_.front());
      queue_.pop_front();
    }
  }

  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }

 protected:
  std::deque<T> queue_;
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<std::thread> threads_;
  std::atomic<bool> running_{false};
};

template <typename T>
class ThreadQueue : public ThreadQueueBase<T> {
 public:
  ThreadQueue() = default;
  // The worker calls handler_, a member of this class, so it must be joined
  // before this part of the object goes away.
  ~ThreadQueue() override { this->Stop(); }

  // Stores the handler and, unless already running, starts one worker.
  // Call it from one thread at a time.
  void Start(const std::function<void(T&)>& handler) {
    if (this->running()) return;
    handler_ = handler;
    this->running_.store(true, std::memory_order_release);
    this->threads_.emplace_back([this] { run(); });
  }

 private:
  void run() {
    while (this->running()) {
      T item;
      {
        std::unique_lock<std::mutex> lock(this->mutex_);
        this->cond_.wait(lock, [this] { return !this->queue_.empty() || !this->running(); });
        if (this->queue_.empty()) continue;
        item = std::move(this->queue_.front());
        this->queue_.pop_front();
      }
      if (handler_) handler_(item);
    }
  }

  std::function<void(T&)> handler_;
};

}  // namespace zavo
