#pragma once
// Process-wide asynchronous file logger. Callers format and time-stamp on
// their own thread; one worker thread appends each line to the file and
// flushes it, so a caller never waits for the disk. The queue is bounded:
// a caller faster than the disk loses lines, never memory, and the file
// says how many were lost. A logger may be armed instead of started: its
// file and worker then come with the first line, so a process that never
// logs leaves no file and runs no thread.
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "util/thread_queue.h"

// printf-style checking of the log formats. MinGW builds format with the
// GNU conventions (__USE_MINGW_ANSI_STDIO, so %zu and %llu work there as
// on Linux), which the check must know.
#if defined(__MINGW32__)
#define ZAVO_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define ZAVO_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

namespace zavo {

class AsyncLogger : public NonCopyable {
 public:
  enum Level { kDebug = 0, kInfo = 1, kError = 2, kPlain = 3 };

  struct log_entry {
    unsigned level = 0;
    unsigned short year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    std::vector<char> text;  // formatted message with its terminating NUL
  };

  AsyncLogger();
  virtual ~AsyncLogger();

  virtual void Log(Level level, const char* format, ...) ZAVO_PRINTF_FORMAT(3, 4);
  virtual void Log(Level level, const char* format, va_list args);

  // Lines queued at most; beyond it lines are dropped and counted.
  static constexpr size_t kMaxQueuedLines = 65536;
  // Lines dropped so far because the queue was full.
  uint64_t dropped_lines() const { return dropped_total_.load(std::memory_order_relaxed); }

  int threshold() const { return threshold_; }
  void set_threshold(int threshold) { threshold_ = threshold; }
  bool console() const { return console_; }
  void set_console(bool on) { console_ = on; }

 protected:
  virtual void make_log_entry(Level level, const char* format, va_list args);
  virtual void do_write(const log_entry& entry, FILE* out);
  bool start_file(const std::string& path);
  // The file `path` (and, when not empty, the directory `dir` first) is
  // opened and the worker started by the first line logged after this.
  void arm_file(const std::string& path, const std::string& dir);
  // Joins the worker, writes what it had not reached, closes the file and
  // refuses every later line (nothing starts again). For the end of the
  // process, while other threads may still log.
  void finish();
  // Joins the worker and writes what it had not reached. A derived class
  // calls it first in its destructor: the worker makes virtual calls on this
  // object, which must not overlap the object's destruction.
  void stop_worker();

  // The worker's and the stop path's one way to write: the entry, then a
  // line for whatever was dropped since the last one.
  void write_entry(const log_entry& entry);
  void start_armed();

  ThreadQueue<log_entry> queue_;
  FILE* file_ = nullptr;
  std::mutex start_mutex_;
  std::atomic<bool> armed_{false};
  bool finished_ = false;  // start_mutex_
  std::string armed_path_;
  std::string armed_dir_;
  std::atomic<uint64_t> dropped_{0};  // not yet reported in the file
  std::atomic<uint64_t> dropped_total_{0};
  bool console_ = true;
  int threshold_ = 1;
};

class Logger : public AsyncLogger {
 public:
  ~Logger() override;

  // The process-wide instance; null until the library's start-up sets it.
  static Logger* Instance();
  static void SetInstance(Logger* logger);

  // Opens `path` (truncating it) and starts the worker. True if running.
  bool Start(const std::string& path);
  // Opens `path` (making `dir` first, when given) with the first line.
  void StartOnFirstLine(const std::string& path, const std::string& dir);
  // See AsyncLogger::finish.
  void Finish();

  void Log(const char* format, ...) ZAVO_PRINTF_FORMAT(2, 3);
  void LogDebug(const char* format, ...) ZAVO_PRINTF_FORMAT(2, 3);
  void LogInfo(const char* format, ...) ZAVO_PRINTF_FORMAT(2, 3);
  void LogError(const char* format, ...) ZAVO_PRINTF_FORMAT(2, 3);
  using AsyncLogger::Log;
};

// The log file name for a start time: `dir` followed by the 17-digit
// number YYYYMMDDhhmmssmmm and ".log".
std::string log_file_path(const std::string& dir, const struct tm& local, unsigned millisecond);
// Creates `dir` (mode 0775) if it cannot be opened, then names a log file in
// it after the current local time, e.g. "./logs/20210512093015123.log".
#ifndef _WIN32
std::string make_log_file_path(const std::string& dir = "./logs/");
// Creates `dir` (mode 0775) if it cannot be opened.
void make_log_dir(const std::string& dir);
#endif
// A log file in `dir` named after the current local time, without making
// the directory.
std::string stamped_log_file_path(const std::string& dir);
// The library's own log file: "./logs/<stamp>.log" (the directory made
// when missing); on Windows "./zavo_api_<stamp>.log".
std::string library_log_file_path();
// The directory library_log_file_path() needs ("" when none is made).
std::string library_log_dir();

}  // namespace zavo

// Logs through the process-wide instance when there is one. Library code
// logs with this macro so that classes also work in programs (tests, tools)
// that never started the logger.
#define ZAVO_LOG(...)                                             \
  do {                                                            \
    if (::zavo::Logger* zavo_log_ = ::zavo::Logger::Instance()) { \
      zavo_log_->Log(__VA_ARGS__);                                \
    }                                                             \
  } while (0)
