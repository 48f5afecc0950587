#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zavo_tail {

namespace {

bool parse_u64(const char* s, uint64_t* out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s, &end, 10);
  if (errno != 0 || *end != '\0' || s[0] == '-') return false;
  *out = v;
  return true;
}

bool parse_endpoint(const std::string& text, std::string* ip, uint16_t* port) {
  std::string::size_type colon = text.rfind(':');
  if (colon == std::string::npos) {
    *ip = text;
    return !ip->empty();
  }
  uint64_t p = 0;
  if (!parse_u64(text.c_str() + colon + 1, &p) || p == 0 || p > 65535) return false;
  *port = static_cast<uint16_t>(p);
  if (colon > 0) *ip = text.substr(0, colon);
  return true;
}

bool parse_flags(const std::string& text, uint32_t* flags) {
  uint64_t numeric = 0;
  if (parse_u64(text.c_str(), &numeric)) {
    *flags = static_cast<uint32_t>(numeric);
    return true;
  }
  uint32_t f = 0;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    std::string::size_type end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    if (item == "trade") f |= 2;
    else if (item == "order") f |= 4;
    else if (item == "queue") f |= 8;
    else if (item == "all") f |= 2 | 4 | 8;
    else if (item == "none" || item.empty()) f |= 0;
    else return false;
    start = end + 1;
  }
  *flags = f;
  return true;
}

bool parse_range(const std::string& text, uint64_t* begin, uint64_t* end) {
  std::string::size_type colon = text.find(':');
  if (colon == std::string::npos) return false;
  return parse_u64(text.substr(0, colon).c_str(), begin) &&
         parse_u64(text.substr(colon + 1).c_str(), end);
}

}  // namespace

void PrintUsage(const char* prog) {
  std::printf(
      "Usage: %s [options]\n"
      "Opens a market-data session and prints every record that arrives, one per line.\n"
      "\n"
      "Connection:\n"
      "  --server IP:PORT      control connection of the server (default 127.0.0.1:9700)\n"
      "  --group IP:PORT       multicast group of the feed (default 239.255.77.1:9701)\n"
      "  --interface IP        local interface that joins the group (default 127.0.0.1)\n"
      "  --user NAME           login user (default demo)\n"
      "  --password TEXT       login password (default demo)\n"
      "  --connect-id N        number carried in every message (default 1)\n"
      "  --cpu N               pin the feed's read thread to CPU N (default: not pinned)\n"
      "\n"
      "What to receive:\n"
      "  --raw                 raw mode: the exchanges' own messages instead of records\n"
      "  --markets LIST        e.g. \"SH;SZ\" (default: every market)\n"
      "  --codes LIST          e.g. \"600000.SH;000001.SZ\" (struct mode; default: every code)\n"
      "  --flags LIST          trade,order,queue | all | none | a number (default all)\n"
      "\n"
      "Output:\n"
      "  --format text|csv|json|none   one line per record (default text)\n"
      "  --quiet               same as --format none\n"
      "  --no-status           no status line once a second (on stderr)\n"
      "  --raw-out FILE        raw mode: append each message's bytes to FILE\n"
      "  --summary             print records by kind, gaps and a query of the caches at exit\n"
      "  --query               after the code tables arrive, print them and the last snapshots\n"
      "\n"
      "Replay:\n"
      "  --rebuild BEGIN:END   ask the server to resend sequence numbers BEGIN..END-1\n"
      "  --rebuild-market SH|SZ  raw mode: the exchange to replay (default SH)\n"
      "\n"
      "Running time:\n"
      "  --duration SECONDS    stop after this long (default: until Ctrl-C)\n"
      "  --max-records N       stop after N records\n"
      "  -h, --help            this text\n",
      prog);
}

int ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value (see --help)\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    const char* v = nullptr;
    uint64_t n = 0;
    if (arg == "-h" || arg == "--help") {
      PrintUsage(argv[0]);
      return 1;
    } else if (arg == "--server") {
      if (!(v = value("--server"))) return -1;
      if (!parse_endpoint(v, &o->server_ip, &o->server_port)) {
        std::fprintf(stderr, "--server: expected IP:PORT, got \"%s\"\n", v);
        return -1;
      }
    } else if (arg == "--group") {
      if (!(v = value("--group"))) return -1;
      if (!parse_endpoint(v, &o->group_ip, &o->group_port)) {
        std::fprintf(stderr, "--group: expected IP:PORT, got \"%s\"\n", v);
        return -1;
      }
    } else if (arg == "--interface") {
      if (!(v = value("--interface"))) return -1;
      o->interface_ip = v;
    } else if (arg == "--user") {
      if (!(v = value("--user"))) return -1;
      o->user = v;
    } else if (arg == "--password") {
      if (!(v = value("--password"))) return -1;
      o->password = v;
    } else if (arg == "--connect-id") {
      if (!(v = value("--connect-id"))) return -1;
      if (!parse_u64(v, &n) || n > 0x7fffffff) {
        std::fprintf(stderr, "--connect-id: expected a number, got \"%s\"\n", v);
        return -1;
      }
      o->connect_id = static_cast<int>(n);
    } else if (arg == "--cpu") {
      if (!(v = value("--cpu"))) return -1;
      if (!parse_u64(v, &n) || n > 1023) {
        std::fprintf(stderr, "--cpu: expected a CPU number 0..1023, got \"%s\"\n", v);
        return -1;
      }
      o->cpu = static_cast<int>(n);
    } else if (arg == "--raw") {
      o->raw = true;
    } else if (arg == "--markets") {
      if (!(v = value("--markets"))) return -1;
      o->markets = v;
    } else if (arg == "--codes") {
      if (!(v = value("--codes"))) return -1;
      o->codes = v;
    } else if (arg == "--flags") {
      if (!(v = value("--flags"))) return -1;
      if (!parse_flags(v, &o->flags)) {
        std::fprintf(stderr, "--flags: expected trade,order,queue|all|none or a number, got \"%s\"\n", v);
        return -1;
      }
    } else if (arg == "--format") {
      if (!(v = value("--format"))) return -1;
      std::string f = v;
      if (f == "text") o->format = OutputFormat::kText;
      else if (f == "csv") o->format = OutputFormat::kCsv;
      else if (f == "json") o->format = OutputFormat::kJson;
      else if (f == "none") o->format = OutputFormat::kNone;
      else {
        std::fprintf(stderr, "--format: expected text, csv, json or none, got \"%s\"\n", v);
        return -1;
      }
    } else if (arg == "--quiet") {
      o->format = OutputFormat::kNone;
    } else if (arg == "--no-status") {
      o->status = false;
    } else if (arg == "--raw-out") {
      if (!(v = value("--raw-out"))) return -1;
      o->raw_out = v;
    } else if (arg == "--summary") {
      o->summary = true;
    } else if (arg == "--query") {
      o->query = true;
    } else if (arg == "--rebuild") {
      if (!(v = value("--rebuild"))) return -1;
      if (!parse_range(v, &o->rebuild_begin, &o->rebuild_end) || o->rebuild_begin >= o->rebuild_end) {
        std::fprintf(stderr, "--rebuild: expected BEGIN:END with BEGIN < END, got \"%s\"\n", v);
        return -1;
      }
      o->rebuild = true;
    } else if (arg == "--rebuild-market") {
      if (!(v = value("--rebuild-market"))) return -1;
      std::string m = v;
      if (m == "SH" || m == "sh" || m == "1") o->rebuild_market = '1';
      else if (m == "SZ" || m == "sz" || m == "2") o->rebuild_market = '2';
      else {
        std::fprintf(stderr, "--rebuild-market: expected SH or SZ, got \"%s\"\n", v);
        return -1;
      }
    } else if (arg == "--duration") {
      if (!(v = value("--duration"))) return -1;
      char* end = nullptr;
      double d = std::strtod(v, &end);
      if (end == v || *end != '\0' || d < 0) {
        std::fprintf(stderr, "--duration: expected seconds, got \"%s\"\n", v);
        return -1;
      }
      o->duration_s = d;
    } else if (arg == "--max-records") {
      if (!(v = value("--max-records"))) return -1;
      if (!parse_u64(v, &o->max_records)) {
        std::fprintf(stderr, "--max-records: expected a number, got \"%s\"\n", v);
        return -1;
      }
    } else {
      std::fprintf(stderr, "unknown option \"%s\" (see --help)\n", arg.c_str());
      return -1;
    }
  }
  return 0;
}

}  // namespace zavo_tail
