#include "api/snapshot_db.h"

namespace zavo {

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
