#pragma once
// The last security, index and future snapshot of every code, per exchange,
// for the last-data queries. The processing thread updates; user threads
// query; the heartbeat handling clears. Each cache has its own mutex and no
// operation holds two of them.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "api/code_key.h"
#include "api/security_code.h"
#include "zavo_api.h"

namespace zavo {

// The lock of one cache. Uncontended (the usual case: the processing thread
// updates, a user thread queries now and then) it costs one atomic exchange
// each way; a waiter sleeps in the kernel instead of spinning, so a query
// that copies a large cache never burns the processing thread's core.
class CacheLock {
 public:
  void lock() {
    int c = 0;
    if (state_.compare_exchange_strong(c, 1, std::memory_order_acquire)) return;
    lock_contended(c);
  }
  void unlock() {
    if (state_.exchange(0, std::memory_order_release) == 2) wake_one();
  }

 private:
  void lock_contended(int c);
  void wake_one();

  // 0 free, 1 held, 2 held and someone may be waiting.
  std::atomic<int> state_{0};
};

template <class T>
struct st_mkt_data_cache {
  CacheLock mu;

  // Overwrites the record of `key` in place, or stores a copy. Allocates
  // only for a code not seen before (and when the table grows).
  void Update(const SecurityCode& key, const T& rec) {
    std::lock_guard<CacheLock> lock(mu);
    const size_t at = find_or_add(key);
    std::memcpy(&records_[at], &rec, sizeof(T));
  }

  // One malloc block with every record (null when there is none).
  ZAVO_ERROR Query(T** out, int* count);

  void Clear() {
    std::lock_guard<CacheLock> lock(mu);
    records_.clear();
    keys_.clear();
    std::fill(slots_.begin(), slots_.end(), 0u);
  }

  size_t Size() {
    std::lock_guard<CacheLock> lock(mu);
    return records_.size();
  }

 private:
  static size_t slot_of(const SecurityCode& key, size_t mask) {
    uint64_t lo, hi;
    std::memcpy(&lo, reinterpret_cast<const char*>(&key), 8);
    std::memcpy(&hi, reinterpret_cast<const char*>(&key) + 8, 8);
    // Codes differ mostly in their last characters, which sit in the top
    // bytes of the first word: fold the high halves down before and after
    // the multiply, so every byte reaches the low bits that pick the slot.
    uint64_t x = lo + hi * 0x9E3779B97F4A7C15ULL;
    x ^= x >> 32;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 29;
    return static_cast<size_t>(x) & mask;
  }

  // Both words compared at once: one branch per probed slot, not two.
  static bool same_key(const SecurityCode& a, const SecurityCode& b) {
    uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, reinterpret_cast<const char*>(&a), 8);
    std::memcpy(&a1, reinterpret_cast<const char*>(&a) + 8, 8);
    std::memcpy(&b0, reinterpret_cast<const char*>(&b), 8);
    std::memcpy(&b1, reinterpret_cast<const char*>(&b) + 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }

  // Index of `key` in records_, adding a zeroed record when it is new.
  size_t find_or_add(const SecurityCode& key) {
    if (!slots_.empty()) {
      const size_t mask = slots_.size() - 1;
      for (size_t i = slot_of(key, mask);; i = (i + 1) & mask) {
        const uint32_t v = slots_[i];
        if (v == 0) break;
        if (same_key(keys_[v - 1], key)) return v - 1;
      }
    }
    records_.emplace_back();
    keys_.push_back(key);
    // At most a quarter full: most codes sit in their first slot, so the
    // probe's one branch is taken the same way every time.
    if (keys_.size() * 4 > slots_.size()) {
      rehash(slots_.empty() ? 256 : slots_.size() * 2);
    } else {
      place(keys_.size() - 1);
    }
    return keys_.size() - 1;
  }

  void place(size_t index) {
    const size_t mask = slots_.size() - 1;
    size_t i = slot_of(keys_[index], mask);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = static_cast<uint32_t>(index + 1);
  }

  void rehash(size_t slots) {
    slots_.assign(slots, 0u);
    for (size_t k = 0; k < keys_.size(); ++k) place(k);
  }

  // Records and their keys in the order the codes first came; slots_ holds
  // index + 1 into them (0: empty), a power of two in size.
  std::vector<T> records_;
  std::vector<SecurityCode> keys_;
  std::vector<uint32_t> slots_;
};

class SnapShotDB {
 public:
  SnapShotDB() = default;
  SnapShotDB(const SnapShotDB&) = delete;
  SnapShotDB& operator=(const SnapShotDB&) = delete;

  // Stores the record under its ExchangeID ('1' Shanghai, '2' Shenzhen) and
  // code; records of any other exchange are not kept.
  void Update(const ZAVO_SecuritySnapShot& rec) { update(securities_, rec); }
  void Update(const ZAVO_IndexSnapShot& rec) { update(indices_, rec); }
  void Update(const ZAVO_FutureSnapShot& rec) { update(futures_, rec); }

  // Market "SH" or "SZ" in any case. On success *data is a malloc block of
  // *count records (null when there are none) that the caller frees with
  // free()/ZAVO_Free. ZAVO_ERR_INVALID for a null argument, another market
  // text, or a failed allocation.
  ZAVO_ERROR GetLastMarketData(const char* market, ZAVO_SecuritySnapShot** data, int* count);
  ZAVO_ERROR GetLastIndexData(const char* market, ZAVO_IndexSnapShot** data, int* count);
  ZAVO_ERROR GetLastFutureData(const char* market, ZAVO_FutureSnapShot** data, int* count);

  // Empties the six caches, one at a time.
  void Clear();

  st_mkt_data_cache<ZAVO_SecuritySnapShot>& securities(int exchange) {
    return securities_[exchange - 1];
  }
  st_mkt_data_cache<ZAVO_IndexSnapShot>& indices(int exchange) { return indices_[exchange - 1]; }
  st_mkt_data_cache<ZAVO_FutureSnapShot>& futures(int exchange) { return futures_[exchange - 1]; }

 private:
  template <class T>
  static void update(st_mkt_data_cache<T> (&caches)[2], const T& rec) {
    // '1' -> 1, '2' -> 2, anything else -> not kept; without a branch on
    // the market, as records of both markets arrive interleaved.
    const unsigned n = static_cast<unsigned>(static_cast<unsigned char>(rec.ExchangeID)) - '1';
    if (n >= 2u) return;
    const unsigned char exchange = static_cast<unsigned char>(n + 1);
    static_assert(sizeof(rec.Code) == 16, "codes are keyed from their 16 bytes");
    caches[exchange - 1].Update(KeyOfCode16(exchange, rec.Code), rec);
  }
  template <class T>
  static ZAVO_ERROR query(st_mkt_data_cache<T> (&caches)[2], const char* market, T** data,
                          int* count);

  // Shanghai, Shenzhen.
  st_mkt_data_cache<ZAVO_SecuritySnapShot> securities_[2];
  st_mkt_data_cache<ZAVO_IndexSnapShot> indices_[2];
  st_mkt_data_cache<ZAVO_FutureSnapShot> futures_[2];
};

}  // namespace zavo
