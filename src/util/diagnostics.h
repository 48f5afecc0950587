#pragma once
// Diagnostics for operating the library on a Linux host: small parsers,
// latency statistics, a delay trace file, a crash handler that leaves a
// back-trace file behind, and readers of the process's memory use and of the
// kernel's socket tables. Nothing on the data path calls these; they are
// offered to programs that embed the library (and to our tools and tests).
#include <sys/time.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "util/helpers.h"

namespace zavo {

// ---------------------------------------------------------------------------
// Parsing and clocks

// "host:port" split at the first ':'. The port is the decimal number after it
// as strtol reads it; a value that is not a valid port (outside 0..65535)
// gives 0 rather than a silently truncated number. Without ':' the result is
// an empty host and port 0.
std::pair<std::string, int> parse_address(const std::string& s);

// True if `s` has at least 7 characters and converts as a dotted-quad address
// to anything but 255.255.255.255 (which inet_addr cannot tell from failure).
bool valid_ip(const char* s);

// "hh:mm:ss" (exactly 8 characters) as hh*10000 + mm*100 + ss, so 09:30:00
// gives 93000; -1 for any other text. The digits are not range-checked.
int parse_short_time(const std::string& s);

// The monotonic clock in microseconds; 0 if it cannot be read.
int64_t sys_local_clock_us();

// "%08X:%04X" of inet_addr(ip) read as a host number and the port: the form
// in which /proc/net/tcp and /proc/net/udp print addresses on little-endian
// hosts. convert_addr_to_hex("127.0.0.1", 80) == "0100007F:0050".
std::string convert_addr_to_hex(const char* ip, int port);

// ---------------------------------------------------------------------------
// Latency statistics (one thread per object)

class DelayRecorder {
 public:
  DelayRecorder() { SetZero(); }

  // Delay in microseconds from the given real-time instant to now. An instant
  // in the future (negative delay) or one so far off that the delay cannot be
  // represented is ignored: returns 0 and leaves the statistics unchanged.
  int64_t Record(long sec, long nsec);
  int64_t Record(const timeval& tv) { return Record(tv.tv_sec, tv.tv_usec * 1000L); }

  void SetZero();
  void Swap(DelayRecorder& other);
  std::string DistributionStr() const { return std::string(); }

  uint64_t min() const { return min_; }
  uint64_t max() const { return max_; }
  uint64_t sum() const { return sum_; }
  uint64_t count() const { return count_; }

 private:
  uint64_t min_;
  uint64_t max_;
  uint64_t sum_;
  uint64_t count_;
};

// A list of time points; dump() appends the distances between them to
// "zavo_delay_trace.txt" in the current directory. One thread per object;
// the file is shared process-wide and opened (truncated) on first use.
class DelayTrace {
 public:
  void trace();                  // appends now
  void add(const timespec& ts);  // appends the given instant
  // One line "d0 d1 ... \n" with each point's distance in microseconds from
  // the one before (0 for the first). Fewer than 3 points write nothing.
  void dump() const;

  void clear() { points_.clear(); }
  size_t size() const { return points_.size(); }

 private:
  std::vector<timeval> points_;
};

// ---------------------------------------------------------------------------
// Crash handling

// Installs saveBackTrace for SIGSEGV, SIGILL, SIGFPE, SIGABRT, SIGKILL and
// SIGXFSZ (the system refuses SIGKILL; that is ignored).
void open_core_dump();

// The handler: writes "<YYYYMMDDhhmmssmmm>.core_dump" in the current
// directory (and the same text to standard output) with the signal and the
// back-trace, then ends the process through the signal's default action, so
// the parent sees it die of that signal. Async-signal-safe: write(2),
// backtrace_symbols_fd and stack buffers only.
void saveBackTrace(int sig);

// "SIGSEGV" and friends for the signals above and SIGTERM; any other number
// as decimal text in one process-wide buffer that the next such call
// overwrites. Safe to call from a signal handler.
const char* SignalName(int sig);

// ---------------------------------------------------------------------------
// Process and socket readers

// "VmSize=<value>  VmRSS=<value>  " from /proc/self/status, blanks removed
// from the values (e.g. "VmSize=123456kB  VmRSS=2345kB  "); empty if the file
// cannot be read.
std::string process_mem_info();

// The VmRSS figure in kB; 0 if the file or the line is missing.
uint32_t get_process_vmrss();

// One line of /proc/net/tcp or /proc/net/udp. The last three are filled from
// TCP lines only (0 otherwise); rto and ato are in clock ticks.
struct sys_netstat {
  uint32_t tx_queue;
  uint32_t rx_queue;
  uint32_t retransmits;
  uint32_t rto;
  uint32_t ato;
  uint32_t snd_cwnd;
};

// Finds the first line of the table at `path` whose column `pos` (0-based,
// blank-separated) equals `addr` and whose state (column 3) is 01
// (established) or 07 (closed, i.e. an unconnected UDP socket); listening TCP
// sockets are therefore not matched. False if the file cannot be opened or no
// line matches.
bool get_netstat_bypos(const char* path, sys_netstat* out, const char* addr, unsigned int pos);

bool get_netstat_tcp_bylocal(sys_netstat* out, const char* ip, int port);
bool get_netstat_tcp_byremote(sys_netstat* out, const char* ip, int port);
bool get_netstat_udp_bylocal(sys_netstat* out, const char* ip, int port);

}  // namespace zavo
