#pragma once
// A bounded queue of copied records between the library's threads, which
// push, and one Python reader, which takes them out in batches.
//
// Producers only copy bytes under a short lock: they never allocate once
// the queue has warmed up (chunks are recycled) and never touch the
// interpreter. When the bound is reached a record is dropped and counted,
// so a slow reader can never stall the library's threads or grow memory
// without limit.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace zavo {
namespace py {

// One queued record as the reader sees it. `data` stays valid until the
// visitor returns.
struct QueuedRecord {
  uint32_t kind;
  uint32_t time;
  uint64_t seq;
  uint32_t size;
  const char* data;
};

class RecordQueue {
 public:
  // At most `max_records` records and `max_bytes` bytes of payload are held
  // at once; both are at least 1.
  RecordQueue(size_t max_records, size_t max_bytes);
  RecordQueue(const RecordQueue&) = delete;
  RecordQueue& operator=(const RecordQueue&) = delete;

  // Producer side, any thread. Copies the record; false when it was dropped
  // (queue full, or closed).
  bool Push(uint32_t kind, uint64_t seq, uint32_t time, const void* data, uint32_t size);

  // Reader side. Waits at most `timeout` for a record or for Close; true
  // when records are ready or the queue is closed.
  bool Wait(std::chrono::milliseconds timeout);
  // Hands at most `max` records, oldest first, to `visit` without holding
  // the producers' lock; returns how many. Readers are serialised.
  size_t Take(size_t max, const std::function<void(const QueuedRecord&)>& visit);
  // Drops everything queued (for a fresh start, e.g. of a retransmission).
  void Clear();

  // Wakes waiting readers; later pushes are refused without being counted.
  void Close();
  // Reopens after Close: pushes are accepted again.
  void Reopen();
  bool closed() const;
  // Records refused because the queue was full.
  uint64_t dropped() const;
  size_t size() const;

 private:
  struct Chunk {
    std::unique_ptr<char[]> bytes;
    size_t capacity = 0;
    size_t used = 0;  // written by producers
    size_t read = 0;  // consumed by the reader
  };
  static constexpr size_t kChunkBytes = 256 * 1024;

  std::unique_ptr<Chunk> new_chunk_locked(size_t need);
  void recycle(std::unique_ptr<Chunk> c);

  const size_t max_records_;
  const size_t max_bytes_;

  mutable std::mutex mu_;  // guards everything below up to take_mu_
  std::condition_variable cv_;
  std::vector<std::unique_ptr<Chunk>> filling_;  // producers append to back()
  std::vector<std::unique_ptr<Chunk>> spare_;
  size_t records_ = 0;  // in filling_ and pending_
  size_t bytes_ = 0;
  uint64_t dropped_ = 0;
  bool closed_ = false;
  int waiting_ = 0;

  std::mutex take_mu_;  // one reader at a time; guards pending_
  std::deque<std::unique_ptr<Chunk>> pending_;
};

}  // namespace py
}  // namespace zavo
