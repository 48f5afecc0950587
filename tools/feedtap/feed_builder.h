// Builds the gateway's little-endian messages, for the feed generator and
// for tests. Fields are placed at their documented byte offsets, not through
// the decoder's structures, so the two check each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace feedgen {

// Record sizes and the byte offsets of the fields inside each record.
namespace index_rec {
constexpr size_t kSize = 88;
constexpr size_t kUpdateTime = 0, kUpdateMsec = 4, kTradingDay = 8, kSecurityID = 16,
                 kPreClose = 24, kOpen = 32, kTurnOver = 40, kHigh = 48, kLow = 56, kLast = 64,
                 kTradeVolume = 72, kClose = 80;
}  // namespace index_rec
namespace snap_rec {
constexpr size_t kSize = 424;
constexpr size_t kTradingDay = 0, kUpdateTime = 8, kUpdateMsec = 12, kSecurityID = 16,
                 kPreClose = 24, kOpen = 28, kHigh = 32, kLow = 36, kLast = 40, kClose = 44,
                 kTradingPhaseCode = 48, kTradeNumber = 56, kTradeVolume = 64, kTurnOver = 72,
                 kTotalBidQty = 80, kTotalOfferQty = 88, kWeightedAvgBidPx = 96,
                 kWeightedAvgOfferPx = 100, kDepth = 104, kDepthSize = 16, kDepthLevel = 0,
                 kDepthPrice = 4, kDepthVolume = 8;
}  // namespace snap_rec
namespace option_rec {
constexpr size_t kSize = 280;
constexpr size_t kTradingDay = 0, kSecurityID = 8, kTradeNumber = 24, kTradeVolume = 32,
                 kTurnOver = 40, kPreClose = 48, kPreSettlement = 56, kDepth = 64, kDepthSize = 16,
                 kDepthPrice = 0, kDepthVolume = 8, kLast = 224, kUpdateTime = 232,
                 kUpdateMsec = 236, kOpen = 240, kClose = 248, kSettlement = 256, kHigh = 264,
                 kLow = 272;
}  // namespace option_rec
namespace trade_rec {
constexpr size_t kSize = 88;
constexpr size_t kTradingDay = 0, kTradeIndex = 8, kTradeChannel = 12, kSecurityID = 16,
                 kUpdateTime = 24, kUpdateMsec = 28, kPrice = 32, kTradeVolume = 40, kTurnOver = 48,
                 kTradeBuyNo = 56, kTradeSellNo = 64, kTradeBSFlag = 72, kBizIndex = 80;
}  // namespace trade_rec
namespace order_rec {
constexpr size_t kSize = 80;
constexpr size_t kTradingDay = 0, kOrderIndex = 8, kOrderChannel = 12, kSecurityID = 16,
                 kUpdateTime = 24, kUpdateMsec = 28, kOrderType = 32, kOrderNo = 40,
                 kOrderPrice = 48, kBalance = 56, kOrderBSFlag = 64, kBizIndex = 72;
}  // namespace order_rec

// Message kinds the generator produces besides the recorded ones.
constexpr uint16_t kIndexSnap = 3329, kStockSnap = 3330, kBondSnap = 3331, kFundSnap = 3332,
                   kOptionSnap = 3333, kTickTrade = 3334, kTickOrder = 3340;
constexpr uint16_t kSkippedKinds[] = {3337, 3338, 3345, 3346, 3347, 3348, 3349, 3360, 3361, 3362};
constexpr uint16_t kUnknownKind = 4000;

// Size of the record a kind carries; 0 for kinds that are not recorded.
size_t RecordSizeOf(uint16_t msgId);

// One message: 12-byte header, 4-byte field header, record. Setters take
// offsets inside the record.
class FeedMessage {
 public:
  FeedMessage(uint16_t msgId, size_t recordSize, uint32_t seqNo = 0);

  FeedMessage& I32(size_t off, int32_t v);
  FeedMessage& I64(size_t off, int64_t v);
  FeedMessage& F64(size_t off, double v);
  // Copies at most `width` characters; the rest of the field stays NUL.
  FeedMessage& Text(size_t off, size_t width, const std::string& s);
  // Overrides the header's body length, to build malformed messages.
  FeedMessage& BodyLen(uint16_t bodyLen);

  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  void put(size_t pos, const void* le, size_t n);
  std::vector<uint8_t> bytes_;
};

// One round of the generator's feed: a message of every kind, recorded,
// skipped and unknown, with values that vary with `round`.
std::vector<FeedMessage> MakeRound(int round);

// Concatenates messages into datagram payloads of at most `perDatagram`
// messages and `maxBytes` bytes each.
std::vector<std::vector<uint8_t>> PackDatagrams(const std::vector<FeedMessage>& msgs,
                                                size_t perDatagram, size_t maxBytes);

}  // namespace feedgen
