#include "row_batch.h"

#include <pybind11/numpy.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "layouts.h"

namespace pyb = pybind11;

namespace zavo {
namespace py {

namespace {

// First mapping of a buffer: small, as a live read takes a few records.
constexpr size_t kFirstBytes = 64u << 10;
// From this size on a buffer asks for huge pages: a whole file then costs a
// fault per 2 MiB rather than per 4 KiB.
constexpr size_t kHugeFrom = 8u << 20;

size_t record_size(uint32_t msg_type) {
  for (const auto& l : RecordLayouts()) {
    if (l.msg_type == msg_type) return l.itemsize;
  }
  return 0;
}

struct Mapping {
  void* data;
  size_t capacity;
};

}  // namespace

RowBuffer::~RowBuffer() {
  if (data_ != nullptr) munmap(data_, capacity_);
}

char* RowBuffer::Grow(size_t n) {
  if (capacity_ - size_ < n) {
    const size_t want = std::max({kFirstBytes, capacity_ * 2, size_ + n});
    void* p = data_ == nullptr
                  ? mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                  : mremap(data_, capacity_, want, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (want >= kHugeFrom) madvise(p, want, MADV_HUGEPAGE);  // advice only
#endif
    data_ = static_cast<char*>(p);
    capacity_ = want;
  }
  char* at = data_ + size_;
  size_ += n;
  return at;
}

pyb::object RowBuffer::Release() {
  if (data_ == nullptr) return pyb::array_t<uint8_t>(0);
  auto* m = new Mapping{data_, capacity_};
  pyb::capsule owner(m, [](void* p) {
    auto* mm = static_cast<Mapping*>(p);
    munmap(mm->data, mm->capacity);
    delete mm;
  });
  pyb::array_t<uint8_t> a(static_cast<pyb::ssize_t>(size_), reinterpret_cast<uint8_t*>(data_),
                          owner);
  data_ = nullptr;
  size_ = capacity_ = 0;
  return std::move(a);
}

RowBatch::RowBatch() {
  for (int k = 0; k < kKinds; ++k) record_size_[k] = record_size(ZAVO_MSG_INDEX_SNAPSHOT + k);
}

void RowBatch::Add(uint32_t kind, const void* data, uint32_t size, uint64_t seq, uint32_t time) {
  if (kind < ZAVO_MSG_INDEX_SNAPSHOT || kind > ZAVO_MSG_SH_ORDER_DETAIL) return;
  const int k = static_cast<int>(kind - ZAVO_MSG_INDEX_SNAPSHOT);
  const size_t rec = record_size_[k];
  // Fresh pages are zero: only the record and the tail are written.
  char* row = rows_[k].Grow(RowBytes(rec));
  std::memcpy(row, data, std::min<size_t>(size, rec));
  char* tail = row + RowRecordBytes(rec);
  std::memcpy(tail, &seq, 8);
  std::memcpy(tail + 8, &time, 4);
  *order_.Grow(1) = static_cast<char>(k);
}

pyb::tuple RowBatch::Release() {
  pyb::dict out;
  for (int k = 0; k < kKinds; ++k) {
    if (!rows_[k].empty()) out[pyb::int_(ZAVO_MSG_INDEX_SNAPSHOT + k)] = rows_[k].Release();
  }
  return pyb::make_tuple(out, order_.Release());
}

}  // namespace py
}  // namespace zavo
