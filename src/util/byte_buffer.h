#pragma once
// Owned, growable byte buffer with a read and a write position:
//   base <= read <= write <= base + capacity
// Readable bytes are [read, write), free room is [write, base + capacity).
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zavo {

class ByteBuffer {
 public:
  ByteBuffer() { total_.fetch_add(1, std::memory_order_relaxed); }
  explicit ByteBuffer(size_t capacity);
  // A buffer holding a copy of `len` bytes, exactly sized.
  ByteBuffer(const void* data, size_t len);
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  virtual ~ByteBuffer();

  char* base() const { return base_; }
  char* read_pos() const { return read_; }
  char* write_pos() const { return write_; }
  size_t capacity() const { return capacity_; }
  size_t ReadableBytes() const { return static_cast<size_t>(write_ - read_); }
  size_t WritableBytes() const { return static_cast<size_t>(base_ + capacity_ - write_); }
  bool empty() const { return read_ == write_; }

  // Both clamp instead of overrunning: the write position stays within
  // [read, base + capacity], the read position within [base, write].
  void AdvanceWrite(size_t n);
  void AdvanceRead(size_t n);
  // Both positions back to base; the memory stays.
  void Reset() { read_ = write_ = base_; }

  // Moves the readable bytes to base (ranges may overlap).
  void Compact();
  // Makes the capacity at least `capacity`, keeping the readable bytes
  // (compacted to base). Never shrinks. False if memory ran out.
  bool Reserve(size_t capacity);
  // Makes at least `n` bytes of free room, compacting first and growing to
  // the next power of two when that is not enough.
  bool EnsureWritable(size_t n);
  // Appends a copy of `len` bytes, growing as needed.
  bool Append(const void* data, size_t len);

  // Live buffers in the process (constructions, moves included, minus
  // destructions). Diagnostic only.
  static int64_t TotalCount() { return total_.load(std::memory_order_relaxed); }

 private:
  void release();

  char* base_ = nullptr;
  char* read_ = nullptr;
  char* write_ = nullptr;
  size_t capacity_ = 0;

  static std::atomic<int64_t> total_;
};

}  // namespace zavo
