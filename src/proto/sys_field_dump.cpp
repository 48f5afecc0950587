// One-line text dumps of the market-data records, for diagnostics only.
#include <ostream>

#include "proto/sys_field.h"

namespace zavo {
namespace {

// Member printers: one-byte members as the byte itself, integers in decimal,
// arrays comma-separated, texts up to the first zero byte.
void put_value(std::ostream& os, CExchangeIDType v) {
  os << static_cast<char>(v);
}
void put_value(std::ostream& os, const Int<signed char>& v) {
  os << static_cast<char>(v.get());
}
template <class T>
void put_value(std::ostream& os, const Int<T>& v) {
  os << v.get();
}
void put_value(std::ostream& os, const LocalTimeStamp& v) {
  os << v.get();
}
template <unsigned int N>
void put_value(std::ostream& os, const String<N>& v) {
  os.write(v.Data(), v.Length());
}
template <class T, unsigned int N>
void put_array(std::ostream& os, const Array<T, N>& a, unsigned int count) {
  for (unsigned int i = 0; i < count && i < N; ++i) {
    if (i) os << ',';
    put_value(os, a[i]);
  }
}
template <class T, unsigned int N>
void put_value(std::ostream& os, const Array<T, N>& a) {
  put_array(os, a, N);
}

template <class V>
void put_member(std::ostream& os, const char* name, const V& v) {
  os << name << ':';
  put_value(os, v);
  os << ' ';
}

}  // namespace

#define ZAVO_DUMP_MEMBER(m) put_member(os, #m, r.m);

std::ostream& operator<<(std::ostream& os, const SecuritySnapShotField& r) {
  os << "SecuritySnapShotField { ";
  ZAVO_DUMP_MEMBER(Code)
  ZAVO_DUMP_MEMBER(ExchangeID)
  ZAVO_DUMP_MEMBER(TimeStamp)
  ZAVO_DUMP_MEMBER(Status)
  ZAVO_DUMP_MEMBER(PreClosePx)
  ZAVO_DUMP_MEMBER(OpenPx)
  ZAVO_DUMP_MEMBER(HighPx)
  ZAVO_DUMP_MEMBER(LowPx)
  ZAVO_DUMP_MEMBER(MatchPx)
  ZAVO_DUMP_MEMBER(AskPrice)
  ZAVO_DUMP_MEMBER(AskVol)
  ZAVO_DUMP_MEMBER(BidPrice)
  ZAVO_DUMP_MEMBER(BidVol)
  ZAVO_DUMP_MEMBER(NumTrades)
  ZAVO_DUMP_MEMBER(TotalVolumeTrade)
  ZAVO_DUMP_MEMBER(TotalValueTrade)
  ZAVO_DUMP_MEMBER(TotalBidVol)
  ZAVO_DUMP_MEMBER(TotalAskVol)
  ZAVO_DUMP_MEMBER(WeightedAvgBidPrice)
  ZAVO_DUMP_MEMBER(WeightedAvgAskPrice)
  ZAVO_DUMP_MEMBER(IOPV)
  ZAVO_DUMP_MEMBER(YieldToMaturity)
  ZAVO_DUMP_MEMBER(HighLimited)
  ZAVO_DUMP_MEMBER(LowLimited)
  ZAVO_DUMP_MEMBER(SYL1)
  ZAVO_DUMP_MEMBER(SYL2)
  ZAVO_DUMP_MEMBER(SD1)
  ZAVO_DUMP_MEMBER(SD2)
  ZAVO_DUMP_MEMBER(AfterPrice)
  ZAVO_DUMP_MEMBER(AfterVolume)
  ZAVO_DUMP_MEMBER(AfterTurnover)
  ZAVO_DUMP_MEMBER(AfterMatchItems)
  ZAVO_DUMP_MEMBER(DelayTrackSec)
  ZAVO_DUMP_MEMBER(DelayTrackNsec)
  return os << '}';
}

std::ostream& operator<<(std::ostream& os, const IndexSnapShotField& r) {
  os << "IndexSnapShotField { ";
  ZAVO_DUMP_MEMBER(Code)
  ZAVO_DUMP_MEMBER(ExchangeID)
  ZAVO_DUMP_MEMBER(TimeStamp)
  ZAVO_DUMP_MEMBER(PreCloseIndex)
  ZAVO_DUMP_MEMBER(OpenIndex)
  ZAVO_DUMP_MEMBER(HighIndex)
  ZAVO_DUMP_MEMBER(LowIndex)
  ZAVO_DUMP_MEMBER(LastIndex)
  ZAVO_DUMP_MEMBER(TotalVolume)
  ZAVO_DUMP_MEMBER(Turnover)
  return os << '}';
}

std::ostream& operator<<(std::ostream& os, const OrderQueueField& r) {
  os << "OrderQueueField { ";
  ZAVO_DUMP_MEMBER(Code)
  ZAVO_DUMP_MEMBER(ExchangeID)
  ZAVO_DUMP_MEMBER(TimeStamp)
  ZAVO_DUMP_MEMBER(OrderSide)
  ZAVO_DUMP_MEMBER(OrderPrice)
  ZAVO_DUMP_MEMBER(NumOrders)
  ZAVO_DUMP_MEMBER(OrderQueueSize)
  // The queue holds 200 entries; the first 50 keep the line readable.
  os << "OrderQueue:";
  put_array(os, r.OrderQueue, 50);
  os << ' ';
  return os << '}';
}

std::ostream& operator<<(std::ostream& os, const OrderDetailField& r) {
  os << "OrderDetailField { ";
  ZAVO_DUMP_MEMBER(Code)
  ZAVO_DUMP_MEMBER(ExchangeID)
  ZAVO_DUMP_MEMBER(TimeStamp)
  ZAVO_DUMP_MEMBER(OrderSequence)
  ZAVO_DUMP_MEMBER(OrderPrice)
  ZAVO_DUMP_MEMBER(OrderQty)
  ZAVO_DUMP_MEMBER(OrderSide)
  ZAVO_DUMP_MEMBER(OrderType)
  return os << '}';
}

std::ostream& operator<<(std::ostream& os, const TradeDetailField& r) {
  os << "TradeDetailField { ";
  ZAVO_DUMP_MEMBER(Code)
  ZAVO_DUMP_MEMBER(ExchangeID)
  ZAVO_DUMP_MEMBER(TimeStamp)
  ZAVO_DUMP_MEMBER(TradeSequence)
  ZAVO_DUMP_MEMBER(TradePrice)
  ZAVO_DUMP_MEMBER(TradeQty)
  ZAVO_DUMP_MEMBER(TradeTurnover)
  ZAVO_DUMP_MEMBER(AskOrderSequence)
  ZAVO_DUMP_MEMBER(BidOrderSequence)
  ZAVO_DUMP_MEMBER(ExecType)
  ZAVO_DUMP_MEMBER(BSFlag)
  ZAVO_DUMP_MEMBER(TradeChannel)
  ZAVO_DUMP_MEMBER(BizIndex)
  return os << '}';
}

std::ostream& operator<<(std::ostream& os, const FutureSnapShotField& r) {
  os << "FutureSnapShotField { ";
  ZAVO_DUMP_MEMBER(Code)
  ZAVO_DUMP_MEMBER(ExchangeID)
  ZAVO_DUMP_MEMBER(TimeStamp)
  ZAVO_DUMP_MEMBER(TradingDay)
  ZAVO_DUMP_MEMBER(Status)
  ZAVO_DUMP_MEMBER(PreOpenInterest)
  ZAVO_DUMP_MEMBER(PreClosePx)
  ZAVO_DUMP_MEMBER(PreSettlePx)
  ZAVO_DUMP_MEMBER(OpenPx)
  ZAVO_DUMP_MEMBER(HighPx)
  ZAVO_DUMP_MEMBER(LowPx)
  ZAVO_DUMP_MEMBER(MatchPx)
  ZAVO_DUMP_MEMBER(TotalVolumeTrade)
  ZAVO_DUMP_MEMBER(TotalValueTrade)
  ZAVO_DUMP_MEMBER(OpenInterest)
  ZAVO_DUMP_MEMBER(ClosePx)
  ZAVO_DUMP_MEMBER(SettlePx)
  ZAVO_DUMP_MEMBER(HighLimited)
  ZAVO_DUMP_MEMBER(LowLimited)
  ZAVO_DUMP_MEMBER(PreDelta)
  ZAVO_DUMP_MEMBER(CurrDelta)
  ZAVO_DUMP_MEMBER(AskPrice)
  ZAVO_DUMP_MEMBER(AskVol)
  ZAVO_DUMP_MEMBER(BidPrice)
  ZAVO_DUMP_MEMBER(BidVol)
  ZAVO_DUMP_MEMBER(AuctionPrice)
  ZAVO_DUMP_MEMBER(AuctionQty)
  return os << '}';
}

std::ostream& operator<<(std::ostream& os, const SH_OrderDetailField& r) {
  os << "SH_OrderDetailField { ";
  ZAVO_DUMP_MEMBER(Code)
  ZAVO_DUMP_MEMBER(TimeStamp)
  ZAVO_DUMP_MEMBER(OrderIndex)
  ZAVO_DUMP_MEMBER(ChannelNo)
  ZAVO_DUMP_MEMBER(OrderPrice)
  ZAVO_DUMP_MEMBER(Balance)
  ZAVO_DUMP_MEMBER(OrderNo)
  ZAVO_DUMP_MEMBER(OrderType)
  ZAVO_DUMP_MEMBER(BSFlag)
  ZAVO_DUMP_MEMBER(BizIndex)
  ZAVO_DUMP_MEMBER(DataStatus)
  return os << '}';
}

}  // namespace zavo
