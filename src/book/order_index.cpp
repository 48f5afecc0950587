#include "book/order_index.h"

namespace zavo {
namespace book {

bool OrderIndex::Insert(uint32_t security, int64_t seq, int32_t slot) {
  // Keep the load at or below one half: probes stay short on clustered
  // sequence numbers.
  if ((size_ + 1) * 2 > table_.size()) rehash(table_.size() * 2);
  for (size_t i = home(security, seq);; i = (i + 1) & mask_) {
    Entry& e = table_[i];
    if (e.slot < 0) {
      e = Entry{seq, security, slot};
      ++size_;
      return true;
    }
    if (e.seq == seq && e.security == security) return false;
  }
}

void OrderIndex::Erase(uint32_t security, int64_t seq) {
  size_t i = home(security, seq);
  for (;; i = (i + 1) & mask_) {
    const Entry& e = table_[i];
    if (e.slot < 0) return;
    if (e.seq == seq && e.security == security) break;
  }
  // Backward shift: move every later entry of the run that may sit at `i`
  // into the hole, so lookups never meet a gap inside their run.
  size_t hole = i;
  for (size_t j = (i + 1) & mask_;; j = (j + 1) & mask_) {
    Entry& e = table_[j];
    if (e.slot < 0) break;
    size_t h = home(e.security, e.seq);
    bool movable = hole <= j ? (h <= hole || h > j) : (h <= hole && h > j);
    if (movable) {
      table_[hole] = e;
      hole = j;
    }
  }
  table_[hole].slot = -1;
  --size_;
}

void OrderIndex::Reserve(size_t count) {
  size_t cap = table_.size();
  while (count * 2 > cap) cap *= 2;
  if (cap != table_.size()) rehash(cap);
}

void OrderIndex::rehash(size_t capacity) {
  std::vector<Entry> old;
  old.swap(table_);
  table_.assign(capacity, Entry{0, 0, -1});
  mask_ = capacity - 1;
  size_ = 0;
  for (const Entry& e : old) {
    if (e.slot >= 0) Insert(e.security, e.seq, e.slot);
  }
}

}  // namespace book
}  // namespace zavo
