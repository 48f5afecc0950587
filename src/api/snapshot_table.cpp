#include "api/snapshot_table.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <thread>

#include "util/logger.h"

namespace zavo {

template <class T>
st_mkt_data_cache<T>::~st_mkt_data_cache() {
  for (auto& c : chunks_) delete[] c.load(std::memory_order_relaxed);
}

template <class T>
void st_mkt_data_cache<T>::read_slot(const Slot& s, T* out) {
  // The writer holds a slot odd for the time of one record copy; should it
  // be preempted right then, step aside rather than spin through its slice.
  for (unsigned tries = 1; !try_read_slot(s, out); ++tries) {
    if (tries % 64 == 0) std::this_thread::yield();
  }
}

template <class T>
ZAVO_ERROR st_mkt_data_cache<T>::Query(T** out, int* count) const {
  // A clear carried out while the records are copied may leave a mix of the
  // two days in the copy: copy again. Clears come once a day, so a second
  // attempt all but always succeeds; after a few the cache reads empty,
  // which is what a clear leaves anyway.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const uint32_t cleared = cleared_at_.load(std::memory_order_acquire);
    if (clear_requested_.load(std::memory_order_acquire) != cleared) break;
    const size_t n = published_.load(std::memory_order_acquire);
    if (n == 0) break;
    T* block = static_cast<T*>(std::malloc(n * sizeof(T)));
    if (block == nullptr) return ZAVO_ERR_INVALID;
    for (size_t i = 0; i < n; ++i) read_slot(slot(i), &block[i]);
    if (cleared_at_.load(std::memory_order_acquire) == cleared) {
      *out = block;
      *count = static_cast<int>(n);
      return ZAVO_SUCCESS;
    }
    std::free(block);
  }
  *out = nullptr;
  *count = 0;
  return ZAVO_SUCCESS;
}

template <class T>
typename st_mkt_data_cache<T>::Slot* st_mkt_data_cache<T>::add(const SecurityCode& key) {
  if (size_ >= kMaxRecords) {
    if (!full_logged_) {
      ZAVO_LOG("%p[%s] Cache full: %zu codes kept, records of further codes are not kept",
               static_cast<const void*>(this), "st_mkt_data_cache", size_);
      full_logged_ = true;
    }
    return nullptr;
  }
  const size_t at = size_;
  std::atomic<Slot*>& chunk = chunks_[at / kChunkRecords];
  if (chunk.load(std::memory_order_relaxed) == nullptr) {
    Slot* fresh = new (std::nothrow) Slot[kChunkRecords];
    if (fresh == nullptr) return nullptr;
    // Published before any count that covers its slots.
    chunk.store(fresh, std::memory_order_release);
  }
  ++size_;
  if (size_ * 4 > index_.size()) rehash(index_.empty() ? 256 : index_.size() * 2);
  Slot* const s = &slot(at);
  place(key, s);
  return s;
}

template <class T>
void st_mkt_data_cache<T>::place(const SecurityCode& key, Slot* at) {
  size_t i = slot_of(key, mask_);
  while (entries_[i].slot != nullptr) i = (i + 1) & mask_;
  entries_[i].key = key;
  entries_[i].slot = at;
}

template <class T>
void st_mkt_data_cache<T>::rehash(size_t slots) {
  std::vector<IndexEntry> old(slots, IndexEntry{});
  old.swap(index_);
  entries_ = index_.data();
  mask_ = slots - 1;
  for (const IndexEntry& e : old) {
    if (e.slot != nullptr) place(e.key, e.slot);
  }
}

template <class T>
void st_mkt_data_cache<T>::apply_clear() {
  const uint32_t request = clear_requested_.load(std::memory_order_acquire);
  // Readers still answer empty (the request is pending) while the count
  // drops; once the request reads as done, the count they see is 0. The
  // chunks stay for the next day's codes.
  published_.store(0, std::memory_order_relaxed);
  size_ = 0;
  std::fill(index_.begin(), index_.end(), IndexEntry{});
  full_logged_ = false;
  cleared_ = request;
  cleared_at_.store(request, std::memory_order_release);
}

template class st_mkt_data_cache<ZAVO_SecuritySnapShot>;
template class st_mkt_data_cache<ZAVO_IndexSnapShot>;
template class st_mkt_data_cache<ZAVO_FutureSnapShot>;

}  // namespace zavo
