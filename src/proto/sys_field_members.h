#pragma once
// Member lists of the market-data records, in wire order. Each list is an
// X-macro over the member names: the codecs (sys_field.cpp) and the text
// dumps (sys_field_dump.cpp) are both generated from it, so a member added
// to a record is encoded, decoded and dumped alike. Internal to the proto
// sources.

// The formatter does not keep these lists stable; they are laid out by hand.
// clang-format off
#define ZAVO_SECURITY_SNAPSHOT(X)                                                         \
  X(Code) X(ExchangeID) X(TimeStamp) X(Status) X(PreClosePx) X(OpenPx) X(HighPx) X(LowPx) \
  X(MatchPx) X(AskPrice) X(AskVol) X(BidPrice) X(BidVol) X(NumTrades) X(TotalVolumeTrade) \
  X(TotalValueTrade) X(TotalBidVol) X(TotalAskVol) X(WeightedAvgBidPrice)                 \
  X(WeightedAvgAskPrice) X(IOPV) X(YieldToMaturity) X(HighLimited) X(LowLimited) X(SYL1)  \
  X(SYL2) X(SD1) X(SD2) X(AfterPrice) X(AfterVolume) X(AfterTurnover) X(AfterMatchItems)  \
  X(DelayTrackSec) X(DelayTrackNsec)

#define ZAVO_INDEX_SNAPSHOT(X)                                                              \
  X(Code) X(ExchangeID) X(TimeStamp) X(PreCloseIndex) X(OpenIndex) X(HighIndex) X(LowIndex) \
  X(LastIndex) X(TotalVolume) X(Turnover)

#define ZAVO_ORDER_QUEUE(X)                                                  \
  X(Code) X(ExchangeID) X(TimeStamp) X(OrderSide) X(OrderPrice) X(NumOrders) \
  X(OrderQueueSize) X(OrderQueue)

#define ZAVO_ORDER_DETAIL(X)                                                    \
  X(Code) X(ExchangeID) X(TimeStamp) X(OrderSequence) X(OrderPrice) X(OrderQty) \
  X(OrderSide) X(OrderType)

#define ZAVO_TRADE_DETAIL(X)                                                     \
  X(Code) X(ExchangeID) X(TimeStamp) X(TradeSequence) X(TradePrice) X(TradeQty)  \
  X(TradeTurnover) X(AskOrderSequence) X(BidOrderSequence) X(ExecType) X(BSFlag) \
  X(TradeChannel) X(BizIndex)

#define ZAVO_FUTURE_SNAPSHOT(X)                                                            \
  X(Code) X(ExchangeID) X(TimeStamp) X(TradingDay) X(Status) X(PreOpenInterest)            \
  X(PreClosePx) X(PreSettlePx) X(OpenPx) X(HighPx) X(LowPx) X(MatchPx) X(TotalVolumeTrade) \
  X(TotalValueTrade) X(OpenInterest) X(ClosePx) X(SettlePx) X(HighLimited) X(LowLimited)   \
  X(PreDelta) X(CurrDelta) X(AskPrice) X(AskVol) X(BidPrice) X(BidVol) X(AuctionPrice)     \
  X(AuctionQty)

#define ZAVO_SH_ORDER_DETAIL(X)                                                       \
  X(Code) X(TimeStamp) X(OrderIndex) X(ChannelNo) X(OrderPrice) X(Balance) X(OrderNo) \
  X(OrderType) X(BSFlag) X(BizIndex) X(DataStatus)
// clang-format on
