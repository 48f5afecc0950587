#include "feed_builder.h"

#include <cstdio>
#include <cstring>

namespace feedgen {

namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kRecordOffset = 16;

// Writes the value's bytes least significant first, whatever the host order.
template <typename U>
void to_le(U v, uint8_t* out) {
  for (size_t i = 0; i < sizeof(U); ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string code_of(int base, int round) {
  char text[16];
  std::snprintf(text, sizeof(text), "%06d", base + round % 1000);
  return text;
}

}  // namespace

size_t RecordSizeOf(uint16_t msgId) {
  switch (msgId) {
    case kIndexSnap:
      return index_rec::kSize;
    case kStockSnap:
    case kBondSnap:
    case kFundSnap:
      return snap_rec::kSize;
    case kOptionSnap:
      return option_rec::kSize;
    case kTickTrade:
      return trade_rec::kSize;
    case kTickOrder:
      return order_rec::kSize;
    default:
      return 0;
  }
}

FeedMessage::FeedMessage(uint16_t msgId, size_t recordSize, uint32_t seqNo)
    : bytes_(kRecordOffset + recordSize, 0) {
  bytes_[0] = 1;  // version
  uint8_t b[4];
  to_le<uint16_t>(msgId, b);
  put(4, b, 2);
  BodyLen(static_cast<uint16_t>(bytes_.size() - kHeaderSize));
  to_le<uint32_t>(seqNo, b);
  put(8, b, 4);
  to_le<uint16_t>(static_cast<uint16_t>(recordSize), b);
  put(14, b, 2);  // field length
}

void FeedMessage::put(size_t pos, const void* le, size_t n) {
  if (pos + n <= bytes_.size()) std::memcpy(bytes_.data() + pos, le, n);
}

FeedMessage& FeedMessage::I32(size_t off, int32_t v) {
  uint8_t b[4];
  to_le(static_cast<uint32_t>(v), b);
  put(kRecordOffset + off, b, 4);
  return *this;
}

FeedMessage& FeedMessage::I64(size_t off, int64_t v) {
  uint8_t b[8];
  to_le(static_cast<uint64_t>(v), b);
  put(kRecordOffset + off, b, 8);
  return *this;
}

FeedMessage& FeedMessage::F64(size_t off, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof(bits));
  uint8_t b[8];
  to_le(bits, b);
  put(kRecordOffset + off, b, 8);
  return *this;
}

FeedMessage& FeedMessage::Text(size_t off, size_t width, const std::string& s) {
  put(kRecordOffset + off, s.data(), s.size() < width ? s.size() : width);
  return *this;
}

FeedMessage& FeedMessage::BodyLen(uint16_t bodyLen) {
  uint8_t b[2];
  to_le(bodyLen, b);
  put(6, b, 2);
  return *this;
}

std::vector<FeedMessage> MakeRound(int round) {
  const int32_t time = 93000000 + (round % 600) * 1000 * 100;  // hhmmssmmm from 09:30
  const int32_t msec = round % 1000;
  const std::string day = "20240315";
  std::vector<FeedMessage> out;
  uint32_t seq = static_cast<uint32_t>(round) * 32u;

  {
    using namespace index_rec;
    FeedMessage m(kIndexSnap, kSize, seq++);
    m.I32(kUpdateTime, time).I32(kUpdateMsec, msec).Text(kTradingDay, 8, day);
    m.Text(kSecurityID, 8, code_of(1, round)).I64(kPreClose, 305012345).I64(kOpen, 305100000);
    m.I64(kTurnOver, 987654321000 + round).I64(kHigh, 306000000).I64(kLow, 304000000);
    m.I64(kLast, 305500000 + round).I64(kTradeVolume, 12345678900 + round);
    out.push_back(m);
  }
  const uint16_t snapKinds[] = {kStockSnap, kBondSnap, kFundSnap};
  for (int i = 0; i < 3; ++i) {
    using namespace snap_rec;
    FeedMessage m(snapKinds[i], kSize, seq++);
    m.Text(kTradingDay, 8, day).I32(kUpdateTime, time).I32(kUpdateMsec, msec);
    m.Text(kSecurityID, 8, code_of(600000 + i * 10000, round)).I32(kPreClose, 10000);
    m.I32(kOpen, 10010).I32(kHigh, 10200).I32(kLow, 9900).I32(kLast, 10050 + round % 100);
    m.Text(kTradingPhaseCode, 8, "T111").I64(kTradeNumber, 4321 + round);
    m.I64(kTradeVolume, 7654321 + round).I64(kTurnOver, 76543210987 + round);
    for (int level = 0; level < 20; ++level) {
      const size_t d = kDepth + static_cast<size_t>(level) * kDepthSize;
      const int32_t price = level < 10 ? 10040 - level * 10 : 10060 + (level - 10) * 10;
      m.I32(d + kDepthLevel, level % 10 + 1).I32(d + kDepthPrice, price);
      m.I64(d + kDepthVolume, 100000 + level * 1500 + round);
    }
    out.push_back(m);
  }
  {
    using namespace option_rec;
    FeedMessage m(kOptionSnap, kSize, seq++);
    m.Text(kTradingDay, 8, day).Text(kSecurityID, 16, "1000" + code_of(7000, round));
    m.I64(kTradeNumber, 321 + round).I64(kTradeVolume, 4567).F64(kTurnOver, 123456.78 + round);
    m.F64(kPreClose, 0.1234).F64(kPreSettlement, 0.1230);
    for (int level = 0; level < 10; ++level) {
      const size_t d = kDepth + static_cast<size_t>(level) * kDepthSize;
      m.F64(d + kDepthPrice, 0.1250 - level * 0.0005).I64(d + kDepthVolume, 25000 + level * 1000);
    }
    m.F64(kLast, 0.1255).I32(kUpdateTime, time).I32(kUpdateMsec, msec).F64(kOpen, 0.1200);
    out.push_back(m);
  }
  {
    using namespace trade_rec;
    FeedMessage m(kTickTrade, kSize, seq++);
    m.Text(kTradingDay, 8, day).I32(kTradeIndex, 1000 + round).I32(kTradeChannel, 6);
    m.Text(kSecurityID, 8, code_of(600000, round)).I32(kUpdateTime, time).I32(kUpdateMsec, msec);
    m.I64(kPrice, 123450).I64(kTradeVolume, 5000 + round * 100).I64(kTurnOver, 6172500);
    m.I64(kTradeBuyNo, 880001 + round).I64(kTradeSellNo, 990001 + round);
    m.Text(kTradeBSFlag, 8, round % 2 ? "S" : "B").I64(kBizIndex, 50000 + round);
    out.push_back(m);
  }
  {
    using namespace order_rec;
    FeedMessage m(kTickOrder, kSize, seq++);
    m.Text(kTradingDay, 8, day).I32(kOrderIndex, 2000 + round).I32(kOrderChannel, 3);
    m.Text(kSecurityID, 8, code_of(600000, round)).I32(kUpdateTime, time).I32(kUpdateMsec, msec);
    m.Text(kOrderType, 8, "A").I64(kOrderNo, 7770001230 + round).I64(kOrderPrice, 123460);
    m.I64(kBalance, 3000 + round).Text(kOrderBSFlag, 8, round % 2 ? "B" : "S");
    m.I64(kBizIndex, 50001 + round);
    out.push_back(m);
  }
  // Kinds that are not recorded: Shenzhen and level-1 kinds, and one unknown.
  for (uint16_t kind : kSkippedKinds) {
    FeedMessage m(kind, 64, seq++);
    m.Text(0, 8, day).I64(8, round);
    out.push_back(m);
  }
  out.push_back(FeedMessage(kUnknownKind, 20, seq++).I32(0, round));
  return out;
}

std::vector<std::vector<uint8_t>> PackDatagrams(const std::vector<FeedMessage>& msgs,
                                                size_t perDatagram, size_t maxBytes) {
  std::vector<std::vector<uint8_t>> out;
  size_t inCurrent = 0;
  for (const FeedMessage& m : msgs) {
    const std::vector<uint8_t>& b = m.Bytes();
    if (out.empty() || inCurrent >= perDatagram || out.back().size() + b.size() > maxBytes) {
      out.emplace_back();
      inCurrent = 0;
    }
    out.back().insert(out.back().end(), b.begin(), b.end());
    ++inCurrent;
  }
  return out;
}

}  // namespace feedgen
