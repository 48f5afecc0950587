#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/code_info_db.h"
#include "api/snapshot_db.h"

namespace zavo {
namespace {

ZAVO_SecuritySnapShot security(const char* code, char exchange, int64_t px) {
  ZAVO_SecuritySnapShot r;
  std::memset(&r, 0, sizeof(r));
  std::snprintf(r.Code, sizeof(r.Code), "%s", code);
  r.ExchangeID = exchange;
  r.MatchPx = px;
  return r;
}

TEST(SnapShotDB, KeepsTheLatestPerCodeAndExchange) {
  SnapShotDB db;
  ZAVO_SecuritySnapShot* data = reinterpret_cast<ZAVO_SecuritySnapShot*>(0x1);
  int count = -1;
  // empty: success, count 0, null block
  ASSERT_EQ(db.GetLastMarketData("SH", &data, &count), ZAVO_SUCCESS);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(data, nullptr);

  db.Update(security("600000", '1', 100));
  db.Update(security("600000", '1', 101));   // same code, later wins
  db.Update(security("600000 ", '1', 102));  // trailing blank: the same key
  db.Update(security("600000", '2', 200));   // same code on Shenzhen: its own record
  db.Update(security("IF2106", '0', 300));   // other exchange: never cached
  db.Update(security("600001", '1', 400));

  ASSERT_EQ(db.GetLastMarketData("sh", &data, &count), ZAVO_SUCCESS);
  ASSERT_EQ(count, 2);
  ASSERT_NE(data, nullptr);
  std::set<std::pair<std::string, int64_t>> got;
  for (int i = 0; i < count; ++i) got.emplace(data[i].Code, data[i].MatchPx);
  free(data);
  const std::set<std::pair<std::string, int64_t>> want_sh = {{"600000 ", 102}, {"600001", 400}};
  EXPECT_EQ(got, want_sh);

  ASSERT_EQ(db.GetLastMarketData("Sz", &data, &count), ZAVO_SUCCESS);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(data[0].MatchPx, 200);
  EXPECT_EQ(data[0].ExchangeID, '2');
  free(data);

  // argument checks leave the outputs alone
  data = nullptr;
  count = 5;
  EXPECT_EQ(db.GetLastMarketData("", &data, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetLastMarketData("SHSZ", &data, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetLastMarketData("SHA", &data, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetLastMarketData("S", &data, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetLastMarketData(nullptr, &data, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetLastMarketData("SH", nullptr, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetLastMarketData("SH", &data, nullptr), ZAVO_ERR_INVALID);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(data, nullptr);

  // index and future caches are separate
  ZAVO_IndexSnapShot ix;
  std::memset(&ix, 0, sizeof(ix));
  std::strcpy(ix.Code, "000300");
  ix.ExchangeID = '1';
  ix.LastIndex = 4800;
  db.Update(ix);
  ZAVO_FutureSnapShot fu;
  std::memset(&fu, 0, sizeof(fu));
  std::strcpy(fu.Code, "IF2106");
  fu.ExchangeID = '2';
  fu.MatchPx = 5000;
  db.Update(fu);
  ZAVO_IndexSnapShot* ixs = nullptr;
  ASSERT_EQ(db.GetLastIndexData("SH", &ixs, &count), ZAVO_SUCCESS);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(ixs[0].LastIndex, 4800);
  free(ixs);
  ASSERT_EQ(db.GetLastIndexData("SZ", &ixs, &count), ZAVO_SUCCESS);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(ixs, nullptr);
  ZAVO_FutureSnapShot* fus = nullptr;
  ASSERT_EQ(db.GetLastFutureData("sz", &fus, &count), ZAVO_SUCCESS);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(fus[0].MatchPx, 5000);
  free(fus);
  EXPECT_EQ(db.GetLastFutureData("SZ ", &fus, &count), ZAVO_ERR_INVALID);

  db.Clear();
  ASSERT_EQ(db.GetLastMarketData("SH", &data, &count), ZAVO_SUCCESS);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(data, nullptr);
  ASSERT_EQ(db.GetLastIndexData("SH", &ixs, &count), ZAVO_SUCCESS);
  EXPECT_EQ(count, 0);
}

TEST(SnapShotDB, QueriesRunAlongsideUpdates) {
  SnapShotDB db;
  std::thread writer([&] {
    char code[16];
    for (int i = 0; i < 20000; ++i) {
      std::snprintf(code, sizeof(code), "%06d", 600000 + i % 500);
      db.Update(security(code, '1', i));
      if (i == 10000) db.Clear();
    }
  });
  int max_seen = 0;
  for (int round = 0; round < 200; ++round) {
    ZAVO_SecuritySnapShot* data = nullptr;
    int count = 0;
    ASSERT_EQ(db.GetLastMarketData("SH", &data, &count), ZAVO_SUCCESS);
    ASSERT_LE(count, 500);
    max_seen = std::max(max_seen, count);
    free(data);
  }
  writer.join();
  ZAVO_SecuritySnapShot* data = nullptr;
  int count = 0;
  ASSERT_EQ(db.GetLastMarketData("SH", &data, &count), ZAVO_SUCCESS);
  EXPECT_EQ(count, 500);
  free(data);
}

SecurityBaseInfoField security_info(const char* code, unsigned char exchange, int value,
                                    unsigned update_no) {
  SecurityBaseInfoField f;
  f.Code.Set(code);
  f.ExchangeID = exchange;
  f.Value = value;
  f.UpdateNo = update_no;
  f.Text.Set("stock");
  return f;
}

OptionBaseInfoField option_info(const char* code, unsigned char exchange, int value,
                                unsigned update_no) {
  OptionBaseInfoField f;
  f.Code.Set(code);
  f.ExchangeID = exchange;
  f.Value = value;
  f.UpdateNo = update_no;
  f.Text.Set("option");
  f.Text2.Set("call");
  f.Value7 = value * 10;
  return f;
}

TEST(CodeInfoDB, CodeTableListsSecuritiesThenOptions) {
  CodeInfoDB db;
  ZAVO_CODEINFO* table = reinterpret_cast<ZAVO_CODEINFO*>(0x1);
  unsigned int count = 7;
  ASSERT_EQ(db.GetCodeTable("SH", &table, &count), ZAVO_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(table, nullptr);

  db.OnSecurityBaseInfo(security_info("600000", 1, 1, 3));
  db.OnSecurityBaseInfo(security_info("600001", 1, 2, 9));
  db.OnSecurityBaseInfo(security_info("600002", 1, 3, 4));
  db.OnSecurityBaseInfo(security_info("000001", 2, 4, 2));
  db.OnSecurityBaseInfo(security_info("IF2106", 3, 5, 100));  // never stored
  db.OnOptionBaseInfo(option_info("10003001", 1, 6, 7));
  db.OnOptionBaseInfo(option_info("10003001", 1, 8, 5));  // overwrites, keeps 7
  db.OnOptionBaseInfo(option_info("10003002", 1, 9, 1));
  db.OnOptionBaseInfo(option_info("90000001", 3, 9, 1));  // never stored

  ASSERT_EQ(db.GetCodeTable("sh", &table, &count), ZAVO_SUCCESS);
  ASSERT_EQ(count, 5u);
  std::vector<std::string> first3, last2;
  for (unsigned i = 0; i < 3; ++i) first3.push_back(table[i].KvelCode);
  for (unsigned i = 3; i < 5; ++i) last2.push_back(table[i].KvelCode);
  std::sort(first3.begin(), first3.end());
  std::sort(last2.begin(), last2.end());
  EXPECT_EQ(first3, (std::vector<std::string>{"600000.SH", "600001.SH", "600002.SH"}));
  EXPECT_EQ(last2, (std::vector<std::string>{"10003001.SH", "10003002.SH"}));
  for (unsigned i = 3; i < 5; ++i) {
    EXPECT_STREQ(table[i].Text, "option");
    if (std::string(table[i].Code) == "10003001") {
      EXPECT_EQ(table[i].Value, 8u);
    }
  }
  free(table);
  EXPECT_EQ(db.option_table(1).UpdateNo(), 7u);
  EXPECT_EQ(db.security_table(1).UpdateNo(), 9u);

  ASSERT_EQ(db.GetCodeTable("SZ", &table, &count), ZAVO_SUCCESS);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(table[0].KvelCode, "000001.SZ");
  free(table);

  table = nullptr;
  EXPECT_EQ(db.GetCodeTable("SHSZ", &table, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetCodeTable("", &table, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetCodeTable(nullptr, &table, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetCodeTable("SH", nullptr, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetCodeTable("SH", &table, nullptr), ZAVO_ERR_INVALID);
  EXPECT_EQ(table, nullptr);

  // completion counts: SH 3 + 2 with the security table's update number
  ZAVO_BaseInfoFinish fin;
  db.FillBaseInfoFinish(&fin);
  ASSERT_EQ(fin.MarketCount, 2u);
  EXPECT_STREQ(fin.Markets[0], "SH");
  EXPECT_EQ(fin.CodeCount[0], 5u);
  EXPECT_EQ(fin.LastUpdate[0], 9u);
  EXPECT_STREQ(fin.Markets[1], "SZ");
  EXPECT_EQ(fin.CodeCount[1], 1u);
  EXPECT_EQ(fin.LastUpdate[1], 2u);
  for (unsigned char b : fin.Reserved) EXPECT_EQ(b, 0);

  // clearing drops the records but keeps the update numbers
  db.Clear();
  ASSERT_EQ(db.GetCodeTable("SH", &table, &count), ZAVO_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(table, nullptr);
  db.FillBaseInfoFinish(&fin);
  EXPECT_EQ(fin.MarketCount, 0u);
  EXPECT_EQ(db.security_table(1).UpdateNo(), 9u);
  // a market with only options is listed, Shenzhen alone goes first
  db.OnOptionBaseInfo(option_info("90000002", 2, 1, 4));
  db.FillBaseInfoFinish(&fin);
  ASSERT_EQ(fin.MarketCount, 1u);
  EXPECT_STREQ(fin.Markets[0], "SZ");
  EXPECT_EQ(fin.CodeCount[0], 1u);
  EXPECT_EQ(fin.LastUpdate[0], 2u);
}

TEST(CodeInfoDB, OptionLookupByCodeText) {
  CodeInfoDB db;
  db.OnOptionBaseInfo(option_info("10003001", 1, 6, 7));
  db.OnOptionBaseInfo(option_info("10003001", 2, 16, 7));
  ZAVO_OPTION_CODEINFO info;
  std::memset(&info, 0, sizeof(info));
  ASSERT_EQ(db.GetOptionCodeInfo("10003001.SH", &info), ZAVO_SUCCESS);
  EXPECT_STREQ(info.KvelCode, "10003001.SH");
  EXPECT_EQ(info.Value, 6u);
  EXPECT_STREQ(info.Text2, "call");
  EXPECT_EQ(info.Value7, 60u);
  ASSERT_EQ(db.GetOptionCodeInfo("10003001.SZ", &info), ZAVO_SUCCESS);
  EXPECT_EQ(info.Value, 16u);
  ASSERT_EQ(db.GetOptionCodeInfo("10003001.SHX", &info), ZAVO_SUCCESS);  // tail ignored
  EXPECT_EQ(info.Value, 6u);
  ASSERT_EQ(db.GetOptionCodeInfo("10003001 .SH", &info), ZAVO_SUCCESS);  // blank ends code
  info.Value = 12345;
  EXPECT_EQ(db.GetOptionCodeInfo("10003001.sh", &info), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetOptionCodeInfo("10003001", &info), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetOptionCodeInfo(".SH", &info), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetOptionCodeInfo("", &info), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetOptionCodeInfo("10003001.S", &info), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetOptionCodeInfo("10003001.", &info), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetOptionCodeInfo("10003009.SH", &info), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetOptionCodeInfo(nullptr, &info), ZAVO_ERR_INVALID);
  EXPECT_EQ(db.GetOptionCodeInfo("10003001.SH", nullptr), ZAVO_ERR_INVALID);
  EXPECT_EQ(info.Value, 12345u);  // failures leave the record alone
}

}  // namespace
}  // namespace zavo
