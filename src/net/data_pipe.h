#pragma once
// Hand-off pipe: an unbounded multi-producer, multi-consumer FIFO of untyped
// pointers. It moves pointers and never looks at, copies or frees what they
// point to; the consumer that dequeues an item takes over its ownership.
//
// Items live in fixed-size blocks chained into a list. Producers append under
// the tail lock, consumers take under the head lock, so one producer and one
// consumer never contend for a lock; a slot is published to consumers by its
// block's release-stored fill count. A drained block is kept as a spare for
// the next block a producer needs, so a steady flow allocates nothing.
//
// Besides the non-blocking Enqueue/Dequeue, a consumer may wait for items
// with an IdleStrategy (DequeueWait); Close wakes every waiting consumer.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

#include "net/idle_strategy.h"

namespace zavo {

class MpmcPipe {
 public:
  MpmcPipe() = default;
  MpmcPipe(const MpmcPipe&) = delete;
  MpmcPipe& operator=(const MpmcPipe&) = delete;
  virtual ~MpmcPipe() = default;

  // Appends `item` (null is a valid item). True when queued; false only when
  // memory ran out, in which case nothing was queued and the caller may retry.
  virtual bool Enqueue(void* item) = 0;
  // Takes the oldest item into *item and returns true; returns false at once,
  // leaving *item untouched, when the pipe is empty. Never waits.
  virtual bool Dequeue(void** item) = 0;
  // Number of queued items, without locking: may be stale by the operations
  // in flight.
  virtual uint64_t ApproxSize() const = 0;
  // No item has been counted in that was not taken out, read with
  // sequentially consistent loads: a consumer that announces itself (with a
  // sequentially consistent store) before this check, and a producer that
  // looks for it after Enqueue, cannot both miss each other.
  virtual bool Empty() const = 0;

  // Blocks until the pipe may hold an item or the pipe is closed. May return
  // spuriously; callers poll Dequeue afterwards.
  virtual void WaitForItem() = 0;
  // Wakes every consumer blocked in WaitForItem/DequeueWait and makes
  // DequeueWait return false from now on. Enqueue and Dequeue keep working,
  // so the owner can drain what is left.
  virtual void Close() = 0;
  virtual bool IsClosed() const = 0;

  // Takes the oldest item, idling with `idle` while the pipe is empty (spin,
  // or poll briefly, yield, then block). False once the pipe is closed.
  bool DequeueWait(void** item, IdleStrategy& idle) {
    while (!IsClosed()) {
      if (Dequeue(item)) {
        idle.Reset();
        return true;
      }
      idle.Idle([this] { WaitForItem(); });
    }
    return false;
  }

  // A new, empty pipe.
  static MpmcPipe* Create();
};

template <typename Lock>
class MpmcPipeImp : public MpmcPipe {
 public:
  static constexpr size_t kBlockSlots = 254;

  MpmcPipeImp() { head_ = tail_ = new block(); }

  ~MpmcPipeImp() override {
    for (block* b = head_; b != nullptr;) {
      block* next = b->next.load(std::memory_order_relaxed);
      delete b;
      b = next;
    }
    delete spare_.load(std::memory_order_relaxed);
  }

  bool Enqueue(void* item) override {
    {
      std::lock_guard<Lock> guard(tail_lock_);
      block* t = tail_;
      size_t n = t->filled.load(std::memory_order_relaxed);
      if (n == kBlockSlots) {
        block* fresh = spare_.exchange(nullptr, std::memory_order_acq_rel);
        if (fresh == nullptr) {
          fresh = new (std::nothrow) block();
          if (fresh == nullptr) return false;
        } else {
          fresh->filled.store(0, std::memory_order_relaxed);
          fresh->next.store(nullptr, std::memory_order_relaxed);
        }
        t->next.store(fresh, std::memory_order_release);
        tail_ = t = fresh;
        n = 0;
      }
      t->slots[n] = item;
      t->filled.store(n + 1, std::memory_order_release);
    }
    // Sequentially consistent on both sides with the waiters count: either
    // this producer sees the waiter, or the waiter sees this item.
    enqueued_.fetch_add(1, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) != 0) wake_all();
    return true;
  }

