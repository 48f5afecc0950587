// Message layouts of the gateway's level-2 feed. Every integer is
// little-endian and every option price an IEEE-754 double; the structures
// mirror the wire with natural alignment, so on a little-endian host a record
// is read by copying its bytes into one of these.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the feed is little-endian and its records are read as host structures");

namespace HarboStoL2FpgaRcv {

enum FPGA_STOCK_MD_MSG_ID : uint16_t {
  SH_INDEX_SNAP = 3329,
  SH_STOCK_SNAP = 3330,
  SH_BOND_SNAP = 3331,
  SH_FUND_SNAP = 3332,
  SH_OPTS_SNAP = 3333,
  SH_TICK_TRADE = 3334,
  SZ_COLL_REPO_SNAP = 3337,
  SZ_BOND_DISTIR_SNAP = 3338,
  SH_TICK_ORDER = 3340,
  SZ_INDEX_SNAP = 3345,
  SZ_STOCK_SNAP = 3346,
  SZ_OPTS_SNAP = 3347,
  SZ_TICK_TRADE = 3348,
  SZ_TICK_ORDER = 3349,
  SH_L1_STOCK_SNAP = 3360,
  SH_L1_INDEX_SNAP = 3361,
  SH_L1_OPTS_SNAP = 3362,
};

struct CGMDHeader {
  uint8_t mVersion;
  uint8_t mExLen;
  uint16_t mTopicID;
  uint16_t mMsgID;
  uint16_t mBodyLen;  // bytes after this header: field header plus record
  uint32_t mSeqNo;
};

struct CGMDFieldHeader {
  uint16_t mFieldID;
  uint16_t mFieldLen;
};

// Offset of the record from the start of its message.
constexpr size_t kRecordOffset = sizeof(CGMDHeader) + sizeof(CGMDFieldHeader);

struct CSSEIndexMDField {
  int32_t mUpdateTime;
  int32_t mUpdateMsec;
  char mTradingDay[8];
  char mSecurityID[8];
  int64_t mPreClose;
  int64_t mOpen;
  int64_t mTurnOver;
  int64_t mHigh;
  int64_t mLow;
  int64_t mLast;
  int64_t mTradeVolume;
  int64_t mClose;
};

struct CSSEDepthMDField {
  int32_t mLevel;
  int32_t mPrice;
  int64_t mVolume;
};

struct CSSESnapMDField {
  char mTradingDay[8];
  int32_t mUpdateTime;
  int32_t mUpdateMsec;
  char mSecurityID[8];
  int32_t mPreClose;
  int32_t mOpen;
  int32_t mHigh;
  int32_t mLow;
  int32_t mLast;
  int32_t mClose;
  char mTradingPhaseCode[8];
  int64_t mTradeNumber;
  int64_t mTradeVolume;
  int64_t mTurnOver;
  int64_t mTotalBidQty;
  int64_t mTotalOfferQty;
  int32_t mWeightedAvgBidPx;
  int32_t mWeightedAvgOfferPx;
  CSSEDepthMDField mDepthMDField[20];
};

struct CSSEOptionDepthMDField {
  double mPrice;
  int64_t mVolume;
};

struct CSSEOptionMDField {
  char mTradingDay[8];
  char mSecurityID[16];
  int64_t mTradeNumber;
  int64_t mTradeVolume;
  double mTurnOver;
  double mPreClose;
  double mPreSettlement;
  CSSEOptionDepthMDField mDepthMDField[10];
  double mLast;
  int32_t mUpdateTime;
  int32_t mUpdateMsec;
  double mOpen;
  double mClose;
  double mSettlement;
  double mHigh;
  double mLow;
};

struct CSSETradeMDField {
  char mTradingDay[8];
  int32_t mTradeIndex;
  int32_t mTradeChannel;
  char mSecurityID[8];
  int32_t mUpdateTime;
  int32_t mUpdateMsec;
  int64_t mPrice;
  int64_t mTradeVolume;
  int64_t mTurnOver;
  int64_t mTradeBuyNo;
  int64_t mTradeSellNo;
  char mTradeBSFlag[8];
  int64_t mBizIndex;
};

struct CSSEOrderMDField {
  char mTradingDay[8];
  int32_t mOrderIndex;
  int32_t mOrderChannel;
  char mSecurityID[8];
  int32_t mUpdateTime;
  int32_t mUpdateMsec;
  char mOrderType[8];
  int64_t mOrderNo;
  int64_t mOrderPrice;
  int64_t mBalance;
  char mOrderBSFlag[8];
  int64_t mBizIndex;
};

template <typename Field>
struct CGMDMsg {
  CGMDHeader mGMDHdr;
  CGMDFieldHeader mGMDFieldHdr;
  Field mGMDField;
};
using CGMDMsgSSEIndexMD = CGMDMsg<CSSEIndexMDField>;
using CGMDMsgSSESnapMD = CGMDMsg<CSSESnapMDField>;
using CGMDMsgSSEOptionMD = CGMDMsg<CSSEOptionMDField>;
using CGMDMsgSSETradeMD = CGMDMsg<CSSETradeMDField>;
using CGMDMsgSSEOrderMD = CGMDMsg<CSSEOrderMDField>;

// The wire sizes; a compiler that lays these out differently cannot read the feed.
static_assert(sizeof(CGMDHeader) == 12 && sizeof(CGMDFieldHeader) == 4, "header layout");
static_assert(sizeof(CSSEIndexMDField) == 88 && offsetof(CSSEIndexMDField, mClose) == 80, "index");
static_assert(sizeof(CSSESnapMDField) == 424 && offsetof(CSSESnapMDField, mDepthMDField) == 104,
              "snapshot");
static_assert(sizeof(CSSEOptionMDField) == 280 && offsetof(CSSEOptionMDField, mLast) == 224 &&
                  offsetof(CSSEOptionMDField, mLow) == 272,
              "option");
static_assert(sizeof(CSSETradeMDField) == 88 && offsetof(CSSETradeMDField, mBizIndex) == 80,
              "trade");
static_assert(sizeof(CSSEOrderMDField) == 80 && offsetof(CSSEOrderMDField, mBizIndex) == 72,
              "order");
static_assert(sizeof(CGMDMsgSSEIndexMD) == 104 && sizeof(CGMDMsgSSESnapMD) == 440 &&
                  sizeof(CGMDMsgSSEOptionMD) == 296 && sizeof(CGMDMsgSSETradeMD) == 104 &&
                  sizeof(CGMDMsgSSEOrderMD) == 96,
              "message sizes");

}  // namespace HarboStoL2FpgaRcv
