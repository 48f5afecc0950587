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
  Int<unsigned long> TimeStamp;
  Int<int> Status;
  Int<long> PreClosePx;
  Int<long> OpenPx;
  Int<long> HighPx;
  Int<long> LowPx;
  Int<long> MatchPx;
  Array<Int<unsigned long>, 10> AskPrice;
  Array<Int<unsigned long>, 10> AskVol;
  Array<Int<unsigned long>, 10> BidPrice;
  Array<Int<unsigned long>, 10> BidVol;
  Int<long> NumTrades;
  Int<long> TotalVolumeTrade;
  Int<long> TotalValueTrade;
  Int<long> TotalBidVol;
  Int<long> TotalAskVol;
  Int<long> WeightedAvgBidPrice;
  Int<long> WeightedAvgAskPrice;
  Int<long> IOPV;
  Int<long> YieldToMaturity;
  Int<long> HighLimited;
  Int<long> LowLimited;
  Int<long> SYL1;
  Int<long> SYL2;
  Int<long> SD1;
  Int<long> SD2;
  Int<long> AfterPrice;
  Int<long> AfterVolume;
  Int<long> AfterTurnover;
  Int<long> AfterMatchItems;
  Int<long> DelayTrackSec;   // sender's wall clock, seconds since the epoch
  Int<long> DelayTrackNsec;  // and nanoseconds, for delay measurement

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

struct IndexSnapShotField {
  static constexpr unsigned short kFieldId = 258;
  static constexpr unsigned int Size() { return 81; }

  String<16> Code;
  CExchangeIDType ExchangeID = 0;
  Int<unsigned long> TimeStamp;
  Int<long> PreCloseIndex;
  Int<long> OpenIndex;
  Int<long> HighIndex;
  Int<long> LowIndex;
  Int<long> LastIndex;
  Int<long> TotalVolume;
  Int<long> Turnover;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// The order queue at one price of one side.
struct OrderQueueField {
  static constexpr unsigned short kFieldId = 259;
  static constexpr unsigned int Size() { return 850; }

  String<16> Code;
  CExchangeIDType ExchangeID = 0;
  Int<unsigned long> TimeStamp;
  Int<signed char> OrderSide;
  Int<long> OrderPrice;
  Int<long> NumOrders;
  Int<long> OrderQueueSize;
  Array<Int<unsigned int>, 200> OrderQueue;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

struct OrderDetailField {
  static constexpr unsigned short kFieldId = 260;
  static constexpr unsigned int Size() { return 51; }

  String<16> Code;
  CExchangeIDType ExchangeID = 0;
  Int<unsigned long> TimeStamp;
  Int<long> OrderSequence;
  Int<long> OrderPrice;
  Int<long> OrderQty;
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
  Int<long> TradeSequence;
  Int<long> TradePrice;
  Int<long> TradeQty;
  Int<long> TradeTurnover;
  Int<long> AskOrderSequence;
  Int<long> BidOrderSequence;
  Int<signed char> ExecType;
  Int<signed char> BSFlag;
  Int<int> TradeChannel;
  Int<long> BizIndex;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// Snapshot of one future with five price levels per side.
struct FutureSnapShotField {
  static constexpr unsigned short kFieldId = 262;
  static constexpr unsigned int Size() { return 329; }

  String<16> Code;
  CExchangeIDType ExchangeID = 0;
  Int<unsigned long> TimeStamp;
  Int<unsigned int> TradingDay;  // YYYYMMDD
  Int<int> Status;
  Int<long> PreOpenInterest;
  Int<long> PreClosePx;
  Int<long> PreSettlePx;
  Int<long> OpenPx;
  Int<long> HighPx;
  Int<long> LowPx;
  Int<long> MatchPx;
  Int<long> TotalVolumeTrade;
  Int<long> TotalValueTrade;
  Int<long> OpenInterest;
  Int<long> ClosePx;
  Int<long> SettlePx;
  Int<long> HighLimited;
  Int<long> LowLimited;
  Int<int> PreDelta;
  Int<int> CurrDelta;
  Array<Int<unsigned long>, 5> AskPrice;
  Array<Int<unsigned long>, 5> AskVol;
  Array<Int<unsigned long>, 5> BidPrice;
  Array<Int<unsigned long>, 5> BidVol;
  Int<long> AuctionPrice;
  Int<long> AuctionQty;

  bool Decode(const char* data, unsigned int len);
  bool Encode(char* out, unsigned int len) const;
};

// One order of the Shanghai market. It carries no market byte: consumers
// treat it as market 1.
struct SH_OrderDetailField {
  static constexpr unsigned short kFieldId = 263;
  static constexpr unsigned int Size() { return 67; }

  String<16> Code;
  Int<unsigned long> TimeStamp;
  Int<int> OrderIndex;
  Int<int> ChannelNo;
  Int<long> OrderPrice;
  Int<long> Balance;
  Int<long> OrderNo;
  Int<signed char> OrderType;
  Int<signed char> BSFlag;
  Int<long> BizIndex;
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
  Int<long> Extra1;
  Int<long> Extra2;
  Int<long> Extra3;

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
  Int<long> Extra1;
  Int<long> Extra2;
  Int<long> Extra3;
  String<32> Text2;
  String<32> Text3;
  Int<signed char> Flag1;
  Int<int> Value2;
  Int<signed char> Flag2;
  Int<signed char> Flag3;
  Int<signed char> Flag4;
  Int<int> Value3;
  Int<long> Value4;
  Int<int> Value5;
  Int<int> Value6;
  Int<int> Value7;
  Int<long> Extra4;

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
