#include "sim_history.h"

namespace zavo {
namespace sim {

// The ring holds a contiguous run of sequence numbers ending at last_. A
// number that does not follow on (a restart of the numbering) starts the
// run afresh, so that Find never answers with a stale slot.
void FieldHistory::Record(uint64_t seq, const char* field, size_t len) {
  if (count_ == 0 || seq != last_ + 1) count_ = 0;
  Slot& s = slots_[seq % slots_.size()];
  s.seq = seq;
  s.bytes.assign(field, field + len);
  last_ = seq;
  if (count_ < slots_.size()) ++count_;
}

const std::vector<char>* FieldHistory::Find(uint64_t seq) const {
  if (count_ == 0 || seq > last_ || seq < first()) return nullptr;
  const Slot& s = slots_[seq % slots_.size()];
  return s.seq == seq ? &s.bytes : nullptr;
}

void RawHistory::Record(uint64_t seq, uint32_t send_time, const char* payload, size_t len) {
  if (count_ == 0 || seq != last_ + 1) count_ = 0;
  Entry& e = slots_[seq % slots_.size()];
  e.seq = seq;
  e.send_time = send_time;
  e.payload.assign(payload, payload + len);
  last_ = seq;
  if (count_ < slots_.size()) ++count_;
}

const RawHistory::Entry* RawHistory::Find(uint64_t seq) const {
  if (count_ == 0 || seq > last_ || seq < first()) return nullptr;
  const Entry& e = slots_[seq % slots_.size()];
  return e.seq == seq ? &e : nullptr;
}

}  // namespace sim
}  // namespace zavo
