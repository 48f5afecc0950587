#pragma once
// One last-snapshot cache (one record kind of one exchange): the latest
// record of every code, written by the thread that decodes the feed and
// read by user threads (the last-data queries) at any moment.
//
// Single writer, readers that never block it. Each record sits in a slot
// with a sequence word: the writer makes it odd, stores the record, makes
// it even again; a reader copies the record between two readings of the
// word and keeps the copy only if both were the same even value, so it
// never returns a torn record. The record's words are stored and loaded
// as atomics (release stores, acquire loads: plain moves on x86), which is
// what makes the scheme sound in the language's memory model and clean
// under ThreadSanitizer.
//
// Slots live in fixed chunks that never move, so a reader can copy while
// the writer adds codes. Only the writer keeps the code index (an
// open-addressing table over the slots); readers walk the published count.
// Clear may come from any thread: it is a request that readers honour at
// once (they answer empty) and that the writer carries out before its next
// update, so the writer stays the only thread that touches the slots.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "api/security_code.h"
#include "zavo_api.h"

namespace zavo {

template <class T>
class st_mkt_data_cache {
 public:
  static constexpr size_t kChunkRecords = 256;
  static constexpr size_t kMaxChunks = 512;
  // Codes kept per exchange and kind: far more than any market lists, and a
  // bound on what a feed of ever new codes can make the cache hold.
  static constexpr size_t kMaxRecords = kChunkRecords * kMaxChunks;

  st_mkt_data_cache() = default;
  ~st_mkt_data_cache();
  st_mkt_data_cache(const st_mkt_data_cache&) = delete;
  st_mkt_data_cache& operator=(const st_mkt_data_cache&) = delete;

  // Writer (one thread at a time): overwrites the record of `key`, or adds
  // it. Allocates only for a code not seen before (a new chunk, a larger
  // index). False when the code is new and kMaxRecords codes are kept
  // already: the record is not kept (logged once per cache).
  bool Update(const SecurityCode& key, const T& rec) {
    if (clear_requested_.load(std::memory_order_acquire) != cleared_) apply_clear();
    bool added = false;
    Slot* const at = find_or_add(key, &added);
    if (at == nullptr) return false;
    write_slot(*at, rec);
    // A new code is published after its record: a reader that sees the
    // count sees a whole record in every slot below it.
    if (added) published_.store(static_cast<uint32_t>(size_), std::memory_order_release);
    return true;
  }

  // Any thread: one malloc block with every record (null when there is
  // none). ZAVO_ERR_INVALID when the block cannot be allocated.
  ZAVO_ERROR Query(T** out, int* count) const;

  // Any thread: from now on queries answer empty; the writer drops the
  // records before its next update.
  void Clear() { clear_requested_.fetch_add(1, std::memory_order_acq_rel); }

  // Any thread: the number of records a query would return now.
  size_t Size() const {
    if (clear_pending()) return 0;
    return published_.load(std::memory_order_acquire);
  }

 private:
  static constexpr size_t kWords = sizeof(T) / sizeof(uint64_t);
  static_assert(sizeof(T) % sizeof(uint64_t) == 0, "records are copied in 64-bit words");

  struct Slot {
    std::atomic<uint64_t> seq{0};  // odd while the writer stores
    uint64_t words[kWords] = {};   // accessed only through atomic builtins
  };

  static void write_slot(Slot& s, const T& rec) {
    const uint64_t seq = s.seq.load(std::memory_order_relaxed);
    s.seq.store(seq + 1, std::memory_order_relaxed);
    const char* src = reinterpret_cast<const char*>(&rec);
    // Unrolled: a loop costs more than the two moves per word.
#pragma GCC unroll 128
    for (size_t i = 0; i < kWords; ++i) {
      uint64_t w;
      std::memcpy(&w, src + i * sizeof(w), sizeof(w));
      // Release: the odd sequence is visible before any word of the new
      // record is.
      __atomic_store_n(&s.words[i], w, __ATOMIC_RELEASE);
    }
    s.seq.store(seq + 2, std::memory_order_release);
  }

  // A whole record, or false when the writer was storing meanwhile.
  static bool try_read_slot(const Slot& s, T* out) {
    const uint64_t before = s.seq.load(std::memory_order_acquire);
    if (before & 1u) return false;
    char* dst = reinterpret_cast<char*>(out);
    for (size_t i = 0; i < kWords; ++i) {
      // Acquire: the second reading of the sequence cannot move above.
      const uint64_t w = __atomic_load_n(&s.words[i], __ATOMIC_ACQUIRE);
      std::memcpy(dst + i * sizeof(w), &w, sizeof(w));
    }
    return s.seq.load(std::memory_order_relaxed) == before;
  }
  static void read_slot(const Slot& s, T* out);

  bool clear_pending() const {
    return clear_requested_.load(std::memory_order_acquire) !=
           cleared_at_.load(std::memory_order_acquire);
  }

  Slot& slot(size_t at) {
    return chunks_[at / kChunkRecords].load(std::memory_order_relaxed)[at % kChunkRecords];
  }
  const Slot& slot(size_t at) const {
    return chunks_[at / kChunkRecords].load(std::memory_order_acquire)[at % kChunkRecords];
  }

  static size_t slot_of(const SecurityCode& key, size_t mask) {
    return SlotHash(key) & mask;
  }

  // The slot of `key`, adding it when it is new (null when full). The index
  // holds each code beside its slot's address (slots never move), so a hit
  // costs the hash, one entry and one compare, and no second array.
  Slot* find_or_add(const SecurityCode& key, bool* added) {
    if (entries_ != nullptr) {
      for (size_t i = slot_of(key, mask_);; i = (i + 1) & mask_) {
        const IndexEntry& e = entries_[i];
        if (e.slot == nullptr) break;
        if (e.key == key) return e.slot;
      }
    }
    *added = true;
    return add(key);
  }
  Slot* add(const SecurityCode& key);
  void place(const SecurityCode& key, Slot* at);
  void rehash(size_t slots);
  void apply_clear();

  // Published to readers.
  std::atomic<Slot*> chunks_[kMaxChunks] = {};
  std::atomic<uint32_t> published_{0};
  std::atomic<uint32_t> clear_requested_{0};
  std::atomic<uint32_t> cleared_at_{0};  // the request the writer carried out last

  // The writer's own.
  uint32_t cleared_ = 0;  // cleared_at_ as the writer knows it
  size_t size_ = 0;       // slots in use
  // The code index: a power of two in size and at most a quarter full, so
  // most codes sit where they hash. entries_ and mask_ mirror index_ for
  // the probe (index_.data() and size - 1; null and 0 while empty).
  struct IndexEntry {
    SecurityCode key;
    Slot* slot;  // null: empty
  };
  std::vector<IndexEntry> index_;
  IndexEntry* entries_ = nullptr;
  size_t mask_ = 0;
  bool full_logged_ = false;
};

}  // namespace zavo
