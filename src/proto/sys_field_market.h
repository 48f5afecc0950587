#pragma once
// Market-data records (multicast feed and retransmission replies) and the
// base-information records of the code tables (control connection).
//
// Prices, volumes and amounts are plain integers; their scale belongs to the
// conversion into the public records. TimeStamp members hold the local date
// and time YYYYMMDDHHMMSSmmm. In memory the members keep their natural
// alignment; on the wire they are packed in declaration order.
#include <ostream>

#include "proto/field_codec.h"

namespace zavo {

// Snapshot of one security with ten price levels per side.
struct SecuritySnapShotField {
  static constexpr unsigned short kFieldId = 257;
  static constexpr unsigned int Size() { return 557; }

  String<16> Code;
  CExchangeIDType ExchangeID = 0;
  Int<uint64_t> TimeStamp;
  Int<int> Status;
  Int<int64_t> PreClosePx;
  Int<int64_t> OpenPx;
  Int<int64_t> HighPx;
  Int<int64_t> LowPx;
  Int<int64_t> MatchPx;
  Array<Int<uint64_t>, 10> AskPrice;
  Array<Int<uint64_t>, 10> AskVol;
  Array<Int<uint64_t>, 10> BidPrice;
  Array<Int<uint64_t>, 10> BidVol;
  Int<int64_t> NumTrades;
  Int<int64_t> TotalVolumeTrade;
  Int<int64_t> TotalValueTrade;
  Int<int64_t> TotalBidVol;
  Int<int64_t> TotalAskVol;
  Int<int64_t> WeightedAvgBidPrice;
  Int<int64_t> WeightedAvgAskPrice;
  Int<int64_t> IOPV;
  Int<int64_t> YieldToMaturity;
  Int<int64_t> HighLimited;
  Int<int64_t> LowLimited;
  Int<int64_t> SYL1;
  Int<int64_t> SYL2;
  Int<int64_t> SD1;
  Int<int64_t> SD2;
  Int<int64_t> AfterPrice;
  Int<int64_t> AfterVolume;
  Int<int64_t> AfterTurnover;
  Int<int64_t> AfterMatchItems;
  Int<int64_t> DelayTrackSec;   // sender's wall clock, seconds since the epoch
  Int<int64_t> DelayTrackNsec;  // and nanoseconds, for delay measurement

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

struct IndexSnapShotField {
  static constexpr unsigned short kFieldId = 258;
  static constexpr unsigned int Size() { return 81; }

  String<16> Code;
  CExchangeIDType ExchangeID = 0;
  Int<uint64_t> TimeStamp;
  Int<int64_t> PreCloseIndex;
  Int<int64_t> OpenIndex;
  Int<int64_t> HighIndex;
  Int<int64_t> LowIndex;
  Int<int64_t> LastIndex;
  Int<int64_t> TotalVolume;
  Int<int64_t> Turnover;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// The order queue at one price of one side.
struct OrderQueueField {
  static constexpr unsigned short kFieldId = 259;
  static constexpr unsigned int Size() { return 850; }

  String<16> Code;
  CExchangeIDType ExchangeID = 0;
  Int<uint64_t> TimeStamp;
  Int<signed char> OrderSide;
  Int<int64_t> OrderPrice;
  Int<int64_t> NumOrders;
  Int<int64_t> OrderQueueSize;
  Array<Int<unsigned int>, 200> OrderQueue;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

struct OrderDetailField {
  static constexpr unsigned short kFieldId = 260;
  static constexpr unsigned int Size() { return 51; }

  String<16> Code;
  CExchangeIDType ExchangeID = 0;
  Int<uint64_t> TimeStamp;
  Int<int64_t> OrderSequence;
  Int<int64_t> OrderPrice;
  Int<int64_t> OrderQty;
  Int<signed char> OrderSide;
  Int<signed char> OrderType;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

struct TradeDetailField {
  static constexpr unsigned short kFieldId = 261;
  static constexpr unsigned int Size() { return 87; }

