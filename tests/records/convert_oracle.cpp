// The market records converted member by member from their decoded wire
// records: the straightforward reading of the conversion rules, kept here
// as the oracle that the library's direct decoding (DecodeRecord) is checked
// against.
#include "convert_oracle.h"

#include <cstdint>
#include <cstring>
#include <ctime>

#include "api/code_key.h"
#include "api/convert.h"

namespace zavo {

namespace {

constexpr unsigned long kDateDivisor = 1000000000UL;

inline uint32_t date_of(unsigned long stamp) {
  return static_cast<uint32_t>(stamp / kDateDivisor);
}
inline uint32_t time_of(unsigned long stamp) {
  return static_cast<uint32_t>(stamp % kDateDivisor);
}
inline uint32_t low32(long v) {
  return static_cast<uint32_t>(static_cast<uint64_t>(v));
}

template <unsigned int N>
inline void copy_code(const String<N>& in, char (&out)[16]) {
  in.CopyTo(out, sizeof(out));
}

template <class W, unsigned int N, class P>
inline void copy_array(const Array<W, N>& in, P (&out)[N]) {
  for (unsigned int i = 0; i < N; ++i) out[i] = static_cast<P>(in[i].get());
}

}  // namespace

void ConvertField(const SecuritySnapShotField* in, ZAVO_SecuritySnapShot* out) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  ConvertField(in, out, now);
}

void ConvertField(const SecuritySnapShotField* in, ZAVO_SecuritySnapShot* out,
                  const timespec& now) {
  std::memset(out, 0, sizeof(*out));
  copy_code(in->Code, out->Code);
  out->ExchangeID = ExchangeChar(in->ExchangeID);
  out->Date = date_of(in->TimeStamp);
  out->TradingDay = out->Date;
  out->Time = time_of(in->TimeStamp);
  out->Status = static_cast<uint32_t>(in->Status.get());
  out->PreClosePx = in->PreClosePx;
  out->OpenPx = in->OpenPx;
  out->HighPx = in->HighPx;
  out->LowPx = in->LowPx;
  out->MatchPx = in->MatchPx;
  copy_array(in->AskPrice, out->AskPrice);
  copy_array(in->AskVol, out->AskVol);
  copy_array(in->BidPrice, out->BidPrice);
  copy_array(in->BidVol, out->BidVol);
  out->NumTrades = low32(in->NumTrades);
  out->TotalVolumeTrade = in->TotalVolumeTrade;
  out->TotalValueTrade = in->TotalValueTrade;
  out->TotalBidVol = in->TotalBidVol;
  out->TotalAskVol = in->TotalAskVol;
  out->WeightedAvgBidPrice = in->WeightedAvgBidPrice;
  out->WeightedAvgAskPrice = in->WeightedAvgAskPrice;
  out->IOPV = low32(in->IOPV);
  out->YieldToMaturity = low32(in->YieldToMaturity);
  out->HighLimited = in->HighLimited;
  out->LowLimited = in->LowLimited;
  out->SYL1 = low32(in->SYL1);
  out->SYL2 = low32(in->SYL2);
  // SD1 is not carried: the slot stays 0.
  out->SD2 = low32(in->SD2);
  out->AfterPrice = in->AfterPrice;
  out->AfterVolume = in->AfterVolume;
  out->AfterTurnover = in->AfterTurnover;
  out->AfterMatchItems = in->AfterMatchItems;
  out->LocalDelay = LocalDelayMicros(in->DelayTrackSec, in->DelayTrackNsec, now);
}

void ConvertField(const IndexSnapShotField* in, ZAVO_IndexSnapShot* out) {
  std::memset(out, 0, sizeof(*out));
  copy_code(in->Code, out->Code);
  out->ExchangeID = ExchangeChar(in->ExchangeID);
  out->Date = date_of(in->TimeStamp);
  out->TradingDay = out->Date;
  out->Time = time_of(in->TimeStamp);
  out->PreCloseIndex = in->PreCloseIndex;
  out->OpenIndex = in->OpenIndex;
  out->HighIndex = in->HighIndex;
  out->LowIndex = in->LowIndex;
  out->LastIndex = in->LastIndex;
  out->TotalVolume = in->TotalVolume;
  out->Turnover = in->Turnover;
}

