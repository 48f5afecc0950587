// The snapshot cache's own table and lock: growth past its first size,
// overwrite in place, clear and refill, and whole records under contention.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "api/snapshot_db.h"

namespace zavo {
namespace {

ZAVO_SecuritySnapShot snap(int code, char exchange, int64_t px) {
  ZAVO_SecuritySnapShot s;
  std::memset(&s, 0, sizeof(s));
  std::snprintf(s.Code, sizeof(s.Code), "%06d", code);
  s.ExchangeID = exchange;
  s.MatchPx = px;
  // A second copy of the value: a torn record would show a mismatch.
  s.LowLimited = px;
  return s;
}

std::map<std::string, int64_t> query(SnapShotDB& db, const char* market) {
  ZAVO_SecuritySnapShot* data = nullptr;
  int count = 0;
  std::map<std::string, int64_t> out;
  if (db.GetLastMarketData(market, &data, &count) != ZAVO_SUCCESS) return out;
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(data[i].MatchPx, data[i].LowLimited);
    out[data[i].Code] = data[i].MatchPx;
  }
  std::free(data);
  return out;
}

TEST(SnapshotTable, GrowsOverwritesClearsAndRefills) {
  SnapShotDB db;
  // Well past the first table size, on both exchanges, every code twice.
  for (int round = 0; round < 2; ++round) {
    for (int code = 0; code < 3000; ++code) {
      db.Update(snap(code, '1', code * 10 + round));
      if (code % 3 == 0) db.Update(snap(code, '2', -code - round));
    }
  }
  std::map<std::string, int64_t> sh = query(db, "SH");
  ASSERT_EQ(sh.size(), 3000u);
  for (int code = 0; code < 3000; ++code) {
    char name[16];
    std::snprintf(name, sizeof(name), "%06d", code);
    ASSERT_EQ(sh[name], code * 10 + 1) << name;
  }
  const std::map<std::string, int64_t> sz = query(db, "SZ");
  ASSERT_EQ(sz.size(), 1000u);
  EXPECT_EQ(sz.at("000003"), -4);
  EXPECT_EQ(db.securities(1).Size(), 3000u);

  db.Clear();
  EXPECT_TRUE(query(db, "SH").empty());
  EXPECT_EQ(db.securities(1).Size(), 0u);
  // After a clear the same codes are new again and found again.
  db.Update(snap(42, '1', 7));
  db.Update(snap(42, '1', 8));
  db.Update(snap(43, '1', 9));
  sh = query(db, "SH");
  ASSERT_EQ(sh.size(), 2u);
  EXPECT_EQ(sh.at("000042"), 8);
  EXPECT_EQ(sh.at("000043"), 9);
}

TEST(SnapshotTable, ContendedUpdatesAndQueriesSeeWholeRecords) {
  SnapShotDB db;
  constexpr int kUpdates = 20000;
  std::atomic<bool> writers_done{false};
  auto writer = [&](int first_code) {
    for (int i = 0; i < kUpdates; ++i) db.Update(snap(first_code + i % 500, '1', i));
  };
  std::thread a(writer, 0);
  std::thread b(writer, 250);  // half the codes shared with the other writer
  int queries = 0;
  std::thread reader([&] {
    // At least one query even when the writers finish first.
    do {
      query(db, "SH");
      ++queries;
    } while (!writers_done.load() && queries < 100000);
  });
  a.join();
  b.join();
  writers_done = true;
  reader.join();
  const std::map<std::string, int64_t> sh = query(db, "SH");
  EXPECT_EQ(sh.size(), 750u);
  for (const auto& entry : sh) {
    EXPECT_GE(entry.second, kUpdates - 500) << entry.first;  // the last round of each writer
  }
  EXPECT_GT(queries, 0);
}

}  // namespace
}  // namespace zavo
