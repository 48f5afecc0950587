// Golden bytes of every wire record and of both packet kinds, written out
// here from the published layouts. The simulator encodes with the library's
// own codec, so a mistake shared by encoder and decoder (a swapped member,
// a wrong width, host byte order) would pass every round trip; these bytes
// do not come from our encoder. Each record is decoded from them member by
// member, and encoding the same values must give exactly them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "proto/raw_packet.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"

namespace zavo {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes from_hex(const char* hex) {
  Bytes out;
  int half = -1;
  for (const char* p = hex; *p != '\0'; ++p) {
    const char c = *p;
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (v < 0) continue;  // blanks group the bytes
    if (half < 0) {
      half = v;
    } else {
      out.push_back(static_cast<unsigned char>(half * 16 + v));
      half = -1;
    }
  }
  EXPECT_EQ(half, -1) << "odd number of hex digits";
  return out;
}

// Writes a layout by hand: big-endian integers of a given width and fixed
// texts, with each member's published offset checked as it is reached.
class Layout {
 public:
  Layout& at(size_t offset) {
    EXPECT_EQ(b_.size(), offset) << "member offset";
    return *this;
  }
  Layout& be(uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) b_.push_back(static_cast<unsigned char>(v >> (8 * i)));
    return *this;
  }
  Layout& text(const char* s, size_t width) {
    const size_t n = std::strlen(s);
    for (size_t i = 0; i < width; ++i) b_.push_back(i < n ? static_cast<unsigned char>(s[i]) : 0);
    return *this;
  }
  const Bytes& bytes() const { return b_; }

 private:
  Bytes b_;
};

// A 64-bit value whose eight bytes all differ, different for every k, with
// the top bit set so that signed members are negative.
uint64_t v64(unsigned k) {
  return 0x8877665544332211ULL ^ (static_cast<uint64_t>(k) * 0x0101010101010101ULL);
}
uint32_t v32(unsigned k) {
  return 0xC3B2A190u ^ (k * 0x01010101u);
}

