#pragma once
// Struct-mode records gathered into rows grouped by kind, the shape every
// batch has on its way to numpy: per kind one byte buffer of rows (the
// record padded to 8 bytes, then SeqNum and MsgTime), and one byte per
// record giving the kinds in arrival order. Filling needs no interpreter;
// Release hands the buffers to numpy without a copy.
//
// A whole capture file can be millions of rows, so a buffer grows by
// remapping its pages (never by copying them), in huge pages where the
// system allows, and is filled on pages the kernel has already zeroed:
// the padding needs no writing.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>

#include "zavo_api.h"

namespace zavo {
namespace py {

// Anonymous memory that grows in place; owned by numpy after Release.
class RowBuffer {
 public:
  RowBuffer() = default;
  ~RowBuffer();
  RowBuffer(const RowBuffer&) = delete;
  RowBuffer& operator=(const RowBuffer&) = delete;

  // `n` more bytes at the end, zero-filled; throws std::bad_alloc.
  char* Grow(size_t n);
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // A numpy uint8 array over the bytes, which it then owns; the buffer is
  // empty afterwards. Needs the interpreter lock.
  pybind11::object Release();

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

class RowBatch {
 public:
  static constexpr int kKinds = ZAVO_MSG_SH_ORDER_DETAIL - ZAVO_MSG_INDEX_SNAPSHOT + 1;

  RowBatch();
  // Copies one record; kinds outside 100..106 are ignored.
  void Add(uint32_t kind, const void* data, uint32_t size, uint64_t seq, uint32_t time);
  size_t size() const { return order_.size(); }
  // ({msg_type: uint8 array of rows}, uint8 array of kinds in arrival
  // order); the batch is empty afterwards. Needs the interpreter lock.
  pybind11::tuple Release();

 private:
  size_t record_size_[kKinds];
  RowBuffer rows_[kKinds];
  RowBuffer order_;
};

}  // namespace py
}  // namespace zavo
