// zavo_soak: a bounded soak of the client library under injected faults.
//
// Inside a private network namespace it runs the simulator in-process,
// publishing at a high rate, while one struct-mode and one raw-mode session
// stay open through connection drops, refused logins, garbage on the control
// connection and the feed, gaps, a slow data handler and retransmissions
// caught by a drop; then it opens and closes sessions many times. It checks
// that nothing is left behind, that memory stays bounded, that every
// sequence number was either delivered or reported as a gap, and that the
// log file agrees with what the handlers saw. The figures end the output as
// a table; the exit status is 0 only when every check passed.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "soak_api.h"
#include "soak_report.h"
#include "soak_run.h"
#include "support/netns.h"

namespace {

void usage(std::FILE* out) {
  std::fprintf(out,
               "usage: zavo_soak [options]\n"
               "  --seconds N     length of the fault phase (default 120)\n"
               "  --cycles N      open/close cycles afterwards (default 200)\n"
               "  --rate N        struct fields published per second (default 20000)\n"
               "  --raw-rate N    raw messages per second per exchange (default 500)\n"
               "  --no-raw        keep only a struct session open\n"
               "  --lib PATH      the client library to load (default: the one built with "
               "this program)\n"
               "  --workdir DIR   where the library writes its logs/ (default: current "
               "directory)\n"
               "  --verbose       echo the simulator's own log\n"
               "Runs inside a private network namespace it makes itself; nothing leaves the "
               "machine.\n");
}

bool parse_int(const char* text, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  zavo_soak::SoakOptions o;
  std::string lib = ZAVO_SOAK_LIBRARY;
  std::string workdir;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    long v = 0;
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    } else if (a == "--no-raw") {
      o.raw = false;
    } else if (a == "--verbose") {
      o.verbose = true;
    } else if (a == "--seconds" && has_value && parse_int(argv[i + 1], 1, 3600, &v)) {
      o.seconds = static_cast<int>(v);
      ++i;
    } else if (a == "--cycles" && has_value && parse_int(argv[i + 1], 0, 100000, &v)) {
      o.cycles = static_cast<int>(v);
      ++i;
    } else if (a == "--rate" && has_value && parse_int(argv[i + 1], 1, 1000000, &v)) {
      o.rate = static_cast<unsigned>(v);
      ++i;
    } else if (a == "--raw-rate" && has_value && parse_int(argv[i + 1], 1, 100000, &v)) {
      o.raw_rate = static_cast<unsigned>(v);
      ++i;
    } else if (a == "--lib" && has_value) {
      lib = argv[++i];
    } else if (a == "--workdir" && has_value) {
      workdir = argv[++i];
    } else {
      std::fprintf(stderr, "zavo_soak: bad argument '%s'\n", argv[i]);
      usage(stderr);
      return 2;
    }
  }

  // Before any thread exists: the library's logger thread starts on load.
  std::string why;
  if (!zavo::test::enter_private_netns(&why)) {
    std::fprintf(stderr, "zavo_soak: cannot make a private network namespace: %s\n", why.c_str());
    return 2;
  }
  if (!workdir.empty()) {
    if (mkdir(workdir.c_str(), 0755) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "zavo_soak: cannot create %s: %s\n", workdir.c_str(),
                   std::strerror(errno));
      return 2;
    }
    if (chdir(workdir.c_str()) != 0) {
      std::fprintf(stderr, "zavo_soak: cannot enter %s: %s\n", workdir.c_str(),
                   std::strerror(errno));
      return 2;
    }
  }
  zavo_soak::LibApi api;
  if (!api.Load(lib, &why)) {
    std::fprintf(stderr, "zavo_soak: cannot load %s: %s\n", lib.c_str(), why.c_str());
    return 2;
  }

  zavo_soak::SoakReport report;
  report.Progress("library %s (%s)", api.Version(), lib.c_str());
  {
    zavo_soak::SoakRun run(o, api, &report);
    run.Run();
  }
  report.Print(zavo_soak::Format("zavo_soak: %d s of faults, %d open/close cycles, %s", o.seconds,
                                 o.cycles, o.raw ? "struct and raw sessions" : "struct session"));
  return report.ok() ? 0 : 1;
}
