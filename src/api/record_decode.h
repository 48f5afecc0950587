#pragma once
// The market records decoded straight from their wire bytes into the public
// records, inline, for the per-field path. Each DecodeRecord expects the
// caller to have checked that the record's whole wire size is readable at
// `data`; keeping that one check with the caller lets the field walk test a
// length once.
//
// Every record is zero-filled first (all but the runs written whole right
// after): padding and members without a source must read 0, exactly as
// after a member-by-member conversion.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "api/code_key.h"
#include "api/convert.h"
#include "api/wire_arrays.h"
#include "proto/field_codec.h"
#include "zavo_api.h"

namespace zavo {
namespace record_decode {

constexpr uint64_t kDateDivisor = 1000000000UL;

inline uint32_t date_of(uint64_t stamp) {
  return static_cast<uint32_t>(stamp / kDateDivisor);
}
inline uint32_t time_of(uint64_t stamp) {
  return static_cast<uint32_t>(stamp % kDateDivisor);
}

// The ladders are four arrays side by side in both layouts, swapped as one.
template <class R>
constexpr bool ladders_adjacent() {
  return offsetof(R, AskVol) == offsetof(R, AskPrice) + sizeof(R::AskPrice) &&
         offsetof(R, BidPrice) == offsetof(R, AskVol) + sizeof(R::AskVol) &&
         offsetof(R, BidVol) == offsetof(R, BidPrice) + sizeof(R::BidPrice);
}

// Sequential reader over a record's wire bytes whose length was checked once
// up front. Member by member in wire order; the offsets fold into constants.
class WireIn {
 public:
  explicit WireIn(const char* p) : p_(p) {}

  template <class T>
  T take() {
    const T v = LoadBigEndian<T>(p_);
    p_ += sizeof(T);
    return v;
  }
  int64_t i64() { return take<int64_t>(); }
  uint32_t low32_of_i64() { return static_cast<uint32_t>(take<uint64_t>()); }
  signed char i8() { return take<signed char>(); }
  void code(char (&out)[16]) {
    CopyCode16(out, p_);
    p_ += 16;
  }

  // The four price and volume ladders (ask prices, ask volumes, bid
  // prices, bid volumes), consecutive on the wire as in the record.
  template <class R>
  void ladders(R* out) {
    static_assert(ladders_adjacent<R>(), "the four ladders lie side by side");
    constexpr size_t kValues = 4 * sizeof(R::AskPrice) / sizeof(uint64_t);
    // Addressed from the record, as one run across the four arrays.
    auto* run = reinterpret_cast<uint64_t*>(reinterpret_cast<char*>(out) + offsetof(R, AskPrice));
    LoadBigEndianU64s(p_, run, kValues);
    p_ += 8 * kValues;
  }
  void skip(unsigned int n) { p_ += n; }
  const char* here() const { return p_; }

