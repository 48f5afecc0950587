#include "util/logger.h"

#include "util/timestamp.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#endif

#include <atomic>
#include <cinttypes>
#include <cstring>

namespace zavo {

namespace {

std::atomic<Logger*> g_instance{nullptr};

char level_letter(unsigned level) {
  return level < 3 ? "DIE"[level] : '-';
}

void stamp_now(AsyncLogger::log_entry& e) {
  const Timestamp now = Timestamp::Now();
  e.year = now.year;
  e.month = now.month;
  e.day = now.day;
  e.hour = now.hour;
  e.minute = now.minute;
  e.second = now.second;
  e.millisecond = now.millisecond;
}

}  // namespace

AsyncLogger::AsyncLogger() = default;

// Stop path: the worker is joined first so nothing writes concurrently, then
// whatever it had not reached is written here, oldest first, and the file is
// closed. Entries appended after the flag was cleared are refused by Push.
AsyncLogger::~AsyncLogger() {
  stop_worker();
  if (file_ != nullptr) {
    fclose(file_);
    file_ = nullptr;
  }
}

void AsyncLogger::stop_worker() {
  if (queue_.running()) {
    queue_.Stop();
    queue_.Drain([this](log_entry& e) { write_entry(e); });
  }
}

void AsyncLogger::finish() {
  std::lock_guard<std::mutex> lock(start_mutex_);
  finished_ = true;
  armed_.store(false, std::memory_order_release);
  stop_worker();
  if (file_ != nullptr) {
    fclose(file_);
    file_ = nullptr;
  }
}

void AsyncLogger::write_entry(const log_entry& e) {
  do_write(e, file_);
  if (dropped_.load(std::memory_order_relaxed) == 0) return;
  const uint64_t n = dropped_.exchange(0, std::memory_order_relaxed);
  if (n == 0) return;
  log_entry note;
  note.level = kError;
  char text[96];
  const int len = snprintf(text, sizeof text,
                           "%llu log lines dropped: lines came faster than the log file took them",
                           static_cast<unsigned long long>(n));
  note.text.assign(text, text + (len > 0 ? len : 0));
  note.text.push_back('\0');
  stamp_now(note);
  do_write(note, file_);
}

void AsyncLogger::arm_file(const std::string& path, const std::string& dir) {
  std::lock_guard<std::mutex> lock(start_mutex_);
  if (finished_ || queue_.running()) return;
  armed_path_ = path;
  armed_dir_ = dir;
  armed_.store(true, std::memory_order_release);
}

void AsyncLogger::start_armed() {
  std::lock_guard<std::mutex> lock(start_mutex_);
  if (!armed_.load(std::memory_order_relaxed)) return;
  armed_.store(false, std::memory_order_release);
#ifndef _WIN32
  if (!armed_dir_.empty()) make_log_dir(armed_dir_);
#endif
  // As for a started logger, a file that cannot be opened leaves the
  // logger without one and its lines are discarded.
  (void)start_file(armed_path_);
}

void AsyncLogger::Log(Level level, const char* format, ...) {
  if (static_cast<int>(level) < threshold_) return;
  va_list args;
  va_start(args, format);
  make_log_entry(level, format, args);
  va_end(args);
}

void AsyncLogger::Log(Level level, const char* format, va_list args) {
  if (static_cast<int>(level) < threshold_) return;
  make_log_entry(level, format, args);
}

void AsyncLogger::make_log_entry(Level level, const char* format, va_list args) {
  log_entry e;
  e.level = static_cast<unsigned>(level);
  // Most lines fit the first pass; longer ones double the buffer until the
  // whole message fits, so nothing is ever cut.
  size_t capacity = 256;
  bool ok = false;
  if (format != nullptr) {
    for (int attempt = 0; attempt < 32; ++attempt) {
      e.text.assign(capacity, '\0');
      va_list copy;
      va_copy(copy, args);
      int n = vsnprintf(e.text.data(), capacity, format, copy);
      va_end(copy);
      if (n < 1) break;
      if (static_cast<size_t>(n) < capacity) {
        e.text.resize(static_cast<size_t>(n) + 1);
        ok = true;
        break;
      }
      capacity *= 2;
    }
  }
  if (!ok) e.text.assign(1, '\0');
  stamp_now(e);
  if (console_) do_write(e, stdout);
  if (armed_.load(std::memory_order_acquire)) start_armed();
  bool full = false;
  if (!queue_.PushBounded(std::move(e), kMaxQueuedLines, &full) && full) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    dropped_total_.fetch_add(1, std::memory_order_relaxed);
  }
}

