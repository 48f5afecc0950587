#pragma once
// Messages kept aside, in order, while a book waits for a retransmission to
// fill a gap: copies of each message and its record, in one byte arena
// whose capacity is kept between gaps.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "zavo_api.h"

namespace zavo {
namespace book {

class HeldFields {
 public:
  // Copies the message and its record; false when that would pass
  // `max_bytes` (nothing is kept then).
  bool Push(const ZAVO_MSG& msg, size_t max_bytes) {
    size_t need = (msg.MsgData != nullptr ? msg.MsgSize : 0);
    if (bytes_.size() + need > max_bytes) return false;
    Held h{msg, bytes_.size()};
    bytes_.resize(bytes_.size() + ((need + 7) / 8) * 8);
    if (need) std::memcpy(bytes_.data() + h.offset, msg.MsgData, need);
    held_.push_back(h);
    return true;
  }
  size_t size() const { return held_.size(); }
  bool empty() const { return held_.empty(); }
  uint64_t last_seq() const { return held_.empty() ? 0 : held_.back().msg.SeqNum; }
  // The i-th message, its record pointing into this object.
  ZAVO_MSG At(size_t i) const {
    ZAVO_MSG m = held_[i].msg;
    if (m.MsgData != nullptr) m.MsgData = bytes_.data() + held_[i].offset;
    return m;
  }
  void Clear() {
    held_.clear();
    bytes_.clear();
  }
  void Swap(HeldFields& o) {
    held_.swap(o.held_);
    bytes_.swap(o.bytes_);
  }

 private:
  struct Held {
    ZAVO_MSG msg;
    size_t offset;
  };
  std::vector<Held> held_;
  std::vector<char> bytes_;
};

}  // namespace book
}  // namespace zavo
