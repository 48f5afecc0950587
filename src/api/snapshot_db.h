#pragma once
// The last security, index and future snapshot of every code, per exchange,
// for the last-data queries. The processing thread updates; user threads
// query; the heartbeat handling clears. Each cache has its own mutex and no
// operation holds two of them.
#include <memory>
#include <mutex>
#include <unordered_map>

#include "api/code_key.h"
#include "api/security_code.h"
#include "zavo_api.h"

namespace zavo {

template <class T>
struct st_mkt_data_cache {
  std::mutex mu;
  // 10 asks for 11 buckets; the records are heap copies owned by the map.
  std::unordered_map<SecurityCode, std::unique_ptr<T>, CodeHash> map{10};

  // Overwrites the record of `key` in place, or stores a copy.
  void Update(const SecurityCode& key, const T& rec) {
    std::lock_guard<std::mutex> lock(mu);
    std::unique_ptr<T>& slot = map[key];
    if (slot) {
      *slot = rec;
    } else {
      slot.reset(new T(rec));
    }
  }

  // One malloc block with every record (null when there is none).
  ZAVO_ERROR Query(T** out, int* count);

  void Clear() {
    std::lock_guard<std::mutex> lock(mu);
    map.clear();
  }

  size_t Size() {
    std::lock_guard<std::mutex> lock(mu);
    return map.size();
  }
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
    const unsigned char exchange = SecurityCode::ExchangeOfChar(rec.ExchangeID);
    if (exchange == 0) return;
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