  bool Dequeue(void** item) override {
    block* drained = nullptr;
    {
      std::lock_guard<Lock> guard(head_lock_);
      block* h = head_;
      if (head_index_ == kBlockSlots) {
        block* next = h->next.load(std::memory_order_acquire);
        if (next == nullptr) return false;
        // The producer linked `next` only after filling `h`, and never
        // touches `h` again: it can be recycled.
        drained = h;
        head_ = h = next;
        head_index_ = 0;
      }
      if (head_index_ < h->filled.load(std::memory_order_acquire)) {
        *item = h->slots[head_index_++];
        dequeued_.fetch_add(1, std::memory_order_relaxed);
      } else {
        h = nullptr;
      }
      if (drained != nullptr) recycle(drained);
      if (h == nullptr) return false;
    }
    return true;
  }

  uint64_t ApproxSize() const override {
    const uint64_t out = dequeued_.load(std::memory_order_relaxed);
    const uint64_t in = enqueued_.load(std::memory_order_relaxed);
    // The dequeue count can run ahead of the enqueue count for the moment
    // between publishing an item and counting it.
    return in > out ? in - out : 0;
  }

  bool Empty() const override { return !may_have_item(); }

  void WaitForItem() override {
    std::unique_lock<std::mutex> lock(wait_mutex_);
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    while (!may_have_item() && !closed_.load(std::memory_order_acquire)) {
      wait_cv_.wait(lock);
    }
    waiters_.fetch_sub(1, std::memory_order_relaxed);
  }

  void Close() override {
    closed_.store(true, std::memory_order_release);
    wake_all();
  }

  bool IsClosed() const override { return closed_.load(std::memory_order_acquire); }

 private:
  struct block {
    std::atomic<size_t> filled{0};  // slots published to consumers
    std::atomic<block*> next{nullptr};
    void* slots[kBlockSlots];
  };

  bool may_have_item() const {
    return enqueued_.load(std::memory_order_seq_cst) > dequeued_.load(std::memory_order_seq_cst);
  }

  void wake_all() {
    // Taking the mutex orders this wake-up after a waiter's check of the
    // count, or before it; it cannot fall in between and get lost.
    { std::lock_guard<std::mutex> guard(wait_mutex_); }
    wait_cv_.notify_all();
  }

  void recycle(block* b) { delete spare_.exchange(b, std::memory_order_acq_rel); }

  alignas(64) Lock tail_lock_;
  block* tail_;
  alignas(64) Lock head_lock_;
  block* head_;
  size_t head_index_ = 0;
  alignas(64) std::atomic<uint64_t> enqueued_{0};
  alignas(64) std::atomic<uint64_t> dequeued_{0};
  std::atomic<block*> spare_{nullptr};
  alignas(64) std::atomic<uint32_t> waiters_{0};
  std::atomic<bool> closed_{false};
  std::mutex wait_mutex_;
  std::condition_variable wait_cv_;
};

// Fixed-capacity ring of pointers for exactly one pushing thread and one
// popping thread at a time: the way back for objects handed across a pipe,
// so the sending side can reuse them instead of allocating anew. Push fails
// when the ring is full, Pop when it is empty; neither waits nor allocates.
template <size_t N>
class PointerRing {
  static_assert(N >= 2 && (N & (N - 1)) == 0, "capacity must be a power of two");

 public:
  PointerRing() = default;
  PointerRing(const PointerRing&) = delete;
  PointerRing& operator=(const PointerRing&) = delete;

  bool Push(void* item) {
    const size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) == N) return false;
    slots_[tail & (N - 1)] = item;
    tail_.store(tail + 1, std::memory_order_release);
    return true;
  }

  bool Pop(void** item) {
    const size_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return false;
    *item = slots_[head & (N - 1)];
    head_.store(head + 1, std::memory_order_release);
    return true;
  }

 private:
  alignas(64) std::atomic<size_t> head_{0};
  alignas(64) std::atomic<size_t> tail_{0};
  void* slots_[N] = {};
};

}  // namespace zavo
