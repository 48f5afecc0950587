#include "api/hold_queue.h"

#include <algorithm>
#include <cstring>

namespace zavo {

namespace {
// Details (56 to 96 bytes), futures (336), snapshots and queues (536, 856).
constexpr uint32_t kClassBytes[3] = {128, 384, 1024};
// Spare blocks kept per size: enough for a busy feed's usual hole, a few
// hundred kilobytes at most.
constexpr size_t kMaxSpares = 1024;
constexpr uint8_t kOversize = 0xFF;
}  // namespace

HoldQueue::~HoldQueue() {
  Clear();
  for (auto& spares : spare_) {
    for (char* block : spares) delete[] block;
  }
}

uint8_t HoldQueue::class_of(uint32_t size) {
  for (uint8_t c = 0; c < 3; ++c) {
    if (size <= kClassBytes[c]) return c;
  }
  return kOversize;
}

uint64_t HoldQueue::Charge(uint32_t size) {
  const uint8_t c = class_of(size);
  return (c == kOversize ? size : kClassBytes[c]) + sizeof(Record);
}

char* HoldQueue::take(uint8_t size_class, uint32_t size) {
  if (size_class == kOversize) return new char[size];
  std::vector<char*>& spares = spare_[size_class];
  if (spares.empty()) return new char[kClassBytes[size_class]];
  char* block = spares.back();
  spares.pop_back();
  return block;
}

void HoldQueue::give_back(const Record& r) {
  bytes_ -= Charge(r.size);
  if (r.size_class == kOversize || spare_[r.size_class].size() >= kMaxSpares) {
    delete[] r.data;
    return;
  }
  spare_[r.size_class].push_back(r.data);
}

void HoldQueue::Add(uint64_t seq, uint32_t kind, uint32_t size, uint32_t msg_time,
                    const void* record) {
  Record r;
  r.seq = seq;
  r.kind = kind;
  r.size = size;
  r.msg_time = msg_time;
  r.size_class = class_of(size);
  r.data = take(r.size_class, size);
  std::memcpy(r.data, record, size);
  bytes_ += Charge(size);
  if (bytes_ > peak_bytes_) peak_bytes_ = bytes_;
  if (held_.empty() || held_.back().seq < seq) {
    held_.push_back(r);
    return;
  }
  auto at = std::lower_bound(held_.begin(), held_.end(), seq,
                             [](const Record& h, uint64_t s) { return h.seq < s; });
  held_.insert(at, r);
}

void HoldQueue::PopFront() {
  give_back(held_.front());
  held_.pop_front();
}

void HoldQueue::Clear() {
  while (!held_.empty()) PopFront();
}

}  // namespace zavo