 private:
  const char* p_;
};

// Small records are copied from a zero record: the compiler turns that into
// a few straight vector stores, where a memset of 96 bytes became a store
// loop whose exit the branch predictor missed on every record.
template <class R>
inline void zero(R* out) {
  if constexpr (sizeof(R) <= 128) {
    static const R kZero{};
    std::memcpy(out, &kZero, sizeof(R));
  } else {
    std::memset(out, 0, sizeof(R));
  }
}

// A snapshot's four ladders are most of its bytes and are written whole
// by WireIn::ladders: only the members before and after them need the zero
// fill, which halves it for the security snapshot (the largest single step
// of its decode before).
template <class R>
inline void zero_around_ladders(R* out) {
  static_assert(ladders_adjacent<R>(), "the four ladders lie side by side");
  constexpr size_t kBegin = offsetof(R, AskPrice);
  constexpr size_t kEnd = offsetof(R, BidVol) + sizeof(R::BidVol);
  char* p = reinterpret_cast<char*>(out);
  std::memset(p, 0, kBegin);
  std::memset(p + kEnd, 0, sizeof(R) - kEnd);
}

}  // namespace record_decode

// LocalDelay is measured against `now`, the moment the datagram carrying
// the record was taken up, so every record of one datagram shares it.
inline void DecodeRecord(const char* data, ZAVO_SecuritySnapShot* out, const timespec& now) {
  using namespace record_decode;
  zero_around_ladders(out);
  WireIn in(data);
  in.code(out->Code);
  out->ExchangeID = ExchangeChar(in.take<unsigned char>());
  const uint64_t stamp = in.take<uint64_t>();
  out->Date = date_of(stamp);
  out->TradingDay = out->Date;
  out->Time = time_of(stamp);
  out->Status = static_cast<uint32_t>(in.take<int>());
  out->PreClosePx = in.i64();
  out->OpenPx = in.i64();
  out->HighPx = in.i64();
  out->LowPx = in.i64();
  out->MatchPx = in.i64();
  in.ladders(out);
  out->NumTrades = in.low32_of_i64();
  out->TotalVolumeTrade = in.i64();
  out->TotalValueTrade = in.i64();
  out->TotalBidVol = in.i64();
  out->TotalAskVol = in.i64();
  out->WeightedAvgBidPrice = in.i64();
  out->WeightedAvgAskPrice = in.i64();
  out->IOPV = in.low32_of_i64();
  out->YieldToMaturity = in.low32_of_i64();
  out->HighLimited = in.i64();
  out->LowLimited = in.i64();
  out->SYL1 = in.low32_of_i64();
  out->SYL2 = in.low32_of_i64();
  in.skip(8);  // SD1 is not carried: the slot stays 0.
  out->SD2 = in.low32_of_i64();
  out->AfterPrice = in.i64();
  out->AfterVolume = in.i64();
  out->AfterTurnover = in.i64();
  out->AfterMatchItems = in.i64();
#ifdef _WIN32
  // The Windows record leaves the local delay at 0.
  (void)now;
#else
  const int64_t delay_sec = in.i64();
  const int64_t delay_nsec = in.i64();
  out->LocalDelay = LocalDelayMicros(delay_sec, delay_nsec, now);
#endif
}

inline void DecodeRecord(const char* data, ZAVO_IndexSnapShot* out) {
  using namespace record_decode;
  zero(out);
  WireIn in(data);
  in.code(out->Code);
  out->ExchangeID = ExchangeChar(in.take<unsigned char>());
  const uint64_t stamp = in.take<uint64_t>();
  out->Date = date_of(stamp);
  out->TradingDay = out->Date;
  out->Time = time_of(stamp);
  out->PreCloseIndex = in.i64();
  out->OpenIndex = in.i64();
  out->HighIndex = in.i64();
  out->LowIndex = in.i64();
  out->LastIndex = in.i64();
  out->TotalVolume = in.i64();
  out->Turnover = in.i64();
}

inline void DecodeRecord(const char* data, ZAVO_FutureSnapShot* out) {
  using namespace record_decode;
  zero_around_ladders(out);
  WireIn in(data);
  in.code(out->Code);
  out->ExchangeID = ExchangeChar(in.take<unsigned char>());
  const uint64_t stamp = in.take<uint64_t>();
  out->Date = date_of(stamp);
  out->Time = time_of(stamp);
  out->TradingDay = in.take<unsigned int>();
  out->Status = static_cast<uint32_t>(in.take<int>());
  out->PreOpenInterest = in.i64();
  out->PreClosePx = in.i64();
  out->PreSettlePx = in.i64();
  out->OpenPx = in.i64();
  out->HighPx = in.i64();
  out->LowPx = in.i64();
  out->MatchPx = in.i64();
  out->TotalVolumeTrade = in.i64();
  out->TotalValueTrade = in.i64();
  out->OpenInterest = in.i64();
  out->ClosePx = in.i64();
  out->SettlePx = in.i64();
  out->HighLimited = in.i64();
  out->LowLimited = in.i64();
  out->PreDelta = static_cast<uint32_t>(in.take<int>());
  out->CurrDelta = static_cast<uint32_t>(in.take<int>());
  in.ladders(out);
  out->AuctionPrice = in.i64();
  out->AuctionQty = in.i64();
}

inline void DecodeRecord(const char* data, ZAVO_TradeDetail* out) {
  using namespace record_decode;
  zero(out);
  WireIn in(data);
  in.code(out->Code);
  out->ExchangeID = ExchangeChar(in.take<unsigned char>());
  const uint64_t stamp = in.take<uint64_t>();
  out->Date = date_of(stamp);
  out->Time = time_of(stamp);
  out->TradeSequence = in.i64();
  out->TradePrice = in.i64();
  out->TradeQty = in.low32_of_i64();
  out->TradeTurnover = in.i64();
  out->AskOrderSequence = in.i64();
  out->BidOrderSequence = in.i64();
  out->ExecType = MapExecType(in.i8());
#ifdef _WIN32
  // The Windows record ends with the flag, mapped as its programs expect:
  // '1' -> 'B', '2' -> 'S', '3' -> ' ', anything else -> 0.
  static constexpr convert_detail::CharMap kWindowsBSFlag =
      convert_detail::make_char_map("123", "BS ");
  out->BSFlag = kWindowsBSFlag.to[static_cast<unsigned char>(in.i8())];
#else
  out->BSFlag = MapBSFlag(in.i8());
  out->TradeChannel = static_cast<uint32_t>(in.take<int>());
  out->BizIndex = in.i64();
#endif
}

inline void DecodeRecord(const char* data, ZAVO_OrderDetail* out) {
  using namespace record_decode;
  zero(out);
  WireIn in(data);
  in.code(out->Code);
  out->ExchangeID = ExchangeChar(in.take<unsigned char>());
  const uint64_t stamp = in.take<uint64_t>();
  out->Date = date_of(stamp);
  out->Time = time_of(stamp);
  out->OrderSequence = in.i64();
  out->OrderPrice = in.i64();
  out->OrderQty = in.low32_of_i64();
  out->OrderSide = MapOrderSide(in.i8());
  out->OrderType = MapOrderType(in.i8());
}

inline void DecodeRecord(const char* data, ZAVO_OrderQueue* out) {
  using namespace record_decode;
  // The queue runs to the end of the record and is written whole below:
  // only the members before it need the zero fill.
  static_assert(
      offsetof(ZAVO_OrderQueue, OrderQueue) + sizeof(out->OrderQueue) == sizeof(ZAVO_OrderQueue),
      "the queue ends the record");
  std::memset(out, 0, offsetof(ZAVO_OrderQueue, OrderQueue));
  WireIn in(data);
  in.code(out->Code);
  out->ExchangeID = ExchangeChar(in.take<unsigned char>());
  const uint64_t stamp = in.take<uint64_t>();
  out->Date = date_of(stamp);
  // TradingDay stays 0 in this record.
  out->Time = time_of(stamp);
  out->OrderSide = MapOrderSide(in.i8());
  out->OrderPrice = in.i64();
  out->NumOrders = in.low32_of_i64();
  out->OrderQueueSize = in.low32_of_i64();
  LoadBigEndianU32s(in.here(), out->OrderQueue, 200);
}

inline void DecodeRecord(const char* data, ZAVO_SHOrderDetail* out) {
  using namespace record_decode;
  zero(out);
  WireIn in(data);
  in.code(out->Code);
  out->Time = time_of(in.take<uint64_t>());
  out->OrderIndex = static_cast<uint32_t>(in.take<int>());
  out->ChannelNo = static_cast<uint32_t>(in.take<int>());
  out->OrderPrice = in.i64();
  out->Balance = in.i64();
  out->OrderNo = in.i64();
  out->OrderType = static_cast<char>(in.i8());
  out->BSFlag = MapBSFlag(in.i8());
  out->BizIndex = in.i64();
  out->DataStatus = static_cast<char>(in.i8());
}

}  // namespace zavo