std::string hex_of(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

template <class R>
R decode_golden(const Bytes& golden) {
  R r;
  EXPECT_TRUE(
      r.Decode(reinterpret_cast<const char*>(golden.data()), static_cast<unsigned>(golden.size())));
  // One byte fewer than the members fails.
  R shorter;
  EXPECT_FALSE(shorter.Decode(reinterpret_cast<const char*>(golden.data()),
                              static_cast<unsigned>(golden.size() - 1)));
  return r;
}

template <class R>
void expect_encodes_to(const R& r, const Bytes& golden) {
  std::vector<unsigned char> out(R::Size() + 4, 0x5A);
  ASSERT_TRUE(r.Encode(reinterpret_cast<char*>(out.data()), R::Size()));
  EXPECT_EQ(hex_of(out.data(), golden.size()), hex_of(golden.data(), golden.size()));
}

template <unsigned N>
std::string str(const String<N>& s) {
  return std::string(s.Data(), N);
}
std::string padded(const char* s, size_t n) {
  std::string v(s);
  v.resize(n, '\0');
  return v;
}

TEST(GoldenBytes, SessionRecords) {
  {  // heartbeat: one 64-bit server time
    const Bytes g = from_hex("0000 1261 c7d4 0e58");
    ASSERT_EQ(g.size(), HeartBeatField::Size());
    const HeartBeatField r = decode_golden<HeartBeatField>(g);
    EXPECT_EQ(r.ServerTime.get(), 0x1261c7d40e58ULL);
    expect_encodes_to(r, g);
  }
  {  // retransmission request and its end: begin, end, scope
    const Bytes g = from_hex(
        "0000 0000 0000 0064"  // BeginSeq 100
        "0000 0000 0000 00c8"  // EndSeq 200
        "0134 6281");          // Scope 20210305
    ASSERT_EQ(g.size(), ReqRetransmitField::Size());
    const ReqRetransmitField req = decode_golden<ReqRetransmitField>(g);
    EXPECT_EQ(req.BeginSeq.get(), 100u);
    EXPECT_EQ(req.EndSeq.get(), 200u);
    EXPECT_EQ(req.Scope.get(), 20210305u);
    expect_encodes_to(req, g);
    const RspRetransmitField rsp = decode_golden<RspRetransmitField>(g);
    EXPECT_EQ(rsp.BeginSeq.get(), 100u);
    EXPECT_EQ(rsp.EndSeq.get(), 200u);
    EXPECT_EQ(rsp.Scope.get(), 20210305u);
    expect_encodes_to(rsp, g);
  }
  {  // login request: request id, user, password, version, zero-padded
    const Bytes g = Layout()
                        .at(0)
                        .be(0xFFFFFFFE, 4)  // RequestID -2
                        .at(4)
                        .text("trader01", 16)
                        .at(20)
                        .text("s3cret", 32)
                        .at(52)
                        .text("v1.1.202105.2-test", 64)
                        .at(116)
                        .bytes();
    ASSERT_EQ(g.size(), ReqUserLoginField::Size());
    const ReqUserLoginField r = decode_golden<ReqUserLoginField>(g);
    EXPECT_EQ(r.RequestID.get(), -2);
    EXPECT_EQ(str(r.UserID), padded("trader01", 16));
    EXPECT_EQ(str(r.Password), padded("s3cret", 32));
    EXPECT_EQ(str(r.ClientVersion), padded("v1.1.202105.2-test", 64));
    expect_encodes_to(r, g);
  }
  {  // login reply: 92 bytes of members in a 96-byte field
    const Bytes g = Layout()
                        .at(0)
                        .be(v64(1), 8)
                        .at(8)
                        .text("ok-reply", 16)
                        .at(24)
                        .be(0x00010000, 4)  // refused, low 16 bits 0
                        .at(28)
                        .text("AB;CD;EFGH", 64)
                        .at(92)
                        .bytes();
    EXPECT_EQ(RspUserLoginField::Size(), 96u);
    const RspUserLoginField r = decode_golden<RspUserLoginField>(g);
    EXPECT_EQ(r.ReplyValue.get(), v64(1));
    EXPECT_EQ(str(r.ReplyText), padded("ok-reply", 16));
    EXPECT_EQ(r.ErrorID.get(), 0x10000);
    EXPECT_EQ(str(r.ErrorMsg), padded("AB;CD;EFGH", 64));
    expect_encodes_to(r, g);
  }
}

TEST(GoldenBytes, SecuritySnapshot) {
  Layout l;
  l.at(0).text("600000", 16).at(16).be(1, 1).at(17).be(20210520093000120ULL, 8);
  l.at(25).be(v32(0), 4);
  l.at(29);
  for (unsigned k = 0; k < 5; ++k) l.be(v64(k), 8);  // PreClosePx .. MatchPx
  l.at(69);
  for (unsigned k = 0; k < 40; ++k) l.be(v64(100 + k), 8);  // the four ladders
  l.at(389);
  for (unsigned k = 0; k < 21; ++k) l.be(v64(200 + k), 8);  // NumTrades .. DelayTrackNsec
  const Bytes& g = l.at(557).bytes();
  ASSERT_EQ(g.size(), SecuritySnapShotField::Size());

  const SecuritySnapShotField r = decode_golden<SecuritySnapShotField>(g);
  EXPECT_EQ(str(r.Code), padded("600000", 16));
  EXPECT_EQ(r.ExchangeID, 1);
  EXPECT_EQ(r.TimeStamp.get(), 20210520093000120ULL);
  EXPECT_EQ(static_cast<uint32_t>(r.Status.get()), v32(0));
  using M = Int<int64_t> SecuritySnapShotField::*;
  const M head[] = {&SecuritySnapShotField::PreClosePx, &SecuritySnapShotField::OpenPx,
                    &SecuritySnapShotField::HighPx, &SecuritySnapShotField::LowPx,
                    &SecuritySnapShotField::MatchPx};
  for (unsigned k = 0; k < 5; ++k) EXPECT_EQ(static_cast<uint64_t>((r.*head[k]).get()), v64(k));
  for (unsigned i = 0; i < 10; ++i) {
    EXPECT_EQ(r.AskPrice[i].get(), v64(100 + i)) << i;
    EXPECT_EQ(r.AskVol[i].get(), v64(110 + i)) << i;
    EXPECT_EQ(r.BidPrice[i].get(), v64(120 + i)) << i;
    EXPECT_EQ(r.BidVol[i].get(), v64(130 + i)) << i;
  }
  const M tail[] = {&SecuritySnapShotField::NumTrades,
                    &SecuritySnapShotField::TotalVolumeTrade,
                    &SecuritySnapShotField::TotalValueTrade,
                    &SecuritySnapShotField::TotalBidVol,
                    &SecuritySnapShotField::TotalAskVol,
                    &SecuritySnapShotField::WeightedAvgBidPrice,
                    &SecuritySnapShotField::WeightedAvgAskPrice,
                    &SecuritySnapShotField::IOPV,
                    &SecuritySnapShotField::YieldToMaturity,
                    &SecuritySnapShotField::HighLimited,
                    &SecuritySnapShotField::LowLimited,
                    &SecuritySnapShotField::SYL1,
                    &SecuritySnapShotField::SYL2,
                    &SecuritySnapShotField::SD1,
                    &SecuritySnapShotField::SD2,
                    &SecuritySnapShotField::AfterPrice,
                    &SecuritySnapShotField::AfterVolume,
                    &SecuritySnapShotField::AfterTurnover,
                    &SecuritySnapShotField::AfterMatchItems,
                    &SecuritySnapShotField::DelayTrackSec,
                    &SecuritySnapShotField::DelayTrackNsec};
  for (unsigned k = 0; k < 21; ++k) {
    EXPECT_EQ(static_cast<uint64_t>((r.*tail[k]).get()), v64(200 + k)) << k;
  }
  expect_encodes_to(r, g);
}

TEST(GoldenBytes, IndexAndFutureSnapshots) {
  {
    Layout l;
    l.at(0).text("000300", 16).at(16).be(2, 1).at(17).be(20210520150000000ULL, 8).at(25);
    for (unsigned k = 0; k < 7; ++k) l.be(v64(k), 8);  // PreCloseIndex .. Turnover
    const Bytes& g = l.at(81).bytes();
    ASSERT_EQ(g.size(), IndexSnapShotField::Size());
    const IndexSnapShotField r = decode_golden<IndexSnapShotField>(g);
    EXPECT_EQ(str(r.Code), padded("000300", 16));
    EXPECT_EQ(r.ExchangeID, 2);
    EXPECT_EQ(r.TimeStamp.get(), 20210520150000000ULL);
    using M = Int<int64_t> IndexSnapShotField::*;
    const M m[] = {&IndexSnapShotField::PreCloseIndex, &IndexSnapShotField::OpenIndex,
                   &IndexSnapShotField::HighIndex,     &IndexSnapShotField::LowIndex,
                   &IndexSnapShotField::LastIndex,     &IndexSnapShotField::TotalVolume,
                   &IndexSnapShotField::Turnover};
    for (unsigned k = 0; k < 7; ++k) EXPECT_EQ(static_cast<uint64_t>((r.*m[k]).get()), v64(k));
    expect_encodes_to(r, g);
  }
  {
    Layout l;
    l.at(0).text("IF2106", 16).at(16).be(3, 1).at(17).be(20210520093000500ULL, 8);
    l.at(25).be(20210520, 4).at(29).be(v32(1), 4).at(33);
    for (unsigned k = 0; k < 14; ++k) l.be(v64(k), 8);  // PreOpenInterest .. LowLimited
    l.at(145).be(v32(2), 4).at(149).be(v32(3), 4).at(153);
    for (unsigned k = 0; k < 20; ++k) l.be(v64(100 + k), 8);  // the four ladders
    l.at(313).be(v64(50), 8).at(321).be(v64(51), 8);
    const Bytes& g = l.at(329).bytes();
    ASSERT_EQ(g.size(), FutureSnapShotField::Size());
    const FutureSnapShotField r = decode_golden<FutureSnapShotField>(g);
    EXPECT_EQ(str(r.Code), padded("IF2106", 16));
    EXPECT_EQ(r.ExchangeID, 3);
    EXPECT_EQ(r.TimeStamp.get(), 20210520093000500ULL);
    EXPECT_EQ(r.TradingDay.get(), 20210520u);
    EXPECT_EQ(static_cast<uint32_t>(r.Status.get()), v32(1));
    using M = Int<int64_t> FutureSnapShotField::*;
    const M m[] = {&FutureSnapShotField::PreOpenInterest, &FutureSnapShotField::PreClosePx,
                   &FutureSnapShotField::PreSettlePx,     &FutureSnapShotField::OpenPx,
                   &FutureSnapShotField::HighPx,          &FutureSnapShotField::LowPx,
                   &FutureSnapShotField::MatchPx,         &FutureSnapShotField::TotalVolumeTrade,
                   &FutureSnapShotField::TotalValueTrade, &FutureSnapShotField::OpenInterest,
                   &FutureSnapShotField::ClosePx,         &FutureSnapShotField::SettlePx,
                   &FutureSnapShotField::HighLimited,     &FutureSnapShotField::LowLimited};
    for (unsigned k = 0; k < 14; ++k) {
      EXPECT_EQ(static_cast<uint64_t>((r.*m[k]).get()), v64(k)) << k;
    }
    EXPECT_EQ(static_cast<uint32_t>(r.PreDelta.get()), v32(2));
    EXPECT_EQ(static_cast<uint32_t>(r.CurrDelta.get()), v32(3));
    for (unsigned i = 0; i < 5; ++i) {
      EXPECT_EQ(r.AskPrice[i].get(), v64(100 + i)) << i;
      EXPECT_EQ(r.AskVol[i].get(), v64(105 + i)) << i;
      EXPECT_EQ(r.BidPrice[i].get(), v64(110 + i)) << i;
      EXPECT_EQ(r.BidVol[i].get(), v64(115 + i)) << i;
    }
    EXPECT_EQ(static_cast<uint64_t>(r.AuctionPrice.get()), v64(50));
    EXPECT_EQ(static_cast<uint64_t>(r.AuctionQty.get()), v64(51));
    expect_encodes_to(r, g);
  }
}

TEST(GoldenBytes, OrderAndTradeDetails) {
  {  // a Shenzhen order, every byte written out
    const Bytes g = from_hex(
        "3030 3030 3031 0000 0000 0000 0000 0000"  // Code 000001
        "02"                                       // ExchangeID
        "0047 cd5c 66de 81b8"                      // TimeStamp 20210520093000120
        "0000 0000 0000 3039"                      // OrderSequence 12345
        "ffff ffff ffff fff6"                      // OrderPrice -10
        "0000 0001 0000 0000"                      // OrderQty 2^32
        "31"                                       // OrderSide '1'
        "32");                                     // OrderType '2'
    ASSERT_EQ(g.size(), OrderDetailField::Size());
    const OrderDetailField r = decode_golden<OrderDetailField>(g);
    EXPECT_EQ(str(r.Code), padded("000001", 16));
    EXPECT_EQ(r.ExchangeID, 2);
    EXPECT_EQ(r.TimeStamp.get(), 20210520093000120ULL);
    EXPECT_EQ(r.OrderSequence.get(), 12345);
    EXPECT_EQ(r.OrderPrice.get(), -10);
    EXPECT_EQ(r.OrderQty.get(), int64_t{1} << 32);
    EXPECT_EQ(r.OrderSide.get(), '1');
    EXPECT_EQ(r.OrderType.get(), '2');
    expect_encodes_to(r, g);
  }
  {  // a trade; a code filling all 16 bytes travels without a terminator
    Layout l;
    l.at(0).text("ABCDEFGHIJKLMNOP", 16).at(16).be(1, 1).at(17).be(20210520093000120ULL, 8);
    l.at(25);
    for (unsigned k = 0; k < 6; ++k) l.be(v64(k), 8);  // TradeSequence .. BidOrderSequence
    l.at(73).be('1', 1).at(74).be(' ', 1).at(75).be(v32(0), 4).at(79).be(v64(9), 8);
    const Bytes& g = l.at(87).bytes();
    ASSERT_EQ(g.size(), TradeDetailField::Size());
    const TradeDetailField r = decode_golden<TradeDetailField>(g);
    EXPECT_EQ(str(r.Code), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(r.ExchangeID, 1);
    EXPECT_EQ(r.TimeStamp.get(), 20210520093000120ULL);
    EXPECT_EQ(r.TimeStamp.Date(), 20210520u);
    EXPECT_EQ(r.TimeStamp.TimeOfDay(), 93000120u);
    using M = Int<int64_t> TradeDetailField::*;
    const M m[] = {&TradeDetailField::TradeSequence,    &TradeDetailField::TradePrice,
                   &TradeDetailField::TradeQty,         &TradeDetailField::TradeTurnover,
                   &TradeDetailField::AskOrderSequence, &TradeDetailField::BidOrderSequence};
    for (unsigned k = 0; k < 6; ++k) EXPECT_EQ(static_cast<uint64_t>((r.*m[k]).get()), v64(k));
    EXPECT_EQ(r.ExecType.get(), '1');
    EXPECT_EQ(r.BSFlag.get(), ' ');
    EXPECT_EQ(static_cast<uint32_t>(r.TradeChannel.get()), v32(0));
    EXPECT_EQ(static_cast<uint64_t>(r.BizIndex.get()), v64(9));
    expect_encodes_to(r, g);
  }
  {  // a Shanghai order: no exchange byte
    Layout l;
    l.at(0).text("600519", 16).at(16).be(20210520093000120ULL, 8);
    l.at(24).be(v32(0), 4).at(28).be(v32(1), 4);
    l.at(32).be(v64(0), 8).at(40).be(v64(1), 8).at(48).be(v64(2), 8);
    l.at(56).be('A', 1).at(57).be('2', 1).at(58).be(v64(3), 8).at(66).be(0x80, 1);
    const Bytes& g = l.at(67).bytes();
    ASSERT_EQ(g.size(), SH_OrderDetailField::Size());
    const SH_OrderDetailField r = decode_golden<SH_OrderDetailField>(g);
    EXPECT_EQ(str(r.Code), padded("600519", 16));
    EXPECT_EQ(r.TimeStamp.get(), 20210520093000120ULL);
    EXPECT_EQ(static_cast<uint32_t>(r.OrderIndex.get()), v32(0));
    EXPECT_EQ(static_cast<uint32_t>(r.ChannelNo.get()), v32(1));
    EXPECT_EQ(static_cast<uint64_t>(r.OrderPrice.get()), v64(0));
    EXPECT_EQ(static_cast<uint64_t>(r.Balance.get()), v64(1));
    EXPECT_EQ(static_cast<uint64_t>(r.OrderNo.get()), v64(2));
    EXPECT_EQ(r.OrderType.get(), 'A');
    EXPECT_EQ(r.BSFlag.get(), '2');
    EXPECT_EQ(static_cast<uint64_t>(r.BizIndex.get()), v64(3));
    EXPECT_EQ(r.DataStatus.get(), static_cast<signed char>(-128));
    expect_encodes_to(r, g);
  }
}

TEST(GoldenBytes, OrderQueue) {
  Layout l;
  l.at(0).text("000002", 16).at(16).be(2, 1).at(17).be(20210520093003000ULL, 8);
  l.at(25).be('2', 1).at(26).be(v64(0), 8).at(34).be(v64(1), 8).at(42).be(v64(2), 8).at(50);
  for (unsigned i = 0; i < 200; ++i) l.be(v32(i), 4);
  const Bytes& g = l.at(850).bytes();
  ASSERT_EQ(g.size(), OrderQueueField::Size());
  const OrderQueueField r = decode_golden<OrderQueueField>(g);
  EXPECT_EQ(str(r.Code), padded("000002", 16));
  EXPECT_EQ(r.ExchangeID, 2);
  EXPECT_EQ(r.TimeStamp.get(), 20210520093003000ULL);
  EXPECT_EQ(r.OrderSide.get(), '2');
  EXPECT_EQ(static_cast<uint64_t>(r.OrderPrice.get()), v64(0));
  EXPECT_EQ(static_cast<uint64_t>(r.NumOrders.get()), v64(1));
  EXPECT_EQ(static_cast<uint64_t>(r.OrderQueueSize.get()), v64(2));
  for (unsigned i = 0; i < 200; ++i) EXPECT_EQ(r.OrderQueue[i].get(), v32(i)) << i;
  expect_encodes_to(r, g);
}

TEST(GoldenBytes, CodeTables) {
  // The first 81 bytes are shared by both tables' records.
  const auto base = [](Layout& l) {
    l.at(0).text("10003001        ", 16).at(16).be(1, 1).at(17).be(v32(0), 4);
    l.at(21).be(v32(1), 4).at(25).text("OPTION TEXT", 32);
    l.at(57).be(v64(0), 8).at(65).be(v64(1), 8).at(73).be(v64(2), 8).at(81);
  };
  const auto check_base = [](const auto& r) {
    EXPECT_EQ(str(r.Code), "10003001        ");
    EXPECT_EQ(r.ExchangeID, 1);
    EXPECT_EQ(static_cast<uint32_t>(r.Value.get()), v32(0));
    EXPECT_EQ(r.UpdateNo.get(), v32(1));
    EXPECT_EQ(str(r.Text), padded("OPTION TEXT", 32));
    EXPECT_EQ(static_cast<uint64_t>(r.Extra1.get()), v64(0));
    EXPECT_EQ(static_cast<uint64_t>(r.Extra2.get()), v64(1));
    EXPECT_EQ(static_cast<uint64_t>(r.Extra3.get()), v64(2));
  };
  {
    Layout l;
    base(l);
    const Bytes& g = l.bytes();
    ASSERT_EQ(g.size(), SecurityBaseInfoField::Size());
    const SecurityBaseInfoField r = decode_golden<SecurityBaseInfoField>(g);
    check_base(r);
    expect_encodes_to(r, g);
  }
  {
    Layout l;
    base(l);
    l.at(81).text("TEXT2", 32).at(113).text("TEXT3", 32).at(145).be(0xF1, 1);
    l.at(146).be(v32(2), 4).at(150).be(0xF2, 1).at(151).be(0xF3, 1).at(152).be(0xF4, 1);
    l.at(153).be(v32(3), 4).at(157).be(v64(3), 8).at(165).be(v32(4), 4);
    l.at(169).be(v32(5), 4).at(173).be(v32(6), 4).at(177).be(v64(4), 8);
    const Bytes& g = l.at(185).bytes();
    ASSERT_EQ(g.size(), OptionBaseInfoField::Size());
    const OptionBaseInfoField r = decode_golden<OptionBaseInfoField>(g);
    check_base(r);
    EXPECT_EQ(str(r.Text2), padded("TEXT2", 32));
    EXPECT_EQ(str(r.Text3), padded("TEXT3", 32));
    EXPECT_EQ(static_cast<unsigned char>(r.Flag1.get()), 0xF1);
    EXPECT_EQ(static_cast<uint32_t>(r.Value2.get()), v32(2));
    EXPECT_EQ(static_cast<unsigned char>(r.Flag2.get()), 0xF2);
    EXPECT_EQ(static_cast<unsigned char>(r.Flag3.get()), 0xF3);
    EXPECT_EQ(static_cast<unsigned char>(r.Flag4.get()), 0xF4);
    EXPECT_EQ(static_cast<uint32_t>(r.Value3.get()), v32(3));
    EXPECT_EQ(static_cast<uint64_t>(r.Value4.get()), v64(3));
    EXPECT_EQ(static_cast<uint32_t>(r.Value5.get()), v32(4));
    EXPECT_EQ(static_cast<uint32_t>(r.Value6.get()), v32(5));
    EXPECT_EQ(static_cast<uint32_t>(r.Value7.get()), v32(6));
    EXPECT_EQ(static_cast<uint64_t>(r.Extra4.get()), v64(4));
    expect_encodes_to(r, g);
  }
}

TEST(GoldenBytes, StructPacketWithOneField) {
  // Packet header, field header, heartbeat record.
  const Bytes g = from_hex(
      "0707 0014 0000 03f2 0047 cd5c 66de 81b8"  // Magic, BodyLength 20, PacketType 1010, time
      "0003 0008 0000 0000 0000 0000"            // FieldId 3, FieldLength 8, FieldSeq 0
      "0000 0000 0000 002a");                    // ServerTime 42
  StructPacket out = StructPacket::ForRecord<HeartBeatField>();
  HeartBeatField hb;
  hb.ServerTime = 42;
  ASSERT_TRUE(out.AddField(hb));
  out.PacketType = 1010;
  out.PacketTime = 20210520093000120ULL;
  ASSERT_TRUE(out.Serialize());
  const Slice s = out.Bytes();
  EXPECT_EQ(hex_of(reinterpret_cast<const unsigned char*>(s.data), s.size),
            hex_of(g.data(), g.size()));

  // Parsed from the golden bytes, after garbage, with a received sequence.
  Bytes in = from_hex("07 99");
  in.insert(in.end(), g.begin(), g.end());
  in[2 + 16 + 11] = 0x07;  // FieldSeq 7
  StructPacket p;
  const StructPacket::ParseResult r =
      p.ParseFrom(reinterpret_cast<const char*>(in.data()), in.size());
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.consumed, in.size());
  EXPECT_EQ(p.Magic, 0x0707);
  EXPECT_EQ(p.BodyLength, 20u);
  EXPECT_EQ(p.PacketType, 1010u);
  EXPECT_EQ(p.PacketTime, 20210520093000120ULL);
  StructPacket::Iterator it(p);
  ASSERT_TRUE(it.Valid());
  EXPECT_EQ(it.FieldId, HeartBeatField::kFieldId);
  EXPECT_EQ(it.FieldLength, 8u);
  EXPECT_EQ(it.FieldSeq, 7u);
  HeartBeatField got;
  ASSERT_TRUE(it.Decode(got));
  EXPECT_EQ(got.ServerTime.get(), 42u);
  EXPECT_FALSE(it.Next());
}

TEST(GoldenBytes, RawPacket) {
  const Bytes g = from_hex(
      "f7f7"                 // Magic
      "0599 4c38"            // SendTime 93932600
      "02"                   // ExchangeID
      "0000 0000 0001 e240"  // Sequence 123456
      "0003"                 // FragmentNo 3
      "01"                   // MoreFragments
      "0005"                 // PayloadLength 5
      "68 65 6c 6c 6f");     // payload
  RawDataPacket in;
  ASSERT_TRUE(in.DecodeHeader(reinterpret_cast<const char*>(g.data()), g.size()));
  EXPECT_EQ(in.Magic, 0xF7F7);
  EXPECT_EQ(in.SendTime, 93932600u);
  EXPECT_EQ(in.ExchangeID, 2);
  EXPECT_EQ(in.Sequence, 123456u);
  EXPECT_EQ(in.FragmentNo, 3u);
  EXPECT_EQ(in.MoreFragments, 1u);
  EXPECT_EQ(in.PayloadLength, 5u);
  ASSERT_TRUE(in.Assign(reinterpret_cast<const char*>(g.data()), g.size()));
  ASSERT_NE(in.Payload(), nullptr);
  EXPECT_EQ(std::string(in.Payload(), 5), "hello");

  RawDataPacket out;
  out.SendTime = 93932600;
  out.ExchangeID = 2;
  out.Sequence = 123456;
  out.FragmentNo = 3;
  out.MoreFragments = 1;
  ASSERT_TRUE(out.Build("hello", 5));
  const Slice s = out.Bytes();
  EXPECT_EQ(hex_of(reinterpret_cast<const unsigned char*>(s.data), s.size),
            hex_of(g.data(), g.size()));
}

}  // namespace
}  // namespace zavo
