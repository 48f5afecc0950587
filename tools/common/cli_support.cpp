#include "cli_support.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "zavo_defaults.h"

namespace zavo {
namespace cli {

bool IsIpv4(const std::string& text) {
  in_addr a;
  return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool ParseUnsigned(const std::string& text, uint64_t* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

bool IsMulticast(const std::string& text) {
  in_addr a;
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  return (ntohl(a.s_addr) >> 28) == 0xE;
}

std::string ParseEndpoint(const std::string& text, unsigned rules, Endpoint* out) {
  const std::string::size_type colon = text.rfind(':');
  const std::string ip = colon == std::string::npos ? text : text.substr(0, colon);
  if (!IsIpv4(ip)) return "'" + text + "' is not IP:PORT with an IPv4 address";
  if ((rules & kMulticast) != 0 && !IsMulticast(ip)) {
    return "'" + ip + "' is not a multicast group (224.0.0.0 to 239.255.255.255)";
  }
  if (colon == std::string::npos) {
    if ((rules & kPortOptional) == 0) return "'" + text + "' has no port (expected IP:PORT)";
    out->ip = ip;
    return "";
  }
  const std::string port = text.substr(colon + 1);
  char* end = nullptr;
  errno = 0;
  const unsigned long v = port.empty() || port[0] == '-' || port[0] == '+'
                              ? 65536
                              : std::strtoul(port.c_str(), &end, 10);
  const bool zero_ok = (rules & kPortZeroOk) != 0;
  if (v > 65535 || errno != 0 || end == nullptr || *end != '\0' || (v == 0 && !zero_ok)) {
    return "'" + port + "' is not a port (" + (zero_ok ? "0" : "1") + " to 65535)";
  }
  out->ip = ip;
  out->port = static_cast<uint16_t>(v);
  return "";
}

std::string ParseGroup(const std::string& text, Endpoint* out) {
  Endpoint e;  // port 0 unless the text names one
  const std::string why = ParseEndpoint(text, kMulticast | kPortOptional, &e);
  if (!why.empty()) return why;
  *out = e;
  return "";
}

uint16_t FeedPort(bool raw) {
  return raw ? ZAVO_DEFAULT_RAW_PORT : ZAVO_DEFAULT_STRUCT_PORT;
}

void ApplyFeedPort(Endpoint* group, bool raw) {
  if (group->port == 0) group->port = FeedPort(raw);
}

CLI::Option* AddGroup(CLI::App* app, const std::string& name, Endpoint* target,
                      const std::string& help) {
  CLI::Option* opt = app->add_option_function<std::string>(
      name,
      [name, target](const std::string& text) {
        const std::string why = ParseGroup(text, target);
        if (!why.empty()) throw CLI::ValidationError(name, why);
      },
      help);
  opt->type_name("IP[:PORT]");
  return opt;
}

bool ParseSeconds(const std::string& text, double max_s, double* out) {
  // Digits with at most one point: no sign, exponent, hex, "inf" or "nan",
  // which strtod would all take.
  bool digit = false, point = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  if (!digit) return false;
  errno = 0;
  const double v = std::strtod(text.c_str(), nullptr);
  if (errno != 0 || !std::isfinite(v) || v > max_s) return false;
  *out = v;
  return true;
}

CLI::Option* AddSeconds(CLI::App* app, const std::string& name, double* target,
                        const std::string& help, double max_s) {
  char bound[32];
  std::snprintf(bound, sizeof(bound), "%.0f", max_s);
  const std::string rule = std::string("seconds from 0 to ") + bound;
  CLI::Option* opt = app->add_option_function<std::string>(
      name,
      [name, target, max_s, rule](const std::string& text) {
        if (!ParseSeconds(text, max_s, target)) {
          throw CLI::ValidationError(name, "'" + text + "' is not a number of " + rule);
        }
      },
      help);
  opt->type_name("SECONDS");
  return opt;
}

CLI::Option* AddEndpoint(CLI::App* app, const std::string& name, Endpoint* target,
                         const std::string& help, unsigned rules) {
  const std::string shown = target->ToString();
  CLI::Option* opt = app->add_option_function<std::string>(
      name,
      [name, target, rules](const std::string& text) {
        const std::string why = ParseEndpoint(text, rules, target);
        if (!why.empty()) throw CLI::ValidationError(name, why);
      },
      help);
  opt->type_name("IP:PORT")->default_str(shown);
  return opt;
}

CLI::Option* AddIpv4(CLI::App* app, const std::string& name, std::string* target,
                     const std::string& help, unsigned rules) {
  CLI::Option* opt = app->add_option(name, *target, help)->type_name("IP");
  opt->check(CLI::Validator(
      [rules](std::string& text) -> std::string {
        if (!IsIpv4(text)) return "'" + text + "' is not an IPv4 address";
        if ((rules & kMulticast) != 0 && !IsMulticast(text)) {
          return "'" + text + "' is not a multicast group";
        }
        return "";
      },
      "", "IPv4"));
  opt->capture_default_str();
  return opt;
}

bool ParseQuiet(CLI::App* app, int argc, const char* const* argv, bool* help, std::string* error) {
  *help = false;
  // CLI11 consumes the arguments in reverse order from a vector.
  std::vector<std::string> args;
  for (int i = argc - 1; i > 0; --i) args.emplace_back(argv[i]);
  try {
    app->parse(args);
  } catch (const CLI::CallForHelp&) {
    *help = true;
  } catch (const CLI::CallForAllHelp&) {
    *help = true;
  } catch (const CLI::ParseError& e) {
    *error = e.what();
    return false;
  }
  return true;
}

int Parse(CLI::App* app, int argc, const char* const* argv) {
  bool help = false;
  std::string error;
  if (!ParseQuiet(app, argc, argv, &help, &error)) {
    std::fprintf(stderr, "%s: %s\n(see %s --help)\n", app->get_name().c_str(), error.c_str(),
                 app->get_name().c_str());
    return kUsageError;
  }
  if (help) {
    std::fputs(app->help().c_str(), stdout);
    return 0;
  }
  return -1;
}

}  // namespace cli
}  // namespace zavo
