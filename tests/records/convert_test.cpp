#include "api/convert.h"
#include "convert_oracle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace zavo {
namespace {

TEST(Convert, SecuritySnapshotFollowsTheConversionRules) {
  SecuritySnapShotField f;
  f.Code.SetRaw("ABCDEFGHIJKLMNOP");  // 16 characters, no terminator
  f.ExchangeID = 1;
  f.TimeStamp = 20210517093005120UL;
  f.Status = 7;
  f.PreClosePx = 101000;
  f.OpenPx = 102000;
  f.HighPx = 105000;
  f.LowPx = 99000;
  f.MatchPx = 103500;
  for (unsigned i = 0; i < 10; ++i) {
    f.AskPrice[i] = 103600 + i * 100;
    f.AskVol[i] = 1000 + i;
    f.BidPrice[i] = 103500 - i * 100;
    f.BidVol[i] = 2000 + i;
  }
  f.NumTrades = 4294967297L;  // 2^32 + 1
  f.TotalVolumeTrade = 8000000000L;
  f.TotalValueTrade = -5;
  f.TotalBidVol = 11;
  f.TotalAskVol = 12;
  f.WeightedAvgBidPrice = 13;
  f.WeightedAvgAskPrice = 14;
  f.IOPV = 0x1234567890L;
  f.YieldToMaturity = -1;
  f.HighLimited = 111100;
  f.LowLimited = 90900;
  f.SYL1 = 0x100000002L;
  f.SYL2 = 3;
  f.SD1 = 777;
  f.SD2 = 0x200000005L;
  f.AfterPrice = 21;
  f.AfterVolume = 22;
  f.AfterTurnover = 23;
  f.AfterMatchItems = 24;
  f.DelayTrackSec = 1621215005;
  f.DelayTrackNsec = 120500000;

  timespec now;
  now.tv_sec = 1621215006;
  now.tv_nsec = 120000000;
  ZAVO_SecuritySnapShot r;
  std::memset(&r, 0xab, sizeof(r));
  ConvertField(&f, &r, now);

  EXPECT_STREQ(r.Code, "ABCDEFGHIJKLMNO");
  EXPECT_EQ(r.ExchangeID, '1');
  EXPECT_EQ(r.Date, 20210517u);
  EXPECT_EQ(r.TradingDay, 20210517u);
  EXPECT_EQ(r.Time, 93005120u);
  EXPECT_EQ(r.Status, 7u);
  EXPECT_EQ(r.PreClosePx, 101000);
  EXPECT_EQ(r.OpenPx, 102000);
  EXPECT_EQ(r.HighPx, 105000);
  EXPECT_EQ(r.LowPx, 99000);
  EXPECT_EQ(r.MatchPx, 103500);
  EXPECT_EQ(r.AskPrice[0], 103600u);
  EXPECT_EQ(r.AskPrice[9], 104500u);
  EXPECT_EQ(r.AskVol[9], 1009u);
  EXPECT_EQ(r.BidPrice[9], 102600u);
  EXPECT_EQ(r.BidVol[0], 2000u);
  EXPECT_EQ(r.NumTrades, 1u);
  EXPECT_EQ(r.TotalVolumeTrade, 8000000000L);
  EXPECT_EQ(r.TotalValueTrade, -5);
  EXPECT_EQ(r.TotalBidVol, 11);
  EXPECT_EQ(r.TotalAskVol, 12);
  EXPECT_EQ(r.WeightedAvgBidPrice, 13);
  EXPECT_EQ(r.WeightedAvgAskPrice, 14);
  EXPECT_EQ(r.IOPV, 0x34567890u);
  EXPECT_EQ(r.YieldToMaturity, 0xffffffffu);
  EXPECT_EQ(r.HighLimited, 111100);
  EXPECT_EQ(r.LowLimited, 90900);
  EXPECT_EQ(r.SYL1, 2u);
  EXPECT_EQ(r.SYL2, 3u);
  EXPECT_EQ(r.SD1, 0u);
  EXPECT_EQ(r.SD2, 5u);
  EXPECT_EQ(r.AfterPrice, 21);
  EXPECT_EQ(r.AfterVolume, 22);
  EXPECT_EQ(r.AfterTurnover, 23);
  EXPECT_EQ(r.AfterMatchItems, 24);
  // 1 s - 0.5 ms = 999500 us
  EXPECT_EQ(r.LocalDelay, 999500);
  // padding bytes are zero too (the record is zero-filled first)
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&r);
  EXPECT_EQ(bytes[17], 0);
  EXPECT_EQ(bytes[19], 0);

