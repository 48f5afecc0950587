#pragma once
// Option parsing shared by the command-line programs, on top of CLI11: one
// spelling of addresses (IP:PORT), option names in every error message, and
// one exit status (2) for every usage error.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

namespace zavo {
namespace cli {

// The exit status of a usage error in every program.
constexpr int kUsageError = 2;

struct Endpoint {
  std::string ip;
  uint16_t port = 0;
  std::string ToString() const { return ip + ":" + std::to_string(port); }
};

bool IsIpv4(const std::string& text);
// A decimal number without sign, fitting 64 bits.
bool ParseUnsigned(const std::string& text, uint64_t* out);
bool IsMulticast(const std::string& text);

enum EndpointRule : unsigned {
  kPortRequired = 0,
  kPortOptional = 1,  // a bare IP keeps the current port (older spelling)
  kPortZeroOk = 2,    // port 0: let the system choose
  kMulticast = 4,     // the address must be a multicast group
};

// Parses "IP:PORT" (or "IP" with kPortOptional) into *out. Returns an empty
// string, or what is wrong with the text.
std::string ParseEndpoint(const std::string& text, unsigned rules, Endpoint* out);

// Adds an IP:PORT option writing into *target; a bad value is a usage error
// naming the option. The current value of *target is shown as the default.
CLI::Option* AddEndpoint(CLI::App* app, const std::string& name, Endpoint* target,
                         const std::string& help, unsigned rules = kPortRequired);

// Adds an option taking an IPv4 address (a multicast group with kMulticast).
CLI::Option* AddIpv4(CLI::App* app, const std::string& name, std::string* target,
                     const std::string& help, unsigned rules = 0);

// Parses argv. Returns -1 to go on, 0 when --help was printed on stdout, or
// kUsageError after printing "<program>: <reason>" and a hint on stderr.
int Parse(CLI::App* app, int argc, const char* const* argv);

// Same, but reports the error text instead of printing it: for callers that
// keep their own reporting (and for tests). *help is set for --help.
bool ParseQuiet(CLI::App* app, int argc, const char* const* argv, bool* help, std::string* error);

}  // namespace cli
}  // namespace zavo