  String<16> Code;
  CExchangeIDType ExchangeID = 0;
  LocalTimeStamp TimeStamp;
  Int<int64_t> TradeSequence;
  Int<int64_t> TradePrice;
  Int<int64_t> TradeQty;
  Int<int64_t> TradeTurnover;
  Int<int64_t> AskOrderSequence;
  Int<int64_t> BidOrderSequence;
  Int<signed char> ExecType;
  Int<signed char> BSFlag;
  Int<int> TradeChannel;
  Int<int64_t> BizIndex;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// Snapshot of one future with five price levels per side.
struct FutureSnapShotField {
  static constexpr unsigned short kFieldId = 262;
  static constexpr unsigned int Size() { return 329; }

  String<16> Code;
  CExchangeIDType ExchangeID = 0;
  Int<uint64_t> TimeStamp;
  Int<unsigned int> TradingDay;  // YYYYMMDD
  Int<int> Status;
  Int<int64_t> PreOpenInterest;
  Int<int64_t> PreClosePx;
  Int<int64_t> PreSettlePx;
  Int<int64_t> OpenPx;
  Int<int64_t> HighPx;
  Int<int64_t> LowPx;
  Int<int64_t> MatchPx;
  Int<int64_t> TotalVolumeTrade;
  Int<int64_t> TotalValueTrade;
  Int<int64_t> OpenInterest;
  Int<int64_t> ClosePx;
  Int<int64_t> SettlePx;
  Int<int64_t> HighLimited;
  Int<int64_t> LowLimited;
  Int<int> PreDelta;
  Int<int> CurrDelta;
  Array<Int<uint64_t>, 5> AskPrice;
  Array<Int<uint64_t>, 5> AskVol;
  Array<Int<uint64_t>, 5> BidPrice;
  Array<Int<uint64_t>, 5> BidVol;
  Int<int64_t> AuctionPrice;
  Int<int64_t> AuctionQty;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// One order of the Shanghai market. It carries no market byte: consumers
// treat it as market 1.
struct SH_OrderDetailField {
  static constexpr unsigned short kFieldId = 263;
  static constexpr unsigned int Size() { return 67; }

  String<16> Code;
  Int<uint64_t> TimeStamp;
  Int<int> OrderIndex;
  Int<int> ChannelNo;
  Int<int64_t> OrderPrice;
  Int<int64_t> Balance;
  Int<int64_t> OrderNo;
  Int<signed char> OrderType;
  Int<signed char> BSFlag;
  Int<int64_t> BizIndex;
  Int<signed char> DataStatus;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// One entry of a market's code table.
struct SecurityBaseInfoField {
  static constexpr unsigned short kFieldId = 17;
  static constexpr unsigned int Size() { return 81; }

  String<16> Code;
  CExchangeIDType ExchangeID = 0;
  Int<int> Value;
  Int<unsigned int> UpdateNo;
  String<32> Text;
  Int<int64_t> Extra1;
  Int<int64_t> Extra2;
  Int<int64_t> Extra3;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// One entry of a market's option code table: the security entry's layout
// followed by the option members.
struct OptionBaseInfoField {
  static constexpr unsigned short kFieldId = 18;
  static constexpr unsigned int Size() { return 185; }

  String<16> Code;
  CExchangeIDType ExchangeID = 0;
  Int<int> Value;
  Int<unsigned int> UpdateNo;
  String<32> Text;
  Int<int64_t> Extra1;
  Int<int64_t> Extra2;
  Int<int64_t> Extra3;
  String<32> Text2;
  String<32> Text3;
  Int<signed char> Flag1;
  Int<int> Value2;
  Int<signed char> Flag2;
  Int<signed char> Flag3;
  Int<signed char> Flag4;
  Int<int> Value3;
  Int<int64_t> Value4;
  Int<int> Value5;
  Int<int> Value6;
  Int<int> Value7;
  Int<int64_t> Extra4;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// One-line text dumps for diagnostics: "Name { Member:value ... }".
// One-byte members are written as the byte itself, the order queue with its
// first 50 entries.
std::ostream& operator<<(std::ostream& os, const SecuritySnapShotField& r);
std::ostream& operator<<(std::ostream& os, const IndexSnapShotField& r);
std::ostream& operator<<(std::ostream& os, const OrderQueueField& r);
std::ostream& operator<<(std::ostream& os, const OrderDetailField& r);
std::ostream& operator<<(std::ostream& os, const TradeDetailField& r);
std::ostream& operator<<(std::ostream& os, const FutureSnapShotField& r);
std::ostream& operator<<(std::ostream& os, const SH_OrderDetailField& r);

}  // namespace zavo
