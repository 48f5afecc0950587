#pragma once
// The last security, index and future snapshot of every code, per exchange,
// for the last-data queries. The thread that decodes the feed updates (one
// thread at a time); user threads query at any moment without ever making
// it wait; the heartbeat handling clears, from the processing or the loop
// thread. See st_mkt_data_cache for how.
#include <cstdint>

#include "api/code_key.h"
#include "api/snapshot_table.h"
#include "zavo_api.h"

namespace zavo {

class SnapShotDB {
 public:
  SnapShotDB() = default;
  SnapShotDB(const SnapShotDB&) = delete;
  SnapShotDB& operator=(const SnapShotDB&) = delete;

  // Writer: stores the record under its ExchangeID ('1' Shanghai, '2'
  // Shenzhen) and code; records of any other exchange are not kept.
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

  // Any thread: empties the six caches (queries answer empty at once).
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
