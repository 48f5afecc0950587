#include "layouts.h"

#include "zavo_api.h"

namespace zavo {
namespace py {

namespace {

template <class T>
struct Fmt;
template <>
struct Fmt<char> {
  static std::string get() { return "S1"; }
};
template <size_t N>
struct Fmt<char[N]> {
  static std::string get() { return "S" + std::to_string(N); }
};
template <>
struct Fmt<uint8_t> {
  static std::string get() { return "u1"; }
};
template <>
struct Fmt<uint16_t> {
  static std::string get() { return "<u2"; }
};
template <>
struct Fmt<uint32_t> {
  static std::string get() { return "<u4"; }
};
template <>
struct Fmt<int32_t> {
  static std::string get() { return "<i4"; }
};
template <>
struct Fmt<uint64_t> {
  static std::string get() { return "<u8"; }
};
template <>
struct Fmt<int64_t> {
  static std::string get() { return "<i8"; }
};
template <class T, size_t N>
struct Fmt<T[N]> {
  static std::string get() { return "(" + std::to_string(N) + ",)" + Fmt<T>::get(); }
};

#define ZAVO_FIELD(T, m)                              \
  FieldLayout {                                       \
#m, Fmt < decltype(T::m)> ::get(), offsetof(T, m) \
  }

RecordLayout security() {
  using T = ZAVO_SecuritySnapShot;
  return {"security",
          ZAVO_MSG_SECURITY_SNAPSHOT,
          sizeof(T),
          {ZAVO_FIELD(T, Code),
           ZAVO_FIELD(T, ExchangeID),
           ZAVO_FIELD(T, Date),
           ZAVO_FIELD(T, TradingDay),
           ZAVO_FIELD(T, Time),
           ZAVO_FIELD(T, Status),
           ZAVO_FIELD(T, PreClosePx),
           ZAVO_FIELD(T, OpenPx),
           ZAVO_FIELD(T, HighPx),
           ZAVO_FIELD(T, LowPx),
           ZAVO_FIELD(T, MatchPx),
           ZAVO_FIELD(T, AskPrice),
           ZAVO_FIELD(T, AskVol),
           ZAVO_FIELD(T, BidPrice),
           ZAVO_FIELD(T, BidVol),
           ZAVO_FIELD(T, NumTrades),
           ZAVO_FIELD(T, TotalVolumeTrade),
           ZAVO_FIELD(T, TotalValueTrade),
           ZAVO_FIELD(T, TotalBidVol),
           ZAVO_FIELD(T, TotalAskVol),
           ZAVO_FIELD(T, WeightedAvgBidPrice),
           ZAVO_FIELD(T, WeightedAvgAskPrice),
           ZAVO_FIELD(T, IOPV),
           ZAVO_FIELD(T, YieldToMaturity),
           ZAVO_FIELD(T, HighLimited),
           ZAVO_FIELD(T, LowLimited),
           ZAVO_FIELD(T, SYL1),
           ZAVO_FIELD(T, SYL2),
           ZAVO_FIELD(T, SD1),
           ZAVO_FIELD(T, SD2),
           ZAVO_FIELD(T, AfterPrice),
           ZAVO_FIELD(T, AfterVolume),
           ZAVO_FIELD(T, AfterTurnover),
           ZAVO_FIELD(T, AfterMatchItems),
           ZAVO_FIELD(T, LocalDelay)}};
}

RecordLayout index() {
  using T = ZAVO_IndexSnapShot;
  return {"index",
          ZAVO_MSG_INDEX_SNAPSHOT,
          sizeof(T),
          {ZAVO_FIELD(T, Code), ZAVO_FIELD(T, ExchangeID), ZAVO_FIELD(T, Date),
           ZAVO_FIELD(T, TradingDay), ZAVO_FIELD(T, Time), ZAVO_FIELD(T, PreCloseIndex),
           ZAVO_FIELD(T, OpenIndex), ZAVO_FIELD(T, HighIndex), ZAVO_FIELD(T, LowIndex),
           ZAVO_FIELD(T, LastIndex), ZAVO_FIELD(T, TotalVolume), ZAVO_FIELD(T, Turnover)}};
}

RecordLayout future() {
  using T = ZAVO_FutureSnapShot;
  return {"future",
          ZAVO_MSG_FUTURE_SNAPSHOT,
          sizeof(T),
          {ZAVO_FIELD(T, Code),
           ZAVO_FIELD(T, ExchangeID),
           ZAVO_FIELD(T, Date),
           ZAVO_FIELD(T, TradingDay),
           ZAVO_FIELD(T, Time),
           ZAVO_FIELD(T, Status),
           ZAVO_FIELD(T, PreOpenInterest),
           ZAVO_FIELD(T, PreClosePx),
           ZAVO_FIELD(T, PreSettlePx),
           ZAVO_FIELD(T, OpenPx),
           ZAVO_FIELD(T, HighPx),
           ZAVO_FIELD(T, LowPx),
           ZAVO_FIELD(T, MatchPx),
           ZAVO_FIELD(T, TotalVolumeTrade),
           ZAVO_FIELD(T, TotalValueTrade),
           ZAVO_FIELD(T, OpenInterest),
           ZAVO_FIELD(T, ClosePx),
           ZAVO_FIELD(T, SettlePx),
           ZAVO_FIELD(T, HighLimited),
           ZAVO_FIELD(T, LowLimited),
           ZAVO_FIELD(T, PreDelta),
           ZAVO_FIELD(T, CurrDelta),
           ZAVO_FIELD(T, AskPrice),
           ZAVO_FIELD(T, AskVol),
           ZAVO_FIELD(T, BidPrice),
           ZAVO_FIELD(T, BidVol),
           ZAVO_FIELD(T, AuctionPrice),
           ZAVO_FIELD(T, AuctionQty)}};
}

RecordLayout trade() {
  using T = ZAVO_TradeDetail;
  return {"trade",
          ZAVO_MSG_TRADE_DETAIL,
          sizeof(T),
          {ZAVO_FIELD(T, Code), ZAVO_FIELD(T, ExchangeID), ZAVO_FIELD(T, Date), ZAVO_FIELD(T, Time),
           ZAVO_FIELD(T, TradeSequence), ZAVO_FIELD(T, TradePrice), ZAVO_FIELD(T, TradeQty),
           ZAVO_FIELD(T, TradeTurnover), ZAVO_FIELD(T, AskOrderSequence),
           ZAVO_FIELD(T, BidOrderSequence), ZAVO_FIELD(T, ExecType), ZAVO_FIELD(T, BSFlag),
           ZAVO_FIELD(T, TradeChannel), ZAVO_FIELD(T, BizIndex)}};
}

RecordLayout order() {
  using T = ZAVO_OrderDetail;
  return {"order",
          ZAVO_MSG_ORDER_DETAIL,
          sizeof(T),
          {ZAVO_FIELD(T, Code), ZAVO_FIELD(T, ExchangeID), ZAVO_FIELD(T, Date), ZAVO_FIELD(T, Time),
           ZAVO_FIELD(T, OrderSequence), ZAVO_FIELD(T, OrderPrice), ZAVO_FIELD(T, OrderQty),
           ZAVO_FIELD(T, OrderSide), ZAVO_FIELD(T, OrderType)}};
}

RecordLayout queue() {
  using T = ZAVO_OrderQueue;
  return {"queue",
          ZAVO_MSG_ORDER_QUEUE,
          sizeof(T),
          {ZAVO_FIELD(T, Code), ZAVO_FIELD(T, ExchangeID), ZAVO_FIELD(T, Date),
           ZAVO_FIELD(T, TradingDay), ZAVO_FIELD(T, Time), ZAVO_FIELD(T, OrderSide),
           ZAVO_FIELD(T, OrderPrice), ZAVO_FIELD(T, NumOrders), ZAVO_FIELD(T, OrderQueueSize),
           ZAVO_FIELD(T, OrderQueue)}};
}

RecordLayout sh_order() {
  using T = ZAVO_SHOrderDetail;
  return {"sh_order",
          ZAVO_MSG_SH_ORDER_DETAIL,
          sizeof(T),
          {ZAVO_FIELD(T, Code), ZAVO_FIELD(T, DataStatus), ZAVO_FIELD(T, ChannelNo),
           ZAVO_FIELD(T, OrderIndex), ZAVO_FIELD(T, Time), ZAVO_FIELD(T, OrderNo),
           ZAVO_FIELD(T, OrderPrice), ZAVO_FIELD(T, Balance), ZAVO_FIELD(T, BSFlag),
           ZAVO_FIELD(T, OrderType), ZAVO_FIELD(T, BizIndex)}};
}

RecordLayout code_info() {
  using T = ZAVO_CODEINFO;
  return {"code",
          0,
          sizeof(T),
          {ZAVO_FIELD(T, Code), ZAVO_FIELD(T, ExchangeID), ZAVO_FIELD(T, KvelCode),
           ZAVO_FIELD(T, Text), ZAVO_FIELD(T, Value)}};
}

RecordLayout option_info() {
  using T = ZAVO_OPTION_CODEINFO;
  return {"option_code",
          0,
          sizeof(T),
          {ZAVO_FIELD(T, Code), ZAVO_FIELD(T, ExchangeID), ZAVO_FIELD(T, KvelCode),
           ZAVO_FIELD(T, Text), ZAVO_FIELD(T, Value), ZAVO_FIELD(T, Text2), ZAVO_FIELD(T, Text3),
           ZAVO_FIELD(T, Flag1), ZAVO_FIELD(T, Value2), ZAVO_FIELD(T, Flag2), ZAVO_FIELD(T, Flag3),
           ZAVO_FIELD(T, Flag4), ZAVO_FIELD(T, Value3), ZAVO_FIELD(T, Value4),
           ZAVO_FIELD(T, Value5), ZAVO_FIELD(T, Value6), ZAVO_FIELD(T, Value7)}};
}

#undef ZAVO_FIELD

}  // namespace

const std::vector<RecordLayout>& RecordLayouts() {
  static const std::vector<RecordLayout> all = {security(), index(),     future(),
                                                trade(),    order(),     queue(),
                                                sh_order(), code_info(), option_info()};
  return all;
}

}  // namespace py
}  // namespace zavo
