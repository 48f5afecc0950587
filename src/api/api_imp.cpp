#include "api/api_imp.h"

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <ctime>

#include "util/logger.h"

namespace zavo {

namespace {

pthread_once_t g_init_once = PTHREAD_ONCE_INIT;
std::atomic<Logger*> g_api_logger{nullptr};

void api_init_once() {
  // The logger lives as long as the process: library threads may still log
  // while static destructors run, so it is never stopped or deleted.
  Logger* logger = new Logger();
  logger->set_console(false);
  g_api_logger.store(logger, std::memory_order_release);
  Logger::SetInstance(logger);
  // A log directory we cannot create or write leaves the library without a
  // log file; opening a session must not fail for that.
  logger->Start(make_log_file_path("./logs/"));
}

}  // namespace

const char* ApiImp::ClassName() const {
  return "ApiImp";
}

ApiImp::~ApiImp() = default;

void ApiImp::CallBack_SystemHandler(const ZAVO_ConnectResult& result) const {
  ZAVO_DataHandler handler = system_handler_;
  if (handler == nullptr) return;
  ZAVO_MSG msg{};
  msg.MsgType = ZAVO_MSG_CONNECT;
  msg.MsgSize = sizeof(ZAVO_ConnectResult);
  msg.MsgTime = local_time_of_day_ms();
  msg.ConnectID = ConnectID();
  msg.SeqNum = 0;
  msg.MsgData = &result;
  handler(const_cast<void*>(static_cast<const void*>(this)), &msg);
}

ZAVO_ERROR ApiImp::take_handlers(ZAVO_DataHandler data, ZAVO_DataHandler system) {
  const void* self = this;
  if (data == nullptr) {
    ZAVO_LOG("%p[%s] Open DataHandler Error.", self, ClassName());
    return ZAVO_ERR_INVALID;
  }
  data_handler_ = data;
  if (system == nullptr) {
    ZAVO_LOG("%p[%s] Open SystemHandler Error.", self, ClassName());
    return ZAVO_ERR_INVALID;
  }
  system_handler_ = system;
  return ZAVO_SUCCESS;
}

const char* StructApiImp::ClassName() const {
  return "StructApiImp";
}

const char* RawApiImp::ClassName() const {
  return "RawApiImp";
}

void api_initer() {
  pthread_once(&g_init_once, api_init_once);
}

Logger* ApiLogger() {
  return g_api_logger.load(std::memory_order_acquire);
}

uint32_t local_time_of_day_ms() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  return static_cast<uint32_t>(local.tm_hour) * 10000000u +
         static_cast<uint32_t>(local.tm_min) * 100000u +
         static_cast<uint32_t>(local.tm_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
}

}  // namespace zavo
