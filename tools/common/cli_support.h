#pragma once
// Option parsing shared by the command-line programs, on top of CLI11: one
// spelling of addresses (IP:PORT), option names in every error message, and
// one exit status (2) for every usage error.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

#include "exit_status.h"

namespace zavo {
namespace cli {

// The exit status of a usage error in every program (see exit_status.h).
constexpr int kUsageError = kExitUsage;

struct Endpoint {
  std::string ip;
  uint16_t port = 0;
  std::string ToString() const { return ip + ":" + std::to_string(port); }
};

bool IsIpv4(const std::string& text);
// A decimal number without sign, fitting 64 bits.
bool ParseUnsigned(const std::string& text, uint64_t* out);
bool IsMulticast(const std::string& text);
// A number of seconds as the programs' --duration take it: a year at most.
constexpr double kMaxSeconds = 365.0 * 24 * 3600;
// Parses a plain decimal number of seconds (no sign, no exponent, no "inf")
// from 0 to max_s.
bool ParseSeconds(const std::string& text, double max_s, double* out);

enum EndpointRule : unsigned {
  kPortRequired = 0,
  kPortOptional = 1,  // a bare IP keeps the current port (older spelling)
  kPortZeroOk = 2,    // port 0: let the system choose
  kMulticast = 4,     // the address must be a multicast group
};

// Parses "IP:PORT" (or "IP" with kPortOptional) into *out. Returns an empty
// string, or what is wrong with the text.
std::string ParseEndpoint(const std::string& text, unsigned rules, Endpoint* out);

// The one spelling of a feed's group in every program: IP:PORT, or a bare
// IP, which takes the default port of the feed (FeedPort). Returns an empty
// string, or what is wrong with the text; *out's port is 0 for a bare IP,
// until the program knows which feed it receives.
std::string ParseGroup(const std::string& text, Endpoint* out);
// The default port of the struct feed, or of the raw feed.
uint16_t FeedPort(bool raw);
// Gives a group parsed without a port the feed's default port.
void ApplyFeedPort(Endpoint* group, bool raw);

// Adds a --group style option (ParseGroup) writing into *target.
CLI::Option* AddGroup(CLI::App* app, const std::string& name, Endpoint* target,
                      const std::string& help);

// Adds an option taking a number of seconds from 0 to max_s (fractions
// allowed); anything else is a usage error that says so in one line.
CLI::Option* AddSeconds(CLI::App* app, const std::string& name, double* target,
                        const std::string& help, double max_s = kMaxSeconds);

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
