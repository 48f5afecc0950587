// The snapshot cache's own table: growth past its first size, overwrite in
// place, clear and refill, its bound, and whole records for readers while
// the writer updates.
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

// A record whose every word after the code and exchange carries `v`: a
// copy that mixes two updates shows two values.
ZAVO_SecuritySnapShot uniform(int code, uint64_t v) {
  ZAVO_SecuritySnapShot s = snap(code, '1', 0);
  uint64_t* words = reinterpret_cast<uint64_t*>(&s);
  for (size_t i = 3; i < sizeof(s) / 8; ++i) words[i] = v;
  return s;
}

// Checks every record of a query for tearing; answers how many there were.
int whole_records(SnapShotDB& db) {
  ZAVO_SecuritySnapShot* data = nullptr;
  int count = 0;
  EXPECT_EQ(db.GetLastMarketData("SH", &data, &count), ZAVO_SUCCESS);
  for (int i = 0; i < count; ++i) {
    const uint64_t* words = reinterpret_cast<const uint64_t*>(&data[i]);
    for (size_t w = 4; w < sizeof(data[i]) / 8; ++w) {
      if (words[w] != words[3]) {
        ADD_FAILURE() << "torn record " << data[i].Code << ": word " << w << " " << words[w]
                      << " against " << words[3];
        break;
      }
    }
  }
  std::free(data);
  return count;
}

// One writer (the processing thread's part), readers on user threads, and
// day changes from a third thread (the loop thread's part), all at once.
TEST(SnapshotTable, ReadersNeverSeeATornRecordWhileTheWriterUpdatesAndClears) {
  SnapShotDB db;
  constexpr int kCodes = 300;
  constexpr int kRounds = 300;
  // Two day changes, a third and two thirds of the way in: the writer
  // waits at those rounds until the clear has been asked for, so that it
  // always has rounds left to refill the cache.
  constexpr int kClearAt[] = {kRounds / 3, 2 * kRounds / 3};
  std::atomic<int> round_done{0};
  std::atomic<int> clears{0};
  std::atomic<bool> writer_done{false};
  std::thread writer([&] {
    for (int r = 1; r <= kRounds; ++r) {
      for (int code = 0; code < kCodes; ++code) db.Update(uniform(code, r * 1000003ULL + code));
      round_done.store(r, std::memory_order_release);
      for (int k = 0; k < 2; ++k) {
        while (r == kClearAt[k] && clears.load(std::memory_order_acquire) <= k) {
          std::this_thread::yield();
        }
      }
    }
    writer_done = true;
  });
  std::thread clearer([&] {
    for (int at : kClearAt) {
      while (round_done.load(std::memory_order_acquire) < at) std::this_thread::yield();
      db.Clear();
      clears.fetch_add(1, std::memory_order_release);
    }
  });
  auto reader = [&] {
    int queries = 0;
    do {
      const int n = whole_records(db);
      ASSERT_LE(n, kCodes);
      ++queries;
    } while (!writer_done.load() && queries < 200000 && !::testing::Test::HasFailure());
  };
  std::thread r1(reader);
  reader();
  writer.join();
  clearer.join();
  r1.join();
  // After the last round every code is back with its last record.
  const std::map<std::string, int64_t> sh = query(db, "SH");
  ASSERT_EQ(sh.size(), static_cast<size_t>(kCodes));
  EXPECT_EQ(sh.at("000007"), static_cast<int64_t>(kRounds * 1000003ULL + 7));
  EXPECT_EQ(whole_records(db), kCodes);
}

TEST(SnapshotTable, AClearFromAnyThreadShowsAtOnceAndTheWriterCarriesItOut) {
  SnapShotDB db;
  for (int code = 0; code < 10; ++code) db.Update(snap(code, '1', code));
  db.Update(snap(1, '2', 5));
  std::thread([&] { db.Clear(); }).join();
  // Nothing is visible any more, though the writer has not run since.
  EXPECT_TRUE(query(db, "SH").empty());
  EXPECT_TRUE(query(db, "SZ").empty());
  EXPECT_EQ(db.securities(1).Size(), 0u);
  // Its next update drops the old day first.
  db.Update(snap(3, '1', 33));
  const std::map<std::string, int64_t> sh = query(db, "SH");
  ASSERT_EQ(sh.size(), 1u);
  EXPECT_EQ(sh.at("000003"), 33);
  EXPECT_EQ(db.securities(1).Size(), 1u);
  EXPECT_TRUE(query(db, "SZ").empty());
}

TEST(SnapshotTable, KeepsAtMostItsBoundOfCodes) {
  st_mkt_data_cache<ZAVO_IndexSnapShot> cache;
  constexpr size_t kMax = st_mkt_data_cache<ZAVO_IndexSnapShot>::kMaxRecords;
  ZAVO_IndexSnapShot rec;
  std::memset(&rec, 0, sizeof(rec));
  char code[16];
  for (size_t i = 0; i < kMax; ++i) {
    std::snprintf(code, sizeof(code), "I%08zu", i);
    rec.LastIndex = static_cast<int64_t>(i);
    ASSERT_TRUE(cache.Update(SecurityCode::Make(1, code), rec)) << i;
  }
  // A new code past the bound is not kept; known codes still update.
  EXPECT_FALSE(cache.Update(SecurityCode::Make(1, "NEW"), rec));
  rec.LastIndex = -1;
  EXPECT_TRUE(cache.Update(SecurityCode::Make(1, "I00000005"), rec));
  EXPECT_EQ(cache.Size(), kMax);
  ZAVO_IndexSnapShot* data = nullptr;
  int count = 0;
  ASSERT_EQ(cache.Query(&data, &count), ZAVO_SUCCESS);
  ASSERT_EQ(static_cast<size_t>(count), kMax);
  EXPECT_EQ(data[5].LastIndex, -1);
  EXPECT_EQ(data[kMax - 1].LastIndex, static_cast<int64_t>(kMax - 1));
  std::free(data);
  // A clear makes room again.
  cache.Clear();
  EXPECT_TRUE(cache.Update(SecurityCode::Make(1, "NEW"), rec));
  EXPECT_EQ(cache.Size(), 1u);
}

}  // namespace
}  // namespace zavo
