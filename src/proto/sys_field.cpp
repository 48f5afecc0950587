// Codecs of the wire records. Each record lists its members once, in wire
// order; Decode and Encode are one call of the field helpers over that list,
// so the two directions cannot drift apart.
#include "proto/sys_field.h"
#include "proto/sys_field_members.h"

#include <cstring>

namespace zavo {

#define ZAVO_WIRE_ARG(m) , m

#define ZAVO_WIRE_WIDTH(m) +codec_detail::codec<decltype(R::m)>::kWidth

// Defines Decode and Encode of `Record` over its member list and returns the
// sum of the member widths, so that each list can be checked against Size().
#define ZAVO_DEFINE_RECORD_CODEC(Record, MEMBERS)                       \
  bool Record::Decode(const char* data, unsigned int len) {             \
    return Field::load_from_memory(&data, &len MEMBERS(ZAVO_WIRE_ARG)); \
  }                                                                     \
  bool Record::Encode(char* out, unsigned int len) const {              \
    return Field::write_into_memory(&out, &len MEMBERS(ZAVO_WIRE_ARG)); \
  }                                                                     \
  namespace {                                                           \
  constexpr unsigned int wire_width_of_##Record() {                     \
    using R = Record;                                                   \
    return 0u MEMBERS(ZAVO_WIRE_WIDTH);                                 \
  }                                                                     \
  }

// ---- session records ----

#define ZAVO_REQ_USER_LOGIN(X) X(RequestID) X(UserID) X(Password) X(ClientVersion)
#define ZAVO_RSP_USER_LOGIN(X) X(ReplyValue) X(ReplyText) X(ErrorID) X(ErrorMsg)
#define ZAVO_HEART_BEAT(X) X(ServerTime)
#define ZAVO_RETRANSMIT(X) X(BeginSeq) X(EndSeq) X(Scope)
#define ZAVO_BASE_INFO_FINISH(X) X(Value)
#define ZAVO_RSP_INFO(X) X(ErrorID) X(ErrorMsg)
#define ZAVO_SUBSCRIPTION(X) X(Param1) X(Param2) X(Param3) X(Text) X(Data)
#define ZAVO_LAST_INDEX(X) X(Param1) X(Param2)

#define ZAVO_SECURITY_BASE_INFO(X) \
  X(Code) X(ExchangeID) X(Value) X(UpdateNo) X(Text) X(Extra1) X(Extra2) X(Extra3)

#define ZAVO_OPTION_BASE_INFO(X) \
  ZAVO_SECURITY_BASE_INFO(X)     \
  X(Text2)                       \
  X(Text3)                       \
  X(Flag1)                       \
  X(Value2) X(Flag2) X(Flag3) X(Flag4) X(Value3) X(Value4) X(Value5) X(Value6) X(Value7) X(Extra4)

ZAVO_DEFINE_RECORD_CODEC(ReqUserLoginField, ZAVO_REQ_USER_LOGIN)
ZAVO_DEFINE_RECORD_CODEC(RspUserLoginField, ZAVO_RSP_USER_LOGIN)
ZAVO_DEFINE_RECORD_CODEC(HeartBeatField, ZAVO_HEART_BEAT)
ZAVO_DEFINE_RECORD_CODEC(ReqRetransmitField, ZAVO_RETRANSMIT)
ZAVO_DEFINE_RECORD_CODEC(RspRetransmitField, ZAVO_RETRANSMIT)
ZAVO_DEFINE_RECORD_CODEC(BaseInfoSendFinish, ZAVO_BASE_INFO_FINISH)
ZAVO_DEFINE_RECORD_CODEC(RspInfoField, ZAVO_RSP_INFO)
ZAVO_DEFINE_RECORD_CODEC(KvelSubscrptionField, ZAVO_SUBSCRIPTION)
ZAVO_DEFINE_RECORD_CODEC(ReqLastMarketIndexDataField, ZAVO_LAST_INDEX)
ZAVO_DEFINE_RECORD_CODEC(SecuritySnapShotField, ZAVO_SECURITY_SNAPSHOT)
ZAVO_DEFINE_RECORD_CODEC(IndexSnapShotField, ZAVO_INDEX_SNAPSHOT)
ZAVO_DEFINE_RECORD_CODEC(OrderQueueField, ZAVO_ORDER_QUEUE)
ZAVO_DEFINE_RECORD_CODEC(OrderDetailField, ZAVO_ORDER_DETAIL)
ZAVO_DEFINE_RECORD_CODEC(TradeDetailField, ZAVO_TRADE_DETAIL)
ZAVO_DEFINE_RECORD_CODEC(FutureSnapShotField, ZAVO_FUTURE_SNAPSHOT)
ZAVO_DEFINE_RECORD_CODEC(SH_OrderDetailField, ZAVO_SH_ORDER_DETAIL)
ZAVO_DEFINE_RECORD_CODEC(SecurityBaseInfoField, ZAVO_SECURITY_BASE_INFO)
ZAVO_DEFINE_RECORD_CODEC(OptionBaseInfoField, ZAVO_OPTION_BASE_INFO)

static_assert(wire_width_of_ReqUserLoginField() == ReqUserLoginField::Size());
// The login reply declares 4 bytes more than its members take.
static_assert(wire_width_of_RspUserLoginField() + 4 == RspUserLoginField::Size());
static_assert(wire_width_of_HeartBeatField() == HeartBeatField::Size());
static_assert(wire_width_of_ReqRetransmitField() == ReqRetransmitField::Size());
static_assert(wire_width_of_RspRetransmitField() == RspRetransmitField::Size());
static_assert(wire_width_of_BaseInfoSendFinish() == BaseInfoSendFinish::Size());
static_assert(wire_width_of_RspInfoField() == RspInfoField::Size());
static_assert(wire_width_of_KvelSubscrptionField() == KvelSubscrptionField::Size());
static_assert(wire_width_of_ReqLastMarketIndexDataField() == ReqLastMarketIndexDataField::Size());
static_assert(wire_width_of_SecuritySnapShotField() == SecuritySnapShotField::Size());
static_assert(wire_width_of_IndexSnapShotField() == IndexSnapShotField::Size());
static_assert(wire_width_of_OrderQueueField() == OrderQueueField::Size());
static_assert(wire_width_of_OrderDetailField() == OrderDetailField::Size());
static_assert(wire_width_of_TradeDetailField() == TradeDetailField::Size());
static_assert(wire_width_of_FutureSnapShotField() == FutureSnapShotField::Size());
static_assert(wire_width_of_SH_OrderDetailField() == SH_OrderDetailField::Size());
static_assert(wire_width_of_SecurityBaseInfoField() == SecurityBaseInfoField::Size());
static_assert(wire_width_of_OptionBaseInfoField() == OptionBaseInfoField::Size());

void ReqUserLoginField::Fill(const char* user, const char* password, const char* version) {
  *this = ReqUserLoginField();
  UserID.Set(user);
  Password.Set(password);
  ClientVersion.Set(version);
}

}  // namespace zavo