  // other exchange numbers map to '0'; the real clock gives a sane delay
  f.ExchangeID = 3;
  timespec real;
  clock_gettime(CLOCK_REALTIME, &real);
  f.DelayTrackSec = real.tv_sec;
  f.DelayTrackNsec = real.tv_nsec;
  ConvertField(&f, &r);
  EXPECT_EQ(r.ExchangeID, '0');
  EXPECT_GE(r.LocalDelay, 0);
  EXPECT_LT(r.LocalDelay, 60L * 1000000);
}

TEST(Convert, LocalDelayTruncatesAndSurvivesGarbageStamps) {
  timespec now;
  now.tv_sec = 100;
  now.tv_nsec = 0;
  EXPECT_EQ(LocalDelayMicros(99, 999999, now), 999001);  // 1 s - 999.999 us
  EXPECT_EQ(LocalDelayMicros(100, 1999, now), -1);       // -1.999 us truncates to -1
  EXPECT_EQ(LocalDelayMicros(0, 0, now), 100000000);     // zero stamp, stored as it comes
  // stamps from upstream may be absurd: defined (wrapping) result, no trap
  (void)LocalDelayMicros(-9223372036854775807L - 1, -9223372036854775807L - 1, now);
  (void)LocalDelayMicros(9223372036854775807L, 9223372036854775807L, now);
}

