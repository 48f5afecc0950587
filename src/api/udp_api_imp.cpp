// Struct session: lifecycle, queries and subscriptions.
#include "api/udp_api_imp.h"

#include "util/logger.h"

namespace zavo {

UdpStructApiImp::UdpStructApiImp()
    : decoder_(static_cast<ApiImp*>(this), "UdpStructApiImp"),
      control_(this, this, ControlChannel::Options{true}),
      feed_(this) {
  feed_.SetSideWork([this] {
    if (recovery_) recovery_->RunSideWork();
  });
  feed_.Start([this](const char* data, size_t size) { process_datagram(data, size); });
  ZAVO_LOG("%p[%s] Create", handle(), ClassName());
}

UdpStructApiImp::~UdpStructApiImp() {
  // Normally done by Join; this covers an object destroyed otherwise. The
  // read thread feeds the processor: it goes first.
  FeedReceiver::Close();
  feed_.Stop();
  feed_.Join();
  ZAVO_LOG("%p[%s] Release", handle(), ClassName());
}

ZAVO_ERROR UdpStructApiImp::Open(const ZAVO_OpenSetting& setting) {
  setting_ = setting;
  address_ = AddressOf(setting_);
  // The caller's settings first: a session that cannot run is not
  // connected at all, and the system handler is known before any event.
  const ZAVO_ERROR checked = take_data_settings();
  if (checked != ZAVO_SUCCESS) return checked;
  const ZAVO_ERROR result =
      OpenSession(this, &lifecycle_, this, &control_,
                  new KvelTcpConnector(control_.loop(), control_.connector_handler()), address_);
  if (result == ZAVO_SUCCESS && recovery_) recovery_->Start();
  return result;
}

int UdpStructApiImp::JoinFeed(std::string* why) {
  return JoinSessionFeed(this, address_, why);
}

ZAVO_ERROR UdpStructApiImp::take_data_settings() {
  const ZAVO_ERROR handlers = take_handlers(setting_.DataHandler, setting_.SystemHandler);
  if (handlers != ZAVO_SUCCESS) return handlers;
  if (!decoder_.subscription().SetMarketSubscription(setting_.SubscribedMarkets)) {
    ZAVO_LOG("%p[%s] Open SubscribedMarkets Error.", handle(), ClassName());
    return ZAVO_ERR_INVALID;
  }
  if (!decoder_.subscription().SetCodeSubscription(setting_.SubscribedCodes)) {
    ZAVO_LOG("%p[%s] Open SubscribedCodes Error.", handle(), ClassName());
    return ZAVO_ERR_INVALID;
  }
  // The texts belong to the caller; nothing may read them after Open.
  setting_.SubscribedMarkets = nullptr;
  setting_.SubscribedCodes = nullptr;
  decoder_.SetFlags(setting_.SubscribeFlags);
#ifdef _WIN32
  const std::atomic<uint64_t>* kernel_drop_count = nullptr;
#else
  if (setting_.SubscribeFlags & ZAVO_FLAG_FEED_STATS) set_count_kernel_drops(true);
  const std::atomic<uint64_t>* kernel_drop_count = kernel_drops();
#endif
  if (setting_.SubscribeFlags & (ZAVO_FLAG_RECOVER_GAPS | ZAVO_FLAG_FEED_STATS)) {
    recovery_.reset(
        new FeedRecovery(FeedRecovery::Parts{this, &decoder_, &control_, &feed_, kernel_drop_count},
                         setting_.SubscribeFlags));
  }
  return ZAVO_SUCCESS;
}

SessionParts UdpStructApiImp::parts() {
  return SessionParts{this, &lifecycle_, this, &feed_, &control_};
}

void UdpStructApiImp::Close() {
  CloseSession(parts());
}

void UdpStructApiImp::Join() {
  JoinSession(parts());
}

void UdpStructApiImp::Release() {
  ReleaseSession(parts());
}

ZAVO_ERROR UdpStructApiImp::GetCodeTable(const char* market, ZAVO_CODEINFO** table,
                                         unsigned int* count) {
  return decoder_.code_tables().GetCodeTable(market, table, count);
}

ZAVO_ERROR UdpStructApiImp::GetOptionCodeInfo(const char* code, ZAVO_OPTION_CODEINFO* info) {
  return decoder_.code_tables().GetOptionCodeInfo(code, info);
}

ZAVO_ERROR UdpStructApiImp::UpdateSubscription(ZAVO_SUBSCRIPTION_UPDATE mode, const char* codes) {
  // The new filter is built aside and published in one step, so it can be
  // applied from the caller's thread without ever being seen half-done.
  return decoder_.subscription().UpdateSubscription(mode, codes);
}

ZAVO_ERROR UdpStructApiImp::GetLastMarketData(const char* market, ZAVO_SecuritySnapShot** data,
                                              int* count) {
  return decoder_.snapshots().GetLastMarketData(market, data, count);
}

ZAVO_ERROR UdpStructApiImp::GetLastIndexData(const char* market, ZAVO_IndexSnapShot** data,
                                             int* count) {
  return decoder_.snapshots().GetLastIndexData(market, data, count);
}

ZAVO_ERROR UdpStructApiImp::GetLastFutureData(const char* market, ZAVO_FutureSnapShot** data,
                                              int* count) {
  return decoder_.snapshots().GetLastFutureData(market, data, count);
}

}  // namespace zavo