void AsyncLogger::do_write(const log_entry& e, FILE* out) {
  if (out == nullptr) return;
  const char* text = e.text.empty() ? "" : e.text.data();
  fprintf(out, "[%04u%02u%02u %02u:%02u:%02u.%03u] [%c] %s\n", unsigned{e.year}, unsigned{e.month},
          unsigned{e.day}, unsigned{e.hour}, unsigned{e.minute}, unsigned{e.second},
          unsigned{e.millisecond}, level_letter(e.level), text);
  fflush(out);
}

bool AsyncLogger::start_file(const std::string& path) {
  if (queue_.running()) return true;
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  if (file_ != nullptr) fclose(file_);
  file_ = f;
  queue_.Start([this](log_entry& e) { write_entry(e); });
  return true;
}

Logger::~Logger() {
  // Never leave the process-wide pointer dangling at a destroyed logger.
  Logger* self = this;
  g_instance.compare_exchange_strong(self, nullptr);
  stop_worker();
}

Logger* Logger::Instance() {
  return g_instance.load(std::memory_order_acquire);
}

void Logger::SetInstance(Logger* logger) {
  g_instance.store(logger, std::memory_order_release);
}

bool Logger::Start(const std::string& path) {
  return start_file(path);
}

void Logger::StartOnFirstLine(const std::string& path, const std::string& dir) {
  arm_file(path, dir);
}

void Logger::Finish() {
  finish();
}

#define ZAVO_LOGGER_FORWARD(level)                    \
  do {                                                \
    if (static_cast<int>(level) < threshold_) return; \
    va_list args;                                     \
    va_start(args, format);                           \
    make_log_entry(level, format, args);              \
    va_end(args);                                     \
  } while (0)

void Logger::Log(const char* format, ...) {
  ZAVO_LOGGER_FORWARD(kPlain);
}
void Logger::LogDebug(const char* format, ...) {
  ZAVO_LOGGER_FORWARD(kDebug);
}
void Logger::LogInfo(const char* format, ...) {
  ZAVO_LOGGER_FORWARD(kInfo);
}
void Logger::LogError(const char* format, ...) {
  ZAVO_LOGGER_FORWARD(kError);
}

#undef ZAVO_LOGGER_FORWARD

std::string log_file_path(const std::string& dir, const struct tm& local, unsigned millisecond) {
  const uint64_t stamp = static_cast<uint64_t>(local.tm_year + 1900) * 10000000000000ULL +
                         static_cast<uint64_t>(local.tm_mon + 1) * 100000000000ULL +
                         static_cast<uint64_t>(local.tm_mday) * 1000000000ULL +
                         static_cast<uint64_t>(local.tm_hour) * 10000000ULL +
                         static_cast<uint64_t>(local.tm_min) * 100000ULL +
                         static_cast<uint64_t>(local.tm_sec) * 1000ULL + millisecond;
  char name[32];
  snprintf(name, sizeof name, "%" PRIu64 ".log", stamp);
  return dir + name;
}

#ifdef _WIN32
std::string library_log_file_path() {
  // In the current directory, named after the local system time; no
  // directory is made.
  return stamped_log_file_path("./zavo_api_");
}

std::string stamped_log_file_path(const std::string& dir) {
  SYSTEMTIME st;
  GetLocalTime(&st);
  tm local{};
  local.tm_year = st.wYear - 1900;
  local.tm_mon = st.wMonth - 1;
  local.tm_mday = st.wDay;
  local.tm_hour = st.wHour;
  local.tm_min = st.wMinute;
  local.tm_sec = st.wSecond;
  return log_file_path(dir, local, st.wMilliseconds);
}

std::string library_log_dir() {
  return "";
}
#else
std::string library_log_file_path() {
  return make_log_file_path("./logs/");
}

std::string library_log_dir() {
  return "./logs/";
}

void make_log_dir(const std::string& dir) {
  if (DIR* d = opendir(dir.c_str())) {
    closedir(d);
  } else {
    mkdir(dir.c_str(), 0775);
  }
}

std::string make_log_file_path(const std::string& dir) {
  make_log_dir(dir);
  return stamped_log_file_path(dir);
}

std::string stamped_log_file_path(const std::string& dir) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  return log_file_path(dir, local, static_cast<unsigned>(tv.tv_usec / 1000));
}

#endif

}  // namespace zavo
