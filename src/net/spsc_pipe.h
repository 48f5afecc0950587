#pragma once
// Hand-off queue for exactly one producing thread and one consuming thread
// at a time: the struct session's road from the receiver's read thread to
// the processing thread. Unbounded and FIFO like MpmcPipe, but without a
// lock: the producer publishes each item with one release store of its
// count, and the consumer takes it with one acquire load (only when its
// cached copy of that count is used up) and no store the producer reads.
// So a datagram costs the consumer no read-modify-write and no contended
// line but the one the item came on.
//
// Items live in fixed-size blocks chained in order. A drained block goes
// back to the producer through a PointerRing, so a steady flow allocates
// nothing; a block is allocated only while the queue grows.
//
// Another thread may take over either role once the previous one is known
// to be out (a joined thread, a new read thread after the old one ended).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "net/data_pipe.h"

namespace zavo {

class SpscPipe {
 public:
  static constexpr size_t kBlockSlots = 256;

  SpscPipe() : head_block_(new block()) { tail_block_ = head_block_; }
  SpscPipe(const SpscPipe&) = delete;
  SpscPipe& operator=(const SpscPipe&) = delete;

  // Frees the blocks; items still queued are the owner's to drain first.
  ~SpscPipe() {
    for (block* b = head_block_; b != nullptr;) {
      block* next = b->next;
      delete b;
      b = next;
    }
    void* spare = nullptr;
    while (spares_.Pop(&spare)) delete static_cast<block*>(spare);
  }

  // Producer: appends `item` (null is a valid item). False only when a new
  // block was needed and memory ran out; nothing was queued then.
  bool Enqueue(void* item) {
    const size_t tail = tail_;
    const size_t slot = tail % kBlockSlots;
    if (slot == 0 && tail != 0) {
      block* fresh = take_block();
      if (fresh == nullptr) return false;
      // Published to the consumer by the count's release store below.
      tail_block_->next = fresh;
      tail_block_ = fresh;
    }
    tail_block_->slots[slot] = item;
    tail_ = tail + 1;
    published_.store(tail + 1, std::memory_order_release);
    return true;
  }

  // Consumer: takes the oldest item into *item and returns true, or returns
  // false at once, leaving *item untouched, when the queue is empty.
  bool Dequeue(void** item) {
    if (head_ == seen_ && !refresh()) return false;
    const size_t slot = head_ % kBlockSlots;
    if (slot == 0 && head_ != 0) {
      // The producer wrote this item into the next block, so it is done
      // with the drained one: it goes back for reuse.
      block* drained = head_block_;
      head_block_ = drained->next;
      drained->next = nullptr;
      if (!spares_.Push(drained)) delete drained;
    }
    *item = head_block_->slots[slot];
    ++head_;
    return true;
  }

  // Consumer: no item is waiting that this thread could take now.
  bool Empty() { return head_ == seen_ && !refresh(); }

 private:
  struct block {
    block* next = nullptr;
    void* slots[kBlockSlots];
  };

  bool refresh() {
    seen_ = published_.load(std::memory_order_acquire);
    return seen_ != head_;
  }

  block* take_block() {
    void* spare = nullptr;
    if (spares_.Pop(&spare)) return static_cast<block*>(spare);
    return new (std::nothrow) block();
  }

  // The producer's line: its position and the count it publishes.
  alignas(64) size_t tail_ = 0;
  block* tail_block_;
  std::atomic<size_t> published_{0};
  // The consumer's line: its position and the last count it saw.
  alignas(64) size_t head_ = 0;
  size_t seen_ = 0;
  block* head_block_;
  // Drained blocks on their way back to the producer.
  PointerRing<16> spares_;
};

}  // namespace zavo
