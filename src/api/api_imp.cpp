#include "api/api_imp.h"

#include <pthread.h>

#include <atomic>

#include "util/logger.h"
#include "util/timestamp.h"

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
  logger->Start(library_log_file_path());
}

}  // namespace

const char* ApiImp::ClassName() const {
  return "ApiImp";
}

ApiImp::~ApiImp() = default;

__thread const ApiImp* t_in_handler ZAVO_TLS_INITIAL_EXEC = nullptr;

void ApiImp::deliver_system(uint32_t kind, uint32_t size, const void* record) const {
  deliver(system_handler_, kind, size, local_time_of_day_ms(), 0, record);
}

void ApiImp::CallBack_SystemHandler(const ZAVO_ConnectResult& result) const {
  deliver_system(ZAVO_MSG_CONNECT, sizeof(result), &result);
}

bool ApiImp::InHandler() const {
  return t_in_handler == this;
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
  return Timestamp::Now().TimeOfDay();
}

}  // namespace zavo
