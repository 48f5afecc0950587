#pragma once
// Command-line options of zavo_tail.
#include <cstdint>
#include <string>

#include "cli_support.h"
#include "zavo_defaults.h"

namespace zavo_tail {

// kCsvHeader is not a choice of the user: it formats a record's CSV column
// names, the header line printed before the first record of each kind.
enum class OutputFormat { kText, kCsv, kJson, kNone, kCsvHeader };

struct Options {
  zavo::cli::Endpoint server{ZAVO_DEFAULT_SERVER_IP, ZAVO_DEFAULT_SERVER_PORT};
  // The port follows the mode unless --group names one: the simulator
  // publishes the struct and the raw feed on different ports.
  zavo::cli::Endpoint group{ZAVO_DEFAULT_GROUP_IP, 0};
  std::string interface_ip = ZAVO_DEFAULT_INTERFACE_IP;
  std::string user = ZAVO_DEFAULT_USER;
  std::string password = ZAVO_DEFAULT_PASSWORD;
  std::string markets;         // empty: every market
  std::string codes;           // empty: every code of the subscribed markets
  uint32_t flags = 2 | 4 | 8;  // trade, order and queue details
  bool raw = false;
  int cpu = -1;
  int connect_id = 1;
  OutputFormat format = OutputFormat::kText;
  double duration_s = 0;     // 0: until Ctrl-C
  uint64_t max_records = 0;  // 0: no limit
  bool query = false;
  bool summary = false;
  // Struct mode: the library recovers lost datagrams and reports what it
  // cannot (--recover, which also asks for the counters), and sends its
  // feed-health counters once a second (--stats).
  bool recover = false;
  bool stats = false;
  // Status line once a second on stderr: by default only when stderr is a
  // terminal, so that redirected output never has status lines cut into it.
  enum class Status { kAuto, kOn, kOff } status = Status::kAuto;
  // --rebuild BEGIN:END, and for raw mode the market (SH or SZ).
  bool rebuild = false;
  uint64_t rebuild_begin = 0;
  uint64_t rebuild_end = 0;
  char rebuild_market = '1';
  std::string raw_out;  // raw mode: append payloads to this file
  // Offline: decode this capture file instead of opening a session; with
  // --group only the datagrams sent to that group and port.
  std::string pcap;
  bool pcap_by_group = false;

  // Order books rebuilt from the details: --book CODE[.SH|.SZ] shows the
  // ladder of one stock (book_code empty: no ladder; book_exchange '1' for
  // Shanghai, '2' for Shenzhen), --book-check compares every snapshot.
  std::string book_code;
  char book_exchange = 0;
  bool book_check = false;

  // True when the subscription leaves records out, so that holes in the
  // feed's sequence numbers are expected and do not mean loss.
  bool Filtered() const;
};

// Parses argv. Returns 0 to go on, 1 when --help was printed, -1 on a usage
// error (already reported on stderr; the program exits with status 2).
int ParseOptions(int argc, char** argv, Options* out);

}  // namespace zavo_tail
