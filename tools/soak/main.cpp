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

#include "cli_support.h"
#include "soak_api.h"
#include "soak_report.h"
#include "soak_run.h"
#include "support/netns.h"

int main(int argc, char** argv) {
  zavo_soak::SoakOptions o;
  std::string lib = ZAVO_SOAK_LIBRARY;
  std::string workdir;
  CLI::App app(
      "A bounded soak of the client library under injected faults. Runs inside a private\n"
      "network namespace it makes itself; nothing leaves the machine.",
      "zavo_soak");
  app.option_defaults()->always_capture_default();
  app.get_formatter()->column_width(30);
  app.add_option("--seconds", o.seconds, "length of the fault phase")
      ->check(CLI::Range(1, 3600).description(""))
      ->type_name("N");
  app.add_option("--cycles", o.cycles, "open/close cycles afterwards")
      ->check(CLI::Range(0, 100000).description(""))
      ->type_name("N");
  app.add_option("--rate", o.rate, "struct fields published per second")
      ->check(CLI::Range(1u, 1000000u).description(""))
      ->type_name("N");
  app.add_option("--raw-rate", o.raw_rate, "raw messages per second per exchange")
      ->check(CLI::Range(1u, 100000u).description(""))
      ->type_name("N");
  app.add_flag_callback(
      "--no-raw", [&o] { o.raw = false; }, "keep only a struct session open");
  app.add_flag_callback(
      "--no-recover", [&o] { o.recover = false; },
      "no struct session that recovers gaps itself (ZAVO_FLAG_RECOVER_GAPS)");
  app.add_option("--lib", lib, "the client library to load (default: the one built with it)")
      ->type_name("PATH");
  app.add_option("--workdir", workdir, "where the library writes its logs/ (default: here)")
      ->type_name("DIR");
  app.add_flag("--verbose", o.verbose, "echo the simulator's own log");
  const int parsed = zavo::cli::Parse(&app, argc, argv);
  if (parsed >= 0) return parsed;

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
  // The recovering session reads the same group and port as the plain
  // one, in this process: both sockets must share them. Set while no
  // thread exists, before the library is loaded.
  if (o.recover) setenv("ZAVO_SHARE_FEED", "1", 1);
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
  report.Print(zavo_soak::Format(
      "zavo_soak: %d s of faults, %d open/close cycles, %s", o.seconds, o.cycles,
      o.raw ? (o.recover ? "struct, recovering struct and raw sessions" : "struct and raw sessions")
            : (o.recover ? "struct and recovering struct sessions" : "struct session")));
  return report.ok() ? 0 : 1;
}
