// Struct session: the multicast data path. The FeedProcessor hands each
// datagram to process_datagram on the processing thread; the decoder does
// the rest and hands the records to the session's HandlerSink.
#include <ctime>

#include "api/udp_api_imp.h"
#include "net/ev_loop.h"
#include "util/logger.h"

namespace zavo {

namespace {

// Stands in for a missing handler, so that the per-record path needs no
// test for one.
void ignore_record(void*, const ZAVO_MSG*) {}

}  // namespace

UdpStructApiImp::HandlerSink::HandlerSink(UdpStructApiImp* api, ZAVO_DataHandler handler)
    : api_(api),
      handler_(handler != nullptr ? handler : ignore_record),
      connect_id_(api->ConnectID()) {}

void UdpStructApiImp::HandlerSink::OnBaseInfoFinish(const ZAVO_BaseInfoFinish& finish) {
  api_->deliver_system(ZAVO_MSG_BASEINFO_FINISH, sizeof(finish), &finish);
}

void UdpStructApiImp::HandlerSink::OnNewDay() {
  // Seen on the control connection: recovery hears of it on its own
  // thread (the feed's heartbeat tells it there directly).
  if (api_->recovery_ && api_->control_.loop()->IsInsideLoop()) {
    api_->recovery_->OnNewDayElsewhere();
  }
  api_->control_.AbandonRebuild("new day");
}

void UdpStructApiImp::OnError(int code) {
  ZAVO_LOG("%p[%s] UDP OnError: %s", handle(), ClassName(), get_uv_err_string(code).c_str());
}

void UdpStructApiImp::process_datagram(const char* data, size_t size) {
  // One reading of the wall clock per datagram: every record in it was
  // taken up at this moment (LocalDelay), and a clock read costs more than
  // decoding a small record.
  timespec taken_at;
  clock_gettime(CLOCK_REALTIME, &taken_at);
  process_datagram(data, size, taken_at);
}

void UdpStructApiImp::process_datagram(const char* data, size_t size, const timespec& taken_at) {
  // Only handlers run user code on this thread, so it counts as inside one
  // for the whole datagram: one thread-local write per datagram instead of
  // two per record.
  HandlerMark mark(this);
  HandlerSink sink(this, data_handler_);
  if (recovery_) {
    recovery_->ProcessDatagram(data, size, taken_at, sink);
    return;
  }
  decoder_.ProcessDatagram(data, size, taken_at, sink);
}

void UdpStructApiImp::ClearApiCache() {
  HandlerSink sink(this, nullptr);
  decoder_.ClearCaches(sink);
}

}  // namespace zavo
