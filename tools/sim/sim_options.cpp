#include "sim_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zavo {
namespace sim {

namespace {

bool parse_uint(const std::string& s, unsigned long long max, unsigned long long* out) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

bool parse_ipv4(const std::string& s) {
  in_addr a;
  return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool is_multicast(const std::string& s) {
  in_addr a;
  if (inet_pton(AF_INET, s.c_str(), &a) != 1) return false;
  uint32_t h = ntohl(a.s_addr);
  return (h >> 28) == 0xE;
}

}  // namespace

std::string SimUsage(const char* program) {
  std::string p = program ? program : "zavo_sim";
  return "Usage: " + p +
         " [options]\n"
         "Market-data server simulator: answers logins, sends base information and\n"
         "heartbeats on a TCP control connection, publishes synthetic market data on a\n"
         "multicast feed and answers retransmission requests.\n"
         "\n"
         "Network:\n"
         "  --listen IP:PORT        control connection address (default 127.0.0.1:6600;\n"
         "                          port 0 lets the system choose and prints it)\n"
         "  --group IP              multicast group (default 239.255.6.1)\n"
         "  --port N                struct feed port (default 6601)\n"
         "  --raw-port N            raw feed port (default 6602)\n"
         "  --interface IP          local interface of the feed (default 127.0.0.1)\n"
         "  --ttl N                 multicast time-to-live (default 0: this host only)\n"
         "  --mode struct|raw|both  feeds to publish (default struct)\n"
         "  --max-datagram N        largest datagram in bytes (default 1400)\n"
         "Login:\n"
         "  --user NAME[:PASSWORD]  accept this account (repeatable; default: anybody)\n"
         "  --reply TEXT            text of an accepted login (default \"SH;SZ\")\n"
         "  --refuse ERRNO:TEXT     refuse every login with this error\n"
         "  --silent-login          never answer a login\n"
         "Market:\n"
         "  --sh N, --sz N          securities per market (default 20 each)\n"
         "  --sh-options N, --sz-options N   options per market (default 8 each)\n"
         "  --indices N             indices, up to 6 (default 4)\n"
         "  --futures N             index futures, up to 16 (default 2)\n"
         "  --seed N                seed of the synthetic market (default 1)\n"
         "  --book-model on|off     stocks trade through matching engines, so details\n"
         "                          and snapshots agree (default on)\n"
         "  --rate N                market-data fields per second (default 1000)\n"
         "  --raw-rate N            raw messages per second per exchange (default 200)\n"
         "  --raw-len MIN:MAX       raw message length bounds (default 24:4096)\n"
         "  --history N             fields kept for retransmission (default 100000)\n"
         "  --raw-history N         raw messages kept per exchange (default 20000)\n"
         "Run:\n"
         "  --duration SECONDS      stop after this time (default: until Ctrl-C)\n"
         "  -q, --quiet             print only the status lines, not each event\n"
         "  -h, --help              this text\n";
}

bool ParseSimOptions(int argc, const char* const* argv, SimOptions* out, std::string* error) {
  SimConfig& c = out->config;
  auto fail = [error](const std::string& why) {
    *error = why;
    return false;
  };
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    std::string val;
    size_t eq = opt.find('=');
    bool has_inline = opt.rfind("--", 0) == 0 && eq != std::string::npos;
    if (has_inline) {
      val = opt.substr(eq + 1);
      opt = opt.substr(0, eq);
    }
    auto flag = [&](const char* name) { return opt == name; };
    auto need = [&](std::string* v) {
      if (has_inline) {
        *v = val;
        return true;
      }
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    auto num = [&](unsigned long long max, unsigned long long* v) {
      std::string s;
      if (!need(&s)) return fail("option " + opt + " needs a value");
      if (!parse_uint(s, max, v)) {
        return fail("option " + opt + ": '" + s + "' is not a number from 0 to " +
                    std::to_string(max));
      }
      return true;
    };
    unsigned long long n = 0;
    std::string s;
    if (flag("-h") || flag("--help")) {
      out->help = true;
    } else if (flag("-q") || flag("--quiet")) {
      c.verbose = false;
    } else if (flag("--listen")) {
      if (!need(&s)) return fail("option --listen needs IP:PORT");
      size_t colon = s.rfind(':');
      std::string ip = colon == std::string::npos ? s : s.substr(0, colon);
      if (!parse_ipv4(ip)) return fail("option --listen: '" + ip + "' is not an IPv4 address");
      c.listen_ip = ip;
      if (colon != std::string::npos) {
        if (!parse_uint(s.substr(colon + 1), 65535, &n)) {
          return fail("option --listen: bad port in '" + s + "'");
        }
        c.listen_port = static_cast<int>(n);
      }
    } else if (flag("--group")) {
      if (!need(&s)) return fail("option --group needs an address");
      if (!is_multicast(s)) return fail("option --group: '" + s + "' is not a multicast address");
      c.group = s;
    } else if (flag("--interface")) {
      if (!need(&s)) return fail("option --interface needs an address");
      if (!parse_ipv4(s)) return fail("option --interface: '" + s + "' is not an IPv4 address");
      c.interface_ip = s;
    } else if (flag("--port")) {
      if (!num(65535, &n)) return false;
      c.port = static_cast<int>(n);
    } else if (flag("--raw-port")) {
      if (!num(65535, &n)) return false;
      c.raw_port = static_cast<int>(n);
    } else if (flag("--ttl")) {
      if (!num(255, &n)) return false;
      c.ttl = static_cast<int>(n);
    } else if (flag("--mode")) {
      if (!need(&s)) return fail("option --mode needs struct, raw or both");
      if (s == "struct") {
        c.feed_mode = FeedMode::kStruct;
      } else if (s == "raw") {
        c.feed_mode = FeedMode::kRaw;
      } else if (s == "both") {
        c.feed_mode = FeedMode::kBoth;
      } else {
        return fail("option --mode: '" + s + "' is not struct, raw or both");
      }
    } else if (flag("--max-datagram")) {
      if (!num(65000, &n)) return false;
      if (n < 1000) return fail("option --max-datagram: at least 1000 bytes are needed");
      c.max_datagram = static_cast<unsigned>(n);
    } else if (flag("--user")) {
      if (!need(&s)) return fail("option --user needs NAME[:PASSWORD]");
      size_t colon = s.find(':');
      SimUser u;
      u.user = s.substr(0, colon);
      if (colon != std::string::npos) u.password = s.substr(colon + 1);
      if (u.user.empty() || u.user.size() > 15 || u.password.size() > 31) {
        return fail(
            "option --user: the name must have 1 to 15 characters, the password at most 31");
      }
      c.users.push_back(u);
    } else if (flag("--reply")) {
      if (!need(&s)) return fail("option --reply needs a text");
      if (s.size() > 63) return fail("option --reply: at most 63 characters");
      c.login_reply = s;
    } else if (flag("--refuse")) {
      if (!need(&s)) return fail("option --refuse needs ERRNO:TEXT");
      size_t colon = s.find(':');
      std::string e = s.substr(0, colon);
      errno = 0;
      char* end = nullptr;
      long v = std::strtol(e.c_str(), &end, 10);
      if (e.empty() || *end != '\0' || errno != 0 || v == 0 || v < INT32_MIN || v > INT32_MAX) {
        return fail("option --refuse: '" + e + "' is not a non-zero error number");
      }
      c.refuse_error_id = static_cast<int32_t>(v);
      if (colon != std::string::npos) c.refuse_text = s.substr(colon + 1);
      if (c.refuse_text.size() > 63) return fail("option --refuse: text of at most 63 characters");
      c.login_mode = LoginMode::kRefuse;
    } else if (flag("--silent-login")) {
      c.login_mode = LoginMode::kSilent;
    } else if (flag("--sh")) {
      if (!num(4000, &n)) return false;
      c.sh_securities = static_cast<unsigned>(n);
    } else if (flag("--sz")) {
      if (!num(4000, &n)) return false;
      c.sz_securities = static_cast<unsigned>(n);
    } else if (flag("--sh-options")) {
      if (!num(2000, &n)) return false;
      c.sh_options = static_cast<unsigned>(n);
    } else if (flag("--sz-options")) {
      if (!num(2000, &n)) return false;
      c.sz_options = static_cast<unsigned>(n);
    } else if (flag("--indices")) {
      if (!num(6, &n)) return false;
      c.indices = static_cast<unsigned>(n);
    } else if (flag("--futures")) {
      if (!num(16, &n)) return false;
      c.futures = static_cast<unsigned>(n);
    } else if (flag("--seed")) {
      if (!num(UINT64_MAX, &n)) return false;
      c.seed = n;
    } else if (flag("--book-model")) {
      if (!need(&s) || (s != "on" && s != "off")) return fail("option --book-model: on or off");
      c.book_model = s == "on";
    } else if (flag("--rate")) {
      if (!num(1000000, &n)) return false;
      c.rate = static_cast<unsigned>(n);
    } else if (flag("--raw-rate")) {
      if (!num(100000, &n)) return false;
      c.raw_rate = static_cast<unsigned>(n);
    } else if (flag("--raw-len")) {
      if (!need(&s)) return fail("option --raw-len needs MIN:MAX");
      size_t colon = s.find(':');
      unsigned long long lo = 0, hi = 0;
      if (colon == std::string::npos || !parse_uint(s.substr(0, colon), 60000, &lo) ||
          !parse_uint(s.substr(colon + 1), 60000, &hi) || lo < 24 || hi < lo) {
        return fail("option --raw-len: '" + s + "' is not MIN:MAX with 24 <= MIN <= MAX <= 60000");
      }
      c.raw_min_len = static_cast<unsigned>(lo);
      c.raw_max_len = static_cast<unsigned>(hi);
    } else if (flag("--history")) {
      if (!num(10000000, &n)) return false;
      if (n == 0) return fail("option --history: at least 1");
      c.history = static_cast<unsigned>(n);
    } else if (flag("--raw-history")) {
      if (!num(1000000, &n)) return false;
      if (n == 0) return fail("option --raw-history: at least 1");
      c.raw_history = static_cast<unsigned>(n);
    } else if (flag("--duration")) {
      if (!need(&s)) return fail("option --duration needs seconds");
      char* end = nullptr;
      errno = 0;
      double d = std::strtod(s.c_str(), &end);
      if (s.empty() || *end != '\0' || errno != 0 || !(d >= 0) || d > 31536000) {
        return fail("option --duration: '" + s + "' is not a number of seconds");
      }
      out->duration_s = d;
    } else {
      return fail("unknown option '" + std::string(argv[i]) + "' (see --help)");
    }
  }
  if (c.port == c.raw_port && c.feed_mode == FeedMode::kBoth) {
    return fail("the struct and raw feeds need different ports (--port, --raw-port)");
  }
  if (c.sh_securities + c.sz_securities + c.sh_options + c.sz_options + c.indices + c.futures ==
      0) {
    return fail("the market is empty: give at least one security, option, index or future");
  }
  return true;
}

}  // namespace sim
}  // namespace zavo
