#include "record_queue.h"

#include <algorithm>
#include <cstring>

namespace zavo {
namespace py {

namespace {

// What precedes each record in a chunk; records start 8-byte aligned so
// that the reader may hand them to numpy as they are.
struct EntryHeader {
  uint32_t kind;
  uint32_t time;
  uint64_t seq;
  uint32_t size;
  uint32_t reserved;
};
static_assert(sizeof(EntryHeader) == 24, "entry header is packed by hand");

constexpr size_t align8(size_t n) {
  return (n + 7) & ~static_cast<size_t>(7);
}

}  // namespace

RecordQueue::RecordQueue(size_t max_records, size_t max_bytes)
    : max_records_(std::max<size_t>(1, max_records)), max_bytes_(std::max<size_t>(1, max_bytes)) {}

std::unique_ptr<RecordQueue::Chunk> RecordQueue::new_chunk_locked(size_t need) {
  if (need <= kChunkBytes && !spare_.empty()) {
    std::unique_ptr<Chunk> c = std::move(spare_.back());
    spare_.pop_back();
    c->used = c->read = 0;
    return c;
  }
  auto c = std::make_unique<Chunk>();
  c->capacity = std::max(need, kChunkBytes);
  c->bytes.reset(new char[c->capacity]);
  return c;
}

bool RecordQueue::Push(uint32_t kind, uint64_t seq, uint32_t time, const void* data,
                       uint32_t size) {
  const size_t need = sizeof(EntryHeader) + align8(size);
  bool wake = false;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (closed_) return false;
    if (records_ >= max_records_ || bytes_ + size > max_bytes_) {
      ++dropped_;
      return false;
    }
    if (filling_.empty() || filling_.back()->capacity - filling_.back()->used < need) {
      filling_.push_back(new_chunk_locked(need));
    }
    Chunk& c = *filling_.back();
    EntryHeader h{kind, time, seq, size, 0};
    std::memcpy(c.bytes.get() + c.used, &h, sizeof h);
    if (size) std::memcpy(c.bytes.get() + c.used + sizeof h, data, size);
    c.used += need;
    ++records_;
    bytes_ += size;
    wake = waiting_ > 0;
  }
  // Only a reader that sleeps costs a wake-up; a busy reader costs nothing.
  if (wake) cv_.notify_one();
  return true;
}

bool RecordQueue::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lk(mu_);
  ++waiting_;
  bool ready = cv_.wait_for(lk, timeout, [this] { return records_ > 0 || closed_; });
  --waiting_;
  return ready;
}

void RecordQueue::recycle(std::unique_ptr<Chunk> c) {
  std::lock_guard<std::mutex> lk(mu_);
  // A few spare chunks cover the steady state; oversized ones (a long raw
  // message) are not kept.
  if (c->capacity == kChunkBytes && spare_.size() < 8) spare_.push_back(std::move(c));
}

size_t RecordQueue::Take(size_t max, const std::function<void(const QueuedRecord&)>& visit) {
  std::lock_guard<std::mutex> take(take_mu_);
  if (pending_.empty()) {
    std::lock_guard<std::mutex> lk(mu_);
    for (auto& c : filling_) pending_.push_back(std::move(c));
    filling_.clear();
  }
  size_t n = 0, payload = 0;
  while (n < max && !pending_.empty()) {
    Chunk& c = *pending_.front();
    while (n < max && c.read < c.used) {
      EntryHeader h;
      std::memcpy(&h, c.bytes.get() + c.read, sizeof h);
      QueuedRecord r{h.kind, h.time, h.seq, h.size, c.bytes.get() + c.read + sizeof h};
      c.read += sizeof h + align8(h.size);
      ++n;
      payload += h.size;
      visit(r);
    }
    if (c.read >= c.used) {
      std::unique_ptr<Chunk> done = std::move(pending_.front());
      pending_.pop_front();
      recycle(std::move(done));
    }
  }
  if (n) {
    std::lock_guard<std::mutex> lk(mu_);
    records_ -= n;
    bytes_ -= payload;
  }
  return n;
}

void RecordQueue::Clear() {
  std::lock_guard<std::mutex> take(take_mu_);
  std::lock_guard<std::mutex> lk(mu_);
  pending_.clear();
  filling_.clear();
  records_ = 0;
  bytes_ = 0;
}

void RecordQueue::Close() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    closed_ = true;
  }
  cv_.notify_all();
}

void RecordQueue::Reopen() {
  std::lock_guard<std::mutex> lk(mu_);
  closed_ = false;
}

bool RecordQueue::closed() const {
  std::lock_guard<std::mutex> lk(mu_);
  return closed_;
}

uint64_t RecordQueue::dropped() const {
  std::lock_guard<std::mutex> lk(mu_);
  return dropped_;
}

size_t RecordQueue::size() const {
  std::lock_guard<std::mutex> lk(mu_);
  return records_;
}

}  // namespace py
}  // namespace zavo
