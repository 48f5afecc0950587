// Struct session: lifecycle, queries and subscriptions.
#include "api/udp_api_imp.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>

#include "net/tcp_io.h"
#include "util/logger.h"

namespace zavo {

void UdpStructApiImp::SetLoginTimeoutForTesting(int timeout_ms) {
  SetLoginTimeoutMs(timeout_ms);
}

UdpStructApiImp::UdpStructApiImp()
    : loop_(nullptr), pipe_(MpmcPipe::Create()), packet_(StructPacket::kDefaultCapacity) {
  consumer_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  direct_buffer_.reset(new char[kDirectBufferSize]);
  enable_direct_reads();
  process_thread_ = std::thread([this] { udp_packet_process_loop(); });
  loop_ = new EvLoop();
  ZAVO_LOG("%p[%s] Create", handle(), ClassName());
}

UdpStructApiImp::~UdpStructApiImp() {
  // Normally stopped by Release; this covers an object destroyed otherwise.
  stop_processing_thread();
  // The read thread is gone by now (owners close the receiver first): the
  // spare datagram copies have no other user.
  void* spare = nullptr;
  while (spare_buffers_.Pop(&spare)) delete static_cast<ByteBuffer*>(spare);
  delete loop_;
  ZAVO_LOG("%p[%s] Release", handle(), ClassName());
  delete pipe_;
  if (consumer_fd_ >= 0) ::close(consumer_fd_);
}

ZAVO_ERROR UdpStructApiImp::Open(const ZAVO_OpenSetting& setting) {
  setting_ = setting;
  server_ip_ = SettingText(setting_.ServerIP);
  multicast_ip_ = SettingText(setting_.MulticastIP);
  local_ip_ = SettingText(setting_.LocalIP);
  if (setting_.CpuID >= 0) set_cpu_id(setting_.CpuID);

  connector_ = new KvelTcpConnector(loop_, this);
  connector_->reconnect_interval_.store(0);
  int rc = connector_->Connect(server_ip_.c_str(), setting_.ServerPort);
  if (rc != 0) {
    ZAVO_LOG("%p[%s] Open TCP Session Error. %s", handle(), ClassName(),
             get_uv_err_string(rc).c_str());
    return ZAVO_ERR_NETWORK;
  }
  const ZAVO_ERROR checked = take_data_settings();
  if (checked != ZAVO_SUCCESS) return checked;
  ZAVO_LOG("%p[%s] Idle strategy: %s", handle(), ClassName(), IdleModeName(idle_mode()));

  loop_->Start();
  const ZAVO_ERROR result =
      WaitForLoginAnswer(&open_result_, handle(), ClassName(), server_ip_, setting_.ServerPort);
  if (result != ZAVO_SUCCESS) {
    TcpConnector::Release(connector_);
    connector_ = nullptr;
    return result;
  }
  connector_->reconnect_interval_.store(kReconnectIntervalMs);
  return ZAVO_SUCCESS;
}

ZAVO_ERROR UdpStructApiImp::take_data_settings() {
  const ZAVO_ERROR handlers = take_handlers(setting_.DataHandler, setting_.SystemHandler);
  if (handlers != ZAVO_SUCCESS) return handlers;
  if (!subscription_.SetMarketSubscription(setting_.SubscribedMarkets)) {
    ZAVO_LOG("%p[%s] Open SubscribedMarkets Error.", handle(), ClassName());
    return ZAVO_ERR_INVALID;
  }
  if (!subscription_.SetCodeSubscription(setting_.SubscribedCodes)) {
    ZAVO_LOG("%p[%s] Open SubscribedCodes Error.", handle(), ClassName());
    return ZAVO_ERR_INVALID;
  }
  // The texts belong to the caller; nothing may read them after Open.
  setting_.SubscribedMarkets = nullptr;
  setting_.SubscribedCodes = nullptr;
  trade_flag_.store((setting_.SubscribeFlags & ZAVO_FLAG_TRADE_DETAIL) != 0);
  order_flag_.store((setting_.SubscribeFlags & ZAVO_FLAG_ORDER_DETAIL) != 0);
  queue_flag_.store((setting_.SubscribeFlags & ZAVO_FLAG_ORDER_QUEUE) != 0);
  return ZAVO_SUCCESS;
}

ZAVO_ERROR UdpStructApiImp::SetDataPath(const ZAVO_OpenSetting& setting) {
  setting_ = setting;
  return take_data_settings();
}

void UdpStructApiImp::Close() {
  UdpMulticaseReceiver2::Close();
  loop_->Stop();
}

void UdpStructApiImp::Join() {
  loop_->Join();
}

void UdpStructApiImp::Release() {
  if (connector_ != nullptr) {
    TcpConnector::Release(connector_);
    connector_ = nullptr;
  }
  // The read thread feeds the pipe: stop it before the consumer goes.
  UdpMulticaseReceiver2::Close();
  stop_processing_thread();
  UdpMulticaseReceiver2::Release(this);
}

void UdpStructApiImp::stop_processing_thread() {
  if (!process_thread_.joinable()) return;
  pipe_->Close();
  wake_consumer();
  process_thread_.join();
  // Datagram copies that were still queued go with the session.
  void* item = nullptr;
  while (pipe_->Dequeue(&item)) delete static_cast<ByteBuffer*>(item);
}

void UdpStructApiImp::ClearApiCache() {
  ZAVO_LOG("%p[%s] ClearApiCache", handle(), ClassName());
  snapshots_.Clear();
  code_tables_.Clear();
  rebuild_.Clear();
  ZAVO_LOG("%p[%s] ClearApiCache - Done", handle(), ClassName());
}

ZAVO_ERROR UdpStructApiImp::GetCodeTable(const char* market, ZAVO_CODEINFO** table,
                                         unsigned int* count) {
  return code_tables_.GetCodeTable(market, table, count);
}

ZAVO_ERROR UdpStructApiImp::GetOptionCodeInfo(const char* code, ZAVO_OPTION_CODEINFO* info) {
  return code_tables_.GetOptionCodeInfo(code, info);
}

ZAVO_ERROR UdpStructApiImp::UpdateSubscription(ZAVO_SUBSCRIPTION_UPDATE mode, const char* codes) {
  // The new filter is built aside and published in one step, so it can be
  // applied from the caller's thread without ever being seen half-done.
  return subscription_.UpdateSubscription(mode, codes);
}

ZAVO_ERROR UdpStructApiImp::GetLastMarketData(const char* market, ZAVO_SecuritySnapShot** data,
                                              int* count) {
  return snapshots_.GetLastMarketData(market, data, count);
}

ZAVO_ERROR UdpStructApiImp::GetLastIndexData(const char* market, ZAVO_IndexSnapShot** data,
                                             int* count) {
  return snapshots_.GetLastIndexData(market, data, count);
}

ZAVO_ERROR UdpStructApiImp::GetLastFutureData(const char* market, ZAVO_FutureSnapShot** data,
                                              int* count) {
  return snapshots_.GetLastFutureData(market, data, count);
}

}  // namespace zavo
