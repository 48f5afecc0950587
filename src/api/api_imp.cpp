#include "api/api_imp.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>

#include "util/logger.h"
#include "util/timestamp.h"

namespace zavo {

namespace {

pthread_once_t g_init_once = PTHREAD_ONCE_INIT;
std::atomic<Logger*> g_api_logger{nullptr};

void api_init_once() {
  // The logger object lives as long as the process: library threads may
  // still log while static destructors run, so it is never deleted (its
  // worker ends with the library, see api_finish).
  Logger* logger = new Logger();
  logger->set_console(false);
  g_api_logger.store(logger, std::memory_order_release);
  Logger::SetInstance(logger);
  // Named after the time the library started, opened with the first line:
  // a process that never logs (a tool asked for --help) leaves no file. A
  // log directory we cannot create or write leaves the library without a
  // log file; opening a session must not fail for that.
#ifdef _WIN32
  logger->StartOnFirstLine(library_log_file_path(), library_log_dir());
#else
  logger->StartOnFirstLine(stamped_log_file_path(library_log_dir()), library_log_dir());
#endif
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

void ApiImp::handler_threw(ZAVO_DataHandler handler, uint32_t kind) const noexcept {
  static const char* const kNames[3] = {"DataHandler", "SystemHandler", "RebuildHandler"};
  int slot = handler == data_handler_ ? 0 : 2;
  if (kind >= ZAVO_MSG_CONNECT && kind <= ZAVO_MSG_OPEN_FAILED) slot = 1;
  const char* which = kNames[slot];
  // A handler that throws on every record would otherwise fill the log at
  // the feed's rate.
  std::atomic<int64_t>& last_line_ms = handler_error_line_ms_[slot];
  std::atomic<uint64_t>& unlogged = handler_errors_unlogged_[slot];
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  int64_t last = last_line_ms.load(std::memory_order_relaxed);
  const bool due = last < 0 || now - last >= kHandlerErrorLogIntervalMs;
  if (!due || !last_line_ms.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
    unlogged.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  char what[256] = "an exception that is not a std::exception";
  try {
    throw;
  } catch (const std::exception& e) {
    std::snprintf(what, sizeof(what), "%s", e.what());
  } catch (...) {
  }
  const uint64_t more = unlogged.exchange(0, std::memory_order_relaxed);
  if (more == 0) {
    ZAVO_LOG("%p[%s] %s threw an exception on message kind %u: %s", static_cast<const void*>(this),
             ClassName(), which, static_cast<unsigned>(kind), what);
  } else {
    ZAVO_LOG("%p[%s] %s threw an exception on message kind %u: %s (%llu more since the last line)",
             static_cast<const void*>(this), ClassName(), which, static_cast<unsigned>(kind), what,
             static_cast<unsigned long long>(more));
  }
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

void api_finish() {
  // Lines still queued reach the file, and the worker is joined rather than
  // left running into the process's exit (or into an unloaded library).
  if (Logger* logger = ApiLogger()) logger->Finish();
}

Logger* ApiLogger() {
  return g_api_logger.load(std::memory_order_acquire);
}

uint32_t local_time_of_day_ms() {
  return Timestamp::Now().TimeOfDay();
}

}  // namespace zavo
