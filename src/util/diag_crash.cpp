// Crash handler: leaves "<YYYYMMDDhhmmssmmm>.core_dump" with the signal and
// the back-trace, then lets the signal's default action end the process.
//
// It runs after memory may already be corrupted, possibly with the allocator
// or the stdio locks held by the crashing thread. So everything here is
// async-signal-safe: text is formatted by hand into stack buffers, written
// with write(2), frames are symbolised by backtrace_symbols_fd, and nothing
// is allocated. The local time comes from an offset taken at install time,
// because localtime() takes locks and may read the zone file.
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "util/diagnostics.h"

namespace zavo {

namespace {

constexpr int kMaxFrames = 256;

// Seconds east of UTC, sampled when the handler is installed.
std::atomic<long> g_utc_offset{0};
std::atomic<bool> g_utc_offset_known{false};
// Set by the first thread that enters the handler.
std::atomic<bool> g_dumping{false};

// Fixed-size text built without allocation or locale-aware formatting.
class StackText {
 public:
  StackText& put(const char* s) {
    while (*s != '\0' && len_ < sizeof buf_) buf_[len_++] = *s++;
    return *this;
  }
  // Decimal, left-padded with zeros to at least `width` digits.
  StackText& put_uint(unsigned long long v, int width = 1) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0 && n < static_cast<int>(sizeof digits));
    while (n < width && n < static_cast<int>(sizeof digits)) digits[n++] = '0';
    while (n > 0 && len_ < sizeof buf_) buf_[len_++] = digits[--n];
    return *this;
  }
  StackText& put_int(long long v) {
    if (v < 0) {
      put("-");
      return put_uint(0ULL - static_cast<unsigned long long>(v));
    }
    return put_uint(static_cast<unsigned long long>(v));
  }
  const char* data() const { return buf_; }
  size_t size() const { return len_; }
  // NUL-terminated copy into `dst` of `cap` bytes.
  void copy_to(char* dst, size_t cap) const {
    const size_t n = len_ < cap - 1 ? len_ : cap - 1;
    std::memcpy(dst, buf_, n);
    dst[n] = '\0';
  }

 private:
  char buf_[256];
  size_t len_ = 0;
};

void write_all(int fd, const char* data, size_t size) {
  if (fd < 0) return;
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void write_both(int file, const StackText& text) {
  write_all(STDOUT_FILENO, text.data(), text.size());
  write_all(file, text.data(), text.size());
}

struct CivilTime {
  unsigned year, month, day, hour, minute, second, millisecond;
};

// Days since 1970-01-01 to a proleptic Gregorian date.
void civil_from_days(long long z, unsigned& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<unsigned>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

void sample_utc_offset() {
  tzset();
  const time_t now = time(nullptr);
  tm local;
  if (localtime_r(&now, &local) != nullptr) {
    g_utc_offset.store(local.tm_gmtoff);
    g_utc_offset_known.store(true);
  }
}

CivilTime local_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  CivilTime t{};
  t.millisecond = static_cast<unsigned>(ts.tv_nsec / 1000000);
  if (!g_utc_offset_known.load()) {
    // Installed by hand rather than through open_core_dump: best effort.
    tm local;
    if (localtime_r(&ts.tv_sec, &local) != nullptr) {
      t.year = static_cast<unsigned>(local.tm_year + 1900);
      t.month = static_cast<unsigned>(local.tm_mon + 1);
      t.day = static_cast<unsigned>(local.tm_mday);
      t.hour = static_cast<unsigned>(local.tm_hour);
      t.minute = static_cast<unsigned>(local.tm_min);
      t.second = static_cast<unsigned>(local.tm_sec);
      return t;
    }
  }
  const long long secs = static_cast<long long>(ts.tv_sec) + g_utc_offset.load();
  long long days = secs / 86400;
  long long rem = secs % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  civil_from_days(days, t.year, t.month, t.day);
  t.hour = static_cast<unsigned>(rem / 3600);
  t.minute = static_cast<unsigned>(rem / 60 % 60);
  t.second = static_cast<unsigned>(rem % 60);
  return t;
}

// Ends the process the way the signal would have without our handler.
[[noreturn]] void die_by_signal(int sig) {
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  // The signal is blocked while its handler runs; unblock it so the raise
  // takes effect now rather than when the handler returns.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  // Only reached for signals whose default action is not to terminate.
  _exit(128 + (sig & 0x7f));
}

}  // namespace

const char* SignalName(int sig) {
  switch (sig) {
    case SIGILL:
      return "SIGILL";
    case SIGABRT:
      return "SIGABRT";
    case SIGFPE:
      return "SIGFPE";
    case SIGKILL:
      return "SIGKILL";
    case SIGSEGV:
      return "SIGSEGV";
    case SIGTERM:
      return "SIGTERM";
    case SIGXFSZ:
      return "SIGXFSZ";
    default:
      break;
  }
  static char unknown[24];
  StackText text;
  text.put_int(sig);
  text.copy_to(unknown, sizeof unknown);
  return unknown;
}

void open_core_dump() {
  // backtrace() loads the unwinder on first use, which allocates; do it now
  // so that the handler never has to.
  void* warm[4];
  (void)backtrace(warm, 4);
  sample_utc_offset();

  const int signals[] = {SIGSEGV, SIGILL, SIGFPE, SIGABRT, SIGKILL, SIGXFSZ};
  for (int sig : signals) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = saveBackTrace;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    (void)sigaction(sig, &sa, nullptr);  // SIGKILL is refused; that is fine
  }
}

void saveBackTrace(int sig) {
  if (g_dumping.exchange(true)) {
    // Another thread crashed first and is writing the file; give it time to
    // finish (it ends the process), and end it ourselves if it never does.
    for (int i = 0; i < 100; ++i) {
      timespec pause{0, 50 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
    die_by_signal(sig);
  }

  const CivilTime t = local_now();
  const unsigned long long stamp = t.year * 10000000000000ULL + t.month * 100000000000ULL +
                                   t.day * 1000000000ULL + t.hour * 10000000ULL +
                                   t.minute * 100000ULL + t.second * 1000ULL + t.millisecond;
  char name[64];
  StackText file_name;
  file_name.put_uint(stamp).put(".core_dump");
  file_name.copy_to(name, sizeof name);
  const int file = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

  StackText header;
  header.put("\ncore: ")
      .put_uint(t.year, 4)
      .put_uint(t.month, 2)
      .put_uint(t.day, 2)
      .put(" ")
      .put_uint(t.hour, 2)
      .put(":")
      .put_uint(t.minute, 2)
      .put(":")
      .put_uint(t.second, 2)
      .put(".")
      .put_uint(t.millisecond, 3)
      .put(" Signal:")
      .put(SignalName(sig))
      .put("\n");
  write_both(file, header);

  void* frames[kMaxFrames];
  const int count = backtrace(frames, kMaxFrames);
  StackText summary;
  summary.put("backtrace return ").put_int(count).put(" address\n");
  write_both(file, summary);
  for (int i = 0; i < count; ++i) {
    StackText index;
    index.put("[").put_int(i).put("] ");
    write_both(file, index);
    backtrace_symbols_fd(&frames[i], 1, STDOUT_FILENO);  // ends with '\n'
    if (file >= 0) backtrace_symbols_fd(&frames[i], 1, file);
  }

  static const char kEnd[] = "backtrace end\n\n";
  write_all(STDOUT_FILENO, kEnd, sizeof kEnd - 2);
  write_all(file, kEnd, sizeof kEnd - 1);
  if (file >= 0) ::close(file);
  die_by_signal(sig);
}

}  // namespace zavo