void ConvertField(const FutureSnapShotField* in, ZAVO_FutureSnapShot* out) {
  std::memset(out, 0, sizeof(*out));
  copy_code(in->Code, out->Code);
  out->ExchangeID = ExchangeChar(in->ExchangeID);
  out->Date = date_of(in->TimeStamp);
  out->TradingDay = in->TradingDay;
  out->Time = time_of(in->TimeStamp);
  out->Status = static_cast<uint32_t>(in->Status.get());
  out->PreOpenInterest = in->PreOpenInterest;
  out->PreClosePx = in->PreClosePx;
  out->PreSettlePx = in->PreSettlePx;
  out->OpenPx = in->OpenPx;
  out->HighPx = in->HighPx;
  out->LowPx = in->LowPx;
  out->MatchPx = in->MatchPx;
  out->TotalVolumeTrade = in->TotalVolumeTrade;
  out->TotalValueTrade = in->TotalValueTrade;
  out->OpenInterest = in->OpenInterest;
  out->ClosePx = in->ClosePx;
  out->SettlePx = in->SettlePx;
  out->HighLimited = in->HighLimited;
  out->LowLimited = in->LowLimited;
  out->PreDelta = static_cast<uint32_t>(in->PreDelta.get());
  out->CurrDelta = static_cast<uint32_t>(in->CurrDelta.get());
  copy_array(in->AskPrice, out->AskPrice);
  copy_array(in->AskVol, out->AskVol);
  copy_array(in->BidPrice, out->BidPrice);
  copy_array(in->BidVol, out->BidVol);
  out->AuctionPrice = in->AuctionPrice;
  out->AuctionQty = in->AuctionQty;
}

void ConvertField(const TradeDetailField* in, ZAVO_TradeDetail* out) {
  std::memset(out, 0, sizeof(*out));
  copy_code(in->Code, out->Code);
  out->ExchangeID = ExchangeChar(in->ExchangeID);
  out->Date = date_of(in->TimeStamp);
  out->Time = time_of(in->TimeStamp);
  out->TradeSequence = in->TradeSequence;
  out->TradePrice = in->TradePrice;
  out->TradeQty = low32(in->TradeQty);
  out->TradeTurnover = in->TradeTurnover;
  out->AskOrderSequence = in->AskOrderSequence;
  out->BidOrderSequence = in->BidOrderSequence;
  out->ExecType = MapExecType(in->ExecType);
  out->BSFlag = MapBSFlag(in->BSFlag);
  out->TradeChannel = static_cast<uint32_t>(in->TradeChannel.get());
  out->BizIndex = in->BizIndex;
}

void ConvertField(const OrderDetailField* in, ZAVO_OrderDetail* out) {
  std::memset(out, 0, sizeof(*out));
  copy_code(in->Code, out->Code);
  out->ExchangeID = ExchangeChar(in->ExchangeID);
  out->Date = date_of(in->TimeStamp);
  out->Time = time_of(in->TimeStamp);
  out->OrderSequence = in->OrderSequence;
  out->OrderPrice = in->OrderPrice;
  out->OrderQty = low32(in->OrderQty);
  out->OrderSide = MapOrderSide(in->OrderSide);
  out->OrderType = MapOrderType(in->OrderType);
}

void ConvertField(const OrderQueueField* in, ZAVO_OrderQueue* out) {
  std::memset(out, 0, sizeof(*out));
  copy_code(in->Code, out->Code);
  out->ExchangeID = ExchangeChar(in->ExchangeID);
  out->Date = date_of(in->TimeStamp);
  // TradingDay stays 0 in this record.
  out->Time = time_of(in->TimeStamp);
  out->OrderSide = MapOrderSide(in->OrderSide);
  out->OrderPrice = in->OrderPrice;
  out->NumOrders = low32(in->NumOrders);
  out->OrderQueueSize = low32(in->OrderQueueSize);
  copy_array(in->OrderQueue, out->OrderQueue);
}

void ConvertField(const SH_OrderDetailField* in, ZAVO_SHOrderDetail* out) {
  std::memset(out, 0, sizeof(*out));
  copy_code(in->Code, out->Code);
  out->DataStatus = static_cast<char>(in->DataStatus.get());
  out->ChannelNo = static_cast<uint32_t>(in->ChannelNo.get());
  out->OrderIndex = static_cast<uint32_t>(in->OrderIndex.get());
  out->Time = time_of(in->TimeStamp);
  out->OrderNo = in->OrderNo;
  out->OrderPrice = in->OrderPrice;
  out->Balance = in->Balance;
  out->BSFlag = MapBSFlag(in->BSFlag);
  out->OrderType = static_cast<char>(in->OrderType.get());
  out->BizIndex = in->BizIndex;
}

}  // namespace zavo