TEST(Convert, OtherRecordKindsAndTheirMappings) {
  TradeDetailField t;
  t.Code.Set("600000");
  t.ExchangeID = 2;
  t.TimeStamp = 20210520150000999UL;
  t.TradeSequence = 1;
  t.TradePrice = 2;
  t.TradeQty = 0x100000064L;
  t.TradeTurnover = 4;
  t.AskOrderSequence = 5;
  t.BidOrderSequence = 6;
  t.ExecType = '1';
  t.BSFlag = ' ';
  t.TradeChannel = 2011;
  t.BizIndex = 0x7000000000000001L;
  ZAVO_TradeDetail td;
  ConvertField(&t, &td);
  EXPECT_STREQ(td.Code, "600000");
  EXPECT_EQ(td.ExchangeID, '2');
  EXPECT_EQ(td.Date, 20210520u);
  EXPECT_EQ(td.Time, 150000999u);
  EXPECT_EQ(td.TradeQty, 100u);
  EXPECT_EQ(td.ExecType, 'T');
  EXPECT_EQ(td.BSFlag, 'N');
  EXPECT_EQ(td.TradeChannel, 2011u);
  EXPECT_EQ(td.BizIndex, 0x7000000000000001L);
  const char flags_in[] = {' ', '1', '2', 'X', '3', 'B'};
  const char flags_out[] = {'N', 'B', 'S', 0, 0, 0};
  for (int i = 0; i < 6; ++i) {
    t.BSFlag = flags_in[i];
    ConvertField(&t, &td);
    EXPECT_EQ(td.BSFlag, flags_out[i]) << i;
  }
  t.ExecType = '2';
  ConvertField(&t, &td);
  EXPECT_EQ(td.ExecType, 'C');
  t.ExecType = 'F';
  ConvertField(&t, &td);
  EXPECT_EQ(td.ExecType, 0);

  OrderDetailField o;
  o.Code.Set("000001");
  o.ExchangeID = 2;
  o.TimeStamp = 20210520093000120UL;
  o.OrderSequence = 42;
  o.OrderPrice = 1234;
  o.OrderQty = -1;
  ZAVO_OrderDetail od;
  const char sides_in[] = {'1', '2', 'F', 'G', 'B', 0};
  const char sides_out[] = {'B', 'S', 'F', 'G', 0, 0};
  const char types_in[] = {'1', '2', 'U', '3', 'u', 0};
  const char types_out[] = {'1', '2', 'U', 0, 0, 0};
  for (int i = 0; i < 6; ++i) {
    o.OrderSide = sides_in[i];
    o.OrderType = types_in[i];
    ConvertField(&o, &od);
    EXPECT_EQ(od.OrderSide, sides_out[i]) << i;
    EXPECT_EQ(od.OrderType, types_out[i]) << i;
  }
  EXPECT_EQ(od.OrderQty, 0xffffffffu);
  EXPECT_EQ(od.OrderSequence, 42);
  EXPECT_EQ(od.Time, 93000120u);

  OrderQueueField q;
  q.Code.Set("600519");
  q.ExchangeID = 1;
  q.TimeStamp = 20210520093000120UL;
  q.OrderSide = '2';
  q.OrderPrice = 180000;
  q.NumOrders = 0x300000003L;
  q.OrderQueueSize = 200;
  for (unsigned i = 0; i < 200; ++i) q.OrderQueue[i] = 100 + i;
  ZAVO_OrderQueue oq;
  ConvertField(&q, &oq);
  EXPECT_EQ(oq.OrderSide, 'S');
  EXPECT_EQ(oq.TradingDay, 0u);
  EXPECT_EQ(oq.Date, 20210520u);
  EXPECT_EQ(oq.NumOrders, 3u);
  EXPECT_EQ(oq.OrderQueueSize, 200u);
  EXPECT_EQ(oq.OrderQueue[0], 100u);
  EXPECT_EQ(oq.OrderQueue[199], 299u);

  SH_OrderDetailField s;
  s.Code.Set("600000");
  s.TimeStamp = 20210520093000120UL;
  s.OrderIndex = 9;
  s.ChannelNo = 6;
  s.OrderPrice = 1000;
  s.Balance = 0x500000000L;
  s.OrderNo = 0x600000000L;
  s.OrderType = 'D';
  s.BSFlag = '2';
  s.BizIndex = 0x700000000L;
  s.DataStatus = 'A';
  ZAVO_SHOrderDetail sd;
  ConvertField(&s, &sd);
  EXPECT_STREQ(sd.Code, "600000");
  EXPECT_EQ(sd.DataStatus, 'A');
  EXPECT_EQ(sd.ChannelNo, 6u);
  EXPECT_EQ(sd.OrderIndex, 9u);
  EXPECT_EQ(sd.Time, 93000120u);
  EXPECT_EQ(sd.OrderNo, 0x600000000L);
  EXPECT_EQ(sd.Balance, 0x500000000L);
  EXPECT_EQ(sd.BizIndex, 0x700000000L);
  EXPECT_EQ(sd.BSFlag, 'S');
  EXPECT_EQ(sd.OrderType, 'D');

  IndexSnapShotField ix;
  ix.Code.Set("000300");
  ix.ExchangeID = 1;
  ix.TimeStamp = 20210520150003000UL;
  ix.PreCloseIndex = 1;
  ix.LastIndex = 5;
  ix.Turnover = 7;
  ZAVO_IndexSnapShot is;
  ConvertField(&ix, &is);
  EXPECT_EQ(is.Date, 20210520u);
  EXPECT_EQ(is.TradingDay, 20210520u);
  EXPECT_EQ(is.Time, 150003000u);
  EXPECT_EQ(is.PreCloseIndex, 1);
  EXPECT_EQ(is.LastIndex, 5);
  EXPECT_EQ(is.Turnover, 7);

  FutureSnapShotField fu;
  fu.Code.Set("IF2106");
  fu.ExchangeID = 3;
  fu.TimeStamp = 20210520093000500UL;
  fu.TradingDay = 20210521;
  fu.Status = 2;
  fu.PreOpenInterest = 10;
  fu.LowLimited = 23;
  fu.PreDelta = -1;
  fu.CurrDelta = 4;
  for (unsigned i = 0; i < 5; ++i) fu.BidVol[i] = 50 + i;
  fu.AuctionPrice = 31;
  fu.AuctionQty = 32;
  ZAVO_FutureSnapShot fs;
  ConvertField(&fu, &fs);
  EXPECT_EQ(fs.ExchangeID, '0');
  EXPECT_EQ(fs.Date, 20210520u);
  EXPECT_EQ(fs.TradingDay, 20210521u);
  EXPECT_EQ(fs.Time, 93000500u);
  EXPECT_EQ(fs.Status, 2u);
  EXPECT_EQ(fs.PreOpenInterest, 10);
  EXPECT_EQ(fs.LowLimited, 23);
  EXPECT_EQ(fs.PreDelta, 0xffffffffu);
  EXPECT_EQ(fs.CurrDelta, 4u);
  EXPECT_EQ(fs.BidVol[4], 54u);
  EXPECT_EQ(fs.AuctionPrice, 31);
  EXPECT_EQ(fs.AuctionQty, 32);
}

