// Wire records: sizes, offsets, partial decodes, round trips and dumps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "proto/sys_field.h"

namespace zavo {
namespace {

std::vector<char> pattern_bytes(size_t n, unsigned seed) {
  std::vector<char> v(n);
  unsigned x = seed * 2654435761u + 1;
  for (auto& c : v) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return v;
}

// Decoding arbitrary bytes and encoding them again reproduces the bytes:
// every member makes the trip unchanged, whatever its value.
template <class R>
void expect_byte_round_trip(unsigned int member_bytes) {
  SCOPED_TRACE(TypeName<R>());
  auto wire = pattern_bytes(R::Size(), member_bytes);
  R r;
  ASSERT_TRUE(r.Decode(wire.data(), R::Size()));
  std::vector<char> out(R::Size() + 8, '\x5A');
  ASSERT_TRUE(r.Encode(out.data(), R::Size()));
  EXPECT_EQ(std::memcmp(out.data(), wire.data(), member_bytes), 0);
  // Encode writes no byte past the members.
  for (size_t i = member_bytes; i < out.size(); ++i) ASSERT_EQ(out[i], '\x5A') << i;
  // One byte short of the members fails.
  R shorter;
  EXPECT_FALSE(shorter.Decode(wire.data(), member_bytes - 1));
  EXPECT_FALSE(r.Encode(out.data(), member_bytes - 1));
  // A null pointer fails.
  EXPECT_FALSE(shorter.Decode(nullptr, R::Size()));
  EXPECT_FALSE(r.Encode(nullptr, R::Size()));
}

TEST(SysField, EveryRecordRoundTripsAndDeclaresItsSize) {
  EXPECT_EQ(ReqUserLoginField::Size(), 116u);
  EXPECT_EQ(RspUserLoginField::Size(), 96u);
  EXPECT_EQ(HeartBeatField::Size(), 8u);
  EXPECT_EQ(ReqRetransmitField::Size(), 20u);
  EXPECT_EQ(RspRetransmitField::Size(), 20u);
  EXPECT_EQ(BaseInfoSendFinish::Size(), 4u);
  EXPECT_EQ(RspInfoField::Size(), 68u);
  EXPECT_EQ(KvelSubscrptionField::Size(), 588u);
  EXPECT_EQ(ReqLastMarketIndexDataField::Size(), 5u);
  EXPECT_EQ(SecuritySnapShotField::Size(), 557u);
  EXPECT_EQ(IndexSnapShotField::Size(), 81u);
  EXPECT_EQ(OrderQueueField::Size(), 850u);
  EXPECT_EQ(OrderDetailField::Size(), 51u);
  EXPECT_EQ(TradeDetailField::Size(), 87u);
  EXPECT_EQ(FutureSnapShotField::Size(), 329u);
  EXPECT_EQ(SH_OrderDetailField::Size(), 67u);
  EXPECT_EQ(SecurityBaseInfoField::Size(), 81u);
  EXPECT_EQ(OptionBaseInfoField::Size(), 185u);

  expect_byte_round_trip<ReqUserLoginField>(116);
  expect_byte_round_trip<RspUserLoginField>(92);
  expect_byte_round_trip<HeartBeatField>(8);
  expect_byte_round_trip<ReqRetransmitField>(20);
  expect_byte_round_trip<RspRetransmitField>(20);
  expect_byte_round_trip<BaseInfoSendFinish>(4);
  expect_byte_round_trip<RspInfoField>(68);
  expect_byte_round_trip<KvelSubscrptionField>(588);
  expect_byte_round_trip<ReqLastMarketIndexDataField>(5);
  expect_byte_round_trip<SecuritySnapShotField>(557);
  expect_byte_round_trip<IndexSnapShotField>(81);
  expect_byte_round_trip<OrderQueueField>(850);
  expect_byte_round_trip<OrderDetailField>(51);
  expect_byte_round_trip<TradeDetailField>(87);
  expect_byte_round_trip<FutureSnapShotField>(329);
  expect_byte_round_trip<SH_OrderDetailField>(67);
  expect_byte_round_trip<SecurityBaseInfoField>(81);
  expect_byte_round_trip<OptionBaseInfoField>(185);

  EXPECT_STREQ(TypeName<SecuritySnapShotField>(), "N4zavo21SecuritySnapShotFieldE");
  EXPECT_STREQ(TypeName<RspUserLoginField>(), "N4zavo17RspUserLoginFieldE");
  EXPECT_STREQ(TypeName<SH_OrderDetailField>(), "N4zavo19SH_OrderDetailFieldE");
}

TEST(SysField, MembersSitAtTheirWireOffsets) {
  SecuritySnapShotField s;
  s.Code.Set("600000");
  s.ExchangeID = 1;
  s.TimeStamp = 20210520093000120UL;
  s.MatchPx = -7;
  s.AskPrice[0] = 11;
  s.BidVol[9] = 12;
  s.DelayTrackNsec = 0x0102030405060708L;
  std::vector<char> w(557);
  ASSERT_TRUE(s.Encode(w.data(), 557));
  EXPECT_EQ(std::string(w.data(), 6), "600000");
  EXPECT_EQ(w[16], 1);
  EXPECT_EQ(LoadBigEndian<unsigned long>(&w[17]), 20210520093000120UL);
  EXPECT_EQ(LoadBigEndian<long>(&w[61]), -7);
  EXPECT_EQ(LoadBigEndian<unsigned long>(&w[69]), 11UL);
  EXPECT_EQ(LoadBigEndian<unsigned long>(&w[309 + 72]), 12UL);
  EXPECT_EQ(LoadBigEndian<long>(&w[549]), 0x0102030405060708L);

  TradeDetailField t;
  t.TradeChannel = 0x0A0B0C0D;
  t.BSFlag = 'B';
  t.BizIndex = 99;
  std::vector<char> tw(87);
  ASSERT_TRUE(t.Encode(tw.data(), 87));
  EXPECT_EQ(tw[74], 'B');
  EXPECT_EQ(LoadBigEndian<int>(&tw[75]), 0x0A0B0C0D);
  EXPECT_EQ(LoadBigEndian<long>(&tw[79]), 99);

  FutureSnapShotField f;
  f.TradingDay = 20210305u;
  f.CurrDelta = -3;
  f.AskPrice[0] = 5;
  f.AuctionQty = 42;
  std::vector<char> fw(329);
  ASSERT_TRUE(f.Encode(fw.data(), 329));
  EXPECT_EQ(LoadBigEndian<unsigned int>(&fw[25]), 20210305u);
  EXPECT_EQ(LoadBigEndian<int>(&fw[149]), -3);
  EXPECT_EQ(LoadBigEndian<unsigned long>(&fw[153]), 5UL);
  EXPECT_EQ(LoadBigEndian<long>(&fw[321]), 42);

  SH_OrderDetailField o;
  o.OrderIndex = 3;
  o.DataStatus = 'D';
  std::vector<char> ow(67);
  ASSERT_TRUE(o.Encode(ow.data(), 67));
  EXPECT_EQ(LoadBigEndian<int>(&ow[24]), 3);
  EXPECT_EQ(ow[66], 'D');

  OptionBaseInfoField op;
  op.Flag1 = 'F';
  op.Value2 = 8;
  op.Extra4 = -1;
  std::vector<char> opw(185);
  ASSERT_TRUE(op.Encode(opw.data(), 185));
  EXPECT_EQ(opw[145], 'F');
  EXPECT_EQ(LoadBigEndian<int>(&opw[146]), 8);
  EXPECT_EQ(LoadBigEndian<long>(&opw[177]), -1);
}

TEST(SysField, PartialDecodesStopAtTheRightMember) {
  // A snapshot one byte short fills everything up to DelayTrackSec.
  SecuritySnapShotField full;
  full.Code.Set("000001");
  full.ExchangeID = 2;
  full.MatchPx = 1234;
  full.AskPrice[3] = 77;
  full.DelayTrackSec = 1600000000;
  full.DelayTrackNsec = 555;
  std::vector<char> w(557);
  ASSERT_TRUE(full.Encode(w.data(), 557));

  SecuritySnapShotField s;
  s.DelayTrackNsec = -1;
  EXPECT_FALSE(s.Decode(w.data(), 556));
  EXPECT_EQ(s.Code.ToString(), "000001");
  EXPECT_EQ(s.AskPrice[3].get(), 77UL);
  EXPECT_EQ(s.DelayTrackSec, 1600000000);
  EXPECT_EQ(s.DelayTrackNsec, -1);
  EXPECT_TRUE(s.Decode(w.data(), 557));
  EXPECT_EQ(s.DelayTrackNsec, 555);

  // From 100 bytes: through MatchPx, nothing of AskPrice.
  SecuritySnapShotField p;
  p.AskPrice[0] = 9;
  p.AskPrice[3] = 9;
  EXPECT_FALSE(p.Decode(w.data(), 100));
  EXPECT_EQ(p.MatchPx, 1234);
  EXPECT_EQ(p.ExchangeID, 2);
  EXPECT_EQ(p.AskPrice[0].get(), 9UL);
  EXPECT_EQ(p.AskPrice[3].get(), 9UL);

  // Login reply: 92 bytes suffice although 96 are declared; 91 stop after
  // ErrorID.
  RspUserLoginField rsp;
  rsp.ReplyValue = 3;
  rsp.ErrorID = 17;
  rsp.ErrorMsg.Set("bad password");
  std::vector<char> rw(96, 0);
  ASSERT_TRUE(rsp.Encode(rw.data(), 96));
  RspUserLoginField a;
  EXPECT_TRUE(a.Decode(rw.data(), 92));
  EXPECT_EQ(a.ErrorMsg.ToString(), "bad password");
  RspUserLoginField b;
  b.ErrorMsg.Set("kept");
  EXPECT_FALSE(b.Decode(rw.data(), 91));
  EXPECT_EQ(b.ErrorID, 17);
  EXPECT_EQ(b.ReplyValue.get(), 3UL);
  EXPECT_EQ(b.ErrorMsg.ToString(), "kept");

  // The option entry begins with the security entry's layout.
  auto bytes = pattern_bytes(185, 7);
  SecurityBaseInfoField sec;
  OptionBaseInfoField opt;
  ASSERT_TRUE(sec.Decode(bytes.data(), 185));
  ASSERT_TRUE(opt.Decode(bytes.data(), 185));
  EXPECT_EQ(std::memcmp(sec.Code.Data(), opt.Code.Data(), 16), 0);
  EXPECT_EQ(sec.ExchangeID, opt.ExchangeID);
  EXPECT_EQ(sec.Value, opt.Value);
  EXPECT_EQ(sec.UpdateNo, opt.UpdateNo);
  EXPECT_EQ(std::memcmp(sec.Text.Data(), opt.Text.Data(), 32), 0);
  EXPECT_EQ(sec.Extra1, opt.Extra1);
  EXPECT_EQ(sec.Extra3, opt.Extra3);
}

TEST(SysField, LoginRequestIsFilledAsSent) {
  ReqUserLoginField req;
  req.RequestID = 5;
  req.Fill("", "", "zavo 1.1.0");
  std::vector<char> w(116, 'x');
  ASSERT_TRUE(req.Encode(w.data(), 116));
  for (int i = 0; i < 4 + 16 + 32; ++i) ASSERT_EQ(w[i], 0) << i;
  EXPECT_STREQ(&w[52], "zavo 1.1.0");
  for (int i = 52 + 10; i < 116; ++i) ASSERT_EQ(w[i], 0) << i;

  const std::string pw40(40, 'p');
  req.Fill("a-user-name-longer-than-15", pw40.c_str(), "v");
  ASSERT_TRUE(req.Encode(w.data(), 116));
  EXPECT_EQ(std::string(&w[4], 15), "a-user-name-lon");
  EXPECT_EQ(w[19], 0);
  EXPECT_EQ(std::string(&w[20], 31), std::string(31, 'p'));
  EXPECT_EQ(w[51], 0);
}

TEST(SysField, DumpsAreOneLineInMemberOrder) {
  OrderDetailField o;
  o.Code.Set("600000");
  o.ExchangeID = '1';
  o.TimeStamp = 20210520093000120UL;
  o.OrderSequence = 12;
  o.OrderPrice = -5;
  o.OrderQty = 100;
  o.OrderSide = 'B';
  o.OrderType = '2';
  std::ostringstream os;
  os << o;
  EXPECT_EQ(os.str(),
            "OrderDetailField { Code:600000 ExchangeID:1 TimeStamp:20210520093000120 "
            "OrderSequence:12 OrderPrice:-5 OrderQty:100 OrderSide:B OrderType:2 }");

  // A code filling all 16 bytes is written whole; the market byte as is.
  IndexSnapShotField ix;
  ix.Code.SetRaw("ABCDEFGHIJKLMNOP");
  ix.ExchangeID = 1;
  std::ostringstream is;
  is << ix;
  EXPECT_EQ(is.str().rfind("IndexSnapShotField { Code:ABCDEFGHIJKLMNOP ExchangeID:\x01 ", 0), 0u);
  EXPECT_EQ(is.str().find('\n'), std::string::npos);

  OrderQueueField q;
  for (unsigned i = 0; i < 200; ++i) q.OrderQueue[i] = 1000 + i;
  std::vector<char> qw(850);
  ASSERT_TRUE(q.Encode(qw.data(), 850));
  OrderQueueField q2;
  ASSERT_TRUE(q2.Decode(qw.data(), 850));
  for (unsigned i = 0; i < 200; ++i) ASSERT_EQ(q2.OrderQueue[i].get(), 1000u + i);
  std::ostringstream qs;
  qs << q2;
  std::string line = qs.str();
  size_t at = line.find("OrderQueue:");
  ASSERT_NE(at, std::string::npos);
  std::string list = line.substr(at + 11, line.find(' ', at) - at - 11);
  EXPECT_EQ(std::count(list.begin(), list.end(), ',') + 1, 50);
  EXPECT_EQ(list.rfind("1049"), list.size() - 4);
  EXPECT_EQ(line.substr(line.size() - 2), " }");

  FutureSnapShotField f;
  for (unsigned i = 0; i < 5; ++i) {
    f.AskPrice[i] = 10 + i;
    f.BidVol[i] = 20 + i;
  }
  f.AuctionPrice = 7;
  f.AuctionQty = 8;
  std::ostringstream fs;
  fs << f;
  EXPECT_NE(fs.str().find(" AskPrice:10,11,12,13,14 AskVol:0,0,0,0,0 BidPrice:0,0,0,0,0 "
                          "BidVol:20,21,22,23,24 AuctionPrice:7 AuctionQty:8 }"),
            std::string::npos);

  SecuritySnapShotField s;
  std::ostringstream ss;
  ss << s;
  EXPECT_NE(ss.str().find(" AskPrice:0,0,0,0,0,0,0,0,0,0 "), std::string::npos);
  EXPECT_NE(ss.str().find(" DelayTrackSec:0 DelayTrackNsec:0 }"), std::string::npos);
}

}  // namespace
}  // namespace zavo
