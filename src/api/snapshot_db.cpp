#include "api/snapshot_db.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <cstring>

namespace zavo {

namespace {
// Sleeps while the word still says "held with waiters" (2); wakes one
// sleeper. The Windows build waits on the address instead of a futex.
inline void wait_while_contended(std::atomic<int>* word) {
#ifdef _WIN32
  int contended = 2;
  WaitOnAddress(reinterpret_cast<volatile void*>(word), &contended, sizeof contended, INFINITE);
#else
  syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
#endif
}

inline void wake_one_waiter(std::atomic<int>* word) {
#ifdef _WIN32
  WakeByAddressSingle(reinterpret_cast<void*>(word));
#else
  syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
#endif
}
}  // namespace

void CacheLock::lock_contended(int c) {
  if (c != 2) c = state_.exchange(2, std::memory_order_acquire);
  while (c != 0) {
    wait_while_contended(&state_);
    c = state_.exchange(2, std::memory_order_acquire);
  }
}

void CacheLock::wake_one() {
  wake_one_waiter(&state_);
}

template <class T>
ZAVO_ERROR st_mkt_data_cache<T>::Query(T** out, int* count) {
  std::lock_guard<CacheLock> lock(mu);
  const size_t n = records_.size();
  if (n == 0) {
    *out = nullptr;
    *count = 0;
    return ZAVO_SUCCESS;
  }
  T* block = static_cast<T*>(std::malloc(n * sizeof(T)));
  if (block == nullptr) return ZAVO_ERR_INVALID;
  std::memcpy(block, records_.data(), n * sizeof(T));
  *out = block;
  *count = static_cast<int>(n);
  return ZAVO_SUCCESS;
}

template struct st_mkt_data_cache<ZAVO_SecuritySnapShot>;
template struct st_mkt_data_cache<ZAVO_IndexSnapShot>;
template struct st_mkt_data_cache<ZAVO_FutureSnapShot>;

template <class T>
ZAVO_ERROR SnapShotDB::query(st_mkt_data_cache<T> (&caches)[2], const char* market, T** data,
                             int* count) {
  if (market == nullptr || data == nullptr || count == nullptr) return ZAVO_ERR_INVALID;
  const unsigned char exchange = MarketOfText(market);
  if (exchange == 0) return ZAVO_ERR_INVALID;
  return caches[exchange - 1].Query(data, count);
}

ZAVO_ERROR SnapShotDB::GetLastMarketData(const char* market, ZAVO_SecuritySnapShot** data,
                                         int* count) {
  return query(securities_, market, data, count);
}

ZAVO_ERROR SnapShotDB::GetLastIndexData(const char* market, ZAVO_IndexSnapShot** data, int* count) {
  return query(indices_, market, data, count);
}

ZAVO_ERROR SnapShotDB::GetLastFutureData(const char* market, ZAVO_FutureSnapShot** data,
                                         int* count) {
  return query(futures_, market, data, count);
}

void SnapShotDB::Clear() {
  for (auto& c : securities_) c.Clear();
  for (auto& c : indices_) c.Clear();
  for (auto& c : futures_) c.Clear();
}

}  // namespace zavo
