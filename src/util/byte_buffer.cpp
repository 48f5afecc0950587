#include "util/byte_buffer.h"

#include <cstdlib>
#include <cstring>

namespace zavo {

std::atomic<int64_t> ByteBuffer::total_{0};

ByteBuffer::ByteBuffer(size_t capacity) {
  total_.fetch_add(1, std::memory_order_relaxed);
  if (capacity > 0) {
    base_ = static_cast<char*>(std::malloc(capacity));
    if (base_ != nullptr) capacity_ = capacity;
  }
  read_ = write_ = base_;
}

ByteBuffer::ByteBuffer(const void* data, size_t len) : ByteBuffer(len) {
  if (len > 0 && base_ != nullptr) {
    std::memcpy(base_, data, len);
    write_ = base_ + len;
  }
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : base_(other.base_), read_(other.read_), write_(other.write_), capacity_(other.capacity_) {
  total_.fetch_add(1, std::memory_order_relaxed);
  other.base_ = other.read_ = other.write_ = nullptr;
  other.capacity_ = 0;
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    base_ = other.base_;
    read_ = other.read_;
    write_ = other.write_;
    capacity_ = other.capacity_;
    other.base_ = other.read_ = other.write_ = nullptr;
    other.capacity_ = 0;
  }
  return *this;
}

ByteBuffer::~ByteBuffer() {
  release();
  total_.fetch_sub(1, std::memory_order_relaxed);
}

void ByteBuffer::release() {
  std::free(base_);
  base_ = read_ = write_ = nullptr;
  capacity_ = 0;
}

void ByteBuffer::AdvanceWrite(size_t n) {
  size_t room = WritableBytes();
  write_ += n < room ? n : room;
}

void ByteBuffer::AdvanceRead(size_t n) {
  size_t avail = ReadableBytes();
  read_ += n < avail ? n : avail;
}

void ByteBuffer::Compact() {
  if (read_ == base_) return;
  size_t n = ReadableBytes();
  if (n > 0) std::memmove(base_, read_, n);
  read_ = base_;
  write_ = base_ + n;
}

bool ByteBuffer::Reserve(size_t capacity) {
  if (capacity <= capacity_) return true;
  char* block = static_cast<char*>(std::malloc(capacity));
  if (block == nullptr) return false;
  size_t n = ReadableBytes();
  if (n > 0) std::memcpy(block, read_, n);
  std::free(base_);
  base_ = read_ = block;
  write_ = block + n;
  capacity_ = capacity;
  return true;
}

bool ByteBuffer::EnsureWritable(size_t n) {
  if (WritableBytes() >= n) return true;
  Compact();
  if (WritableBytes() >= n) return true;
  size_t want = ReadableBytes() + n;
  size_t cap = capacity_ > 64 ? capacity_ : 64;
  while (cap < want) cap *= 2;
  return Reserve(cap);
}

bool ByteBuffer::Append(const void* data, size_t len) {
  if (len == 0) return true;
  if (!EnsureWritable(len)) return false;
  std::memcpy(write_, data, len);
  write_ += len;
  return true;
}

}  // namespace zavo
