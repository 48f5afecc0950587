#include "record_options.h"

#include <arpa/inet.h>

#include <cstdlib>

namespace zavo {
namespace record {

bool ParseEndpoint(const std::string& text, sockaddr_in* out) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 >= text.size()) return false;
  const std::string ip = text.substr(0, colon);
  char* end = nullptr;
  const unsigned long port = std::strtoul(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port == 0 || port > 65535) return false;
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, ip.c_str(), &out->sin_addr) == 1;
}

namespace {

bool parse_number(const char* text, double min, double max, double* out) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= min && v <= max)) return false;
  *out = v;
  return true;
}

}  // namespace

bool ParseRecordOptions(int argc, const char* const* argv, RecordOptions* out, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char** v) {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      *v = argv[++i];
      return true;
    };
    const char* v = nullptr;
    double d = 0;
    if (arg == "-h" || arg == "--help") {
      out->help = true;
    } else if (arg == "--group") {
      sockaddr_in a;
      if (!value(&v)) return false;
      if (!ParseEndpoint(v, &a) || (ntohl(a.sin_addr.s_addr) >> 28) != 14) {
        *error = "--group: expected a multicast IP:PORT, got \"" + std::string(v) + "\"";
        return false;
      }
      out->recorder.groups.push_back(v);
    } else if (arg == "--interface") {
      in_addr a;
      if (!value(&v)) return false;
      if (inet_pton(AF_INET, v, &a) != 1) {
        *error = "--interface: expected an IPv4 address, got \"" + std::string(v) + "\"";
        return false;
      }
      out->recorder.interface_ip = v;
    } else if (arg == "--out") {
      if (!value(&v)) return false;
      out->recorder.out = v;
    } else if (arg == "--rotate-mb") {
      if (!value(&v)) return false;
      if (!parse_number(v, 1, 1 << 20, &d)) {
        *error = "--rotate-mb: expected megabytes from 1, got \"" + std::string(v) + "\"";
        return false;
      }
      out->recorder.rotate_bytes = static_cast<uint64_t>(d * 1024 * 1024);
    } else if (arg == "--rotate-hourly") {
      out->recorder.rotate_hourly = true;
    } else if (arg == "--duration") {
      if (!value(&v)) return false;
      if (!parse_number(v, 0, 1e9, &d)) {
        *error = "--duration: expected seconds, got \"" + std::string(v) + "\"";
        return false;
      }
      out->duration_s = d;
    } else if (arg == "--no-status") {
      out->status = false;
    } else if (arg == "--server" || arg == "--user" || arg == "--password") {
      *error = arg + ": recording the control connection is not available in this version";
      return false;
    } else {
      *error = "unknown option \"" + arg + "\" (see --help)";
      return false;
    }
  }
  if (out->help) return true;
  if (out->recorder.groups.empty()) {
    *error = "at least one --group IP:PORT is needed";
    return false;
  }
  if (out->recorder.out.empty()) {
    *error = "--out FILE is needed";
    return false;
  }
  if (out->recorder.rotate_bytes > 0 && out->recorder.rotate_hourly) {
    *error = "--rotate-mb and --rotate-hourly exclude each other";
    return false;
  }
  return true;
}

std::string RecordUsage(const char* program) {
  return std::string("usage: ") + program +
         " --group IP:PORT [--group IP:PORT]... --out FILE [options]\n"
         "Records every datagram of the multicast groups into a capture file (nanosecond\n"
         "time stamps, Ethernet/IPv4/UDP framing with the true source and destination).\n"
         "\n"
         "  --group IP:PORT     a feed to record: the struct port, the raw port, or both\n"
         "  --interface IP      local interface to join on (default 127.0.0.1)\n"
         "  --out FILE          capture file; with rotation FILE gives FILE.0000.pcap, ...\n"
         "                      (the stem and a four-digit number, then the extension)\n"
         "  --rotate-mb N       start a new file when the current one reaches N MiB\n"
         "  --rotate-hourly     start a new file when the local hour changes\n"
         "  --duration S        stop after S seconds (default: until Ctrl-C or SIGTERM)\n"
         "  --no-status         no status line per second\n"
         "  -h, --help          this text\n"
         "\n"
         "The groups are joined with address reuse: sessions that should take the same feed\n"
         "on this host run with ZAVO_SHARE_FEED=1. Ctrl-C or SIGTERM flushes and closes.\n";
}

}  // namespace record
}  // namespace zavo