TEST(Convert, CodeInfoRecordsAndKvelCode) {
  OptionBaseInfoField o;
  o.Code.Set("10003001");
  o.ExchangeID = 1;
  o.Value = 17;
  o.UpdateNo = 99;
  o.Text.SetRaw("0123456789012345678901234567890123456789");  // 32 bytes, no NUL
  o.Text2.Set("second");
  o.Text3.Set("third");
  o.Flag1 = static_cast<signed char>(0xf1);
  o.Value2 = 2;
  o.Flag2 = 'x';
  o.Flag3 = 'y';
  o.Flag4 = 'z';
  o.Value3 = 3;
  o.Value4 = 0x400000000L;
  o.Value5 = 5;
  o.Value6 = 6;
  o.Value7 = -7;
  ZAVO_OPTION_CODEINFO r;
  ConvertField(&o, &r);
  EXPECT_STREQ(r.Code, "10003001");
  EXPECT_EQ(r.ExchangeID, '1');
  EXPECT_STREQ(r.KvelCode, "10003001.SH");
  EXPECT_EQ(std::string(r.Text), "0123456789012345678901234567890");  // 31 characters
  EXPECT_EQ(r.Value, 17u);
  EXPECT_STREQ(r.Text2, "second");
  EXPECT_STREQ(r.Text3, "third");
  EXPECT_EQ(r.Flag1, 0xf1);
  EXPECT_EQ(r.Value2, 2u);
  EXPECT_EQ(r.Flag2, 'x');
  EXPECT_EQ(r.Flag3, 'y');
  EXPECT_EQ(r.Flag4, 'z');
  EXPECT_EQ(r.Value3, 3u);
  EXPECT_EQ(r.Value4, 0x400000000L);
  EXPECT_EQ(r.Value5, 5u);
  EXPECT_EQ(r.Value6, 6u);
  EXPECT_EQ(r.Value7, 0xfffffff9u);
  // the leading part reads as a code-info record
  const ZAVO_CODEINFO* head = reinterpret_cast<const ZAVO_CODEINFO*>(&r);
  EXPECT_STREQ(head->KvelCode, "10003001.SH");
  EXPECT_EQ(head->Value, 17u);

  SecurityBaseInfoField s;
  s.Code.SetRaw("ABCDEFGHIJKLMNOP");
  s.ExchangeID = 3;
  s.Value = 1;
  s.Text.Set("name");
  ZAVO_CODEINFO c;
  ConvertField(&s, &c);
  EXPECT_STREQ(c.Code, "ABCDEFGHIJKLMNO");
  EXPECT_EQ(c.ExchangeID, '0');
  EXPECT_STREQ(c.KvelCode, "ABCDEFGHIJKLMNO.");
  EXPECT_STREQ(c.Text, "name");

  char buf[32];
  FillKvelCode(buf, "600000", 1);
  EXPECT_STREQ(buf, "600000.SH");
  FillKvelCode(buf, "000001", 2);
  EXPECT_STREQ(buf, "000001.SZ");
  FillKvelCode(buf, "IF2106", 3);
  EXPECT_STREQ(buf, "IF2106.");
  FillKvelCode(buf, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 2);  // at most 15 characters used
  EXPECT_STREQ(buf, "ABCDEFGHIJKLMNO.SZ");
}

}  // namespace
}  // namespace zavo
