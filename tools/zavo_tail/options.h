#pragma once
// Command-line options of zavo_tail.
#include <cstdint>
#include <string>

namespace zavo_tail {

enum class OutputFormat { kText, kCsv, kJson, kNone };

struct Options {
  std::string server_ip = "127.0.0.1";
  uint16_t server_port = 9700;
  std::string group_ip = "239.255.77.1";
  uint16_t group_port = 9701;
  std::string interface_ip = "127.0.0.1";
  std::string user = "demo";
  std::string password = "demo";
  std::string markets;          // empty: every market
  std::string codes;            // empty: every code of the subscribed markets
  uint32_t flags = 2 | 4 | 8;   // trade, order and queue details
  bool raw = false;
  int cpu = -1;
  int connect_id = 1;
  OutputFormat format = OutputFormat::kText;
  double duration_s = 0;        // 0: until Ctrl-C
  uint64_t max_records = 0;     // 0: no limit
  bool query = false;
  bool summary = false;
  bool status = true;
  // --rebuild BEGIN:END, and for raw mode the market (SH or SZ).
  bool rebuild = false;
  uint64_t rebuild_begin = 0;
  uint64_t rebuild_end = 0;
  char rebuild_market = '1';
  std::string raw_out;          // raw mode: append payloads to this file
};

// Parses argv. Returns 0 to go on, 1 when --help was printed, -1 on an
// error (already reported on stderr).
int ParseOptions(int argc, char** argv, Options* out);

void PrintUsage(const char* prog);

}  // namespace zavo_tail
