#include "record_options.h"

#include <vector>

#include "cli_support.h"
#include "zavo_defaults.h"
#include "zstd_input.h"

namespace zavo {
namespace record {

namespace {

std::vector<std::string> default_groups() {
  const std::string group = ZAVO_DEFAULT_GROUP_IP;
  return {group + ":" + std::to_string(ZAVO_DEFAULT_STRUCT_PORT),
          group + ":" + std::to_string(ZAVO_DEFAULT_RAW_PORT)};
}

// Every option is declared here: a member in RecordOptions (or
// RecorderConfig), one add_option/add_flag line, and a check below the
// parse if it depends on others.
void build_app(CLI::App* app, RecordOptions* o) {
  app->description(
      "Records every datagram of the multicast groups into a capture file: nanosecond time\n"
      "stamps, Ethernet/IPv4/UDP framing with the true source and destination. The groups\n"
      "are joined with address reuse: sessions that should take the same feed on this host\n"
      "run with ZAVO_SHARE_FEED=1. Ctrl-C or SIGTERM flushes and closes the file.");
  app->option_defaults()->always_capture_default();
  app->get_formatter()->column_width(30);
  app->set_help_flag("-h,--help", "this text");

  RecorderConfig& r = o->recorder;
  std::string shown;
  for (const std::string& g : default_groups()) shown += (shown.empty() ? "" : " ") + g;
  app->add_option_function<std::vector<std::string>>(
         "--group",
         [&r](const std::vector<std::string>& texts) {
           for (const std::string& text : texts) {
             cli::Endpoint e;
             const std::string why = cli::ParseGroup(text, &e);
             if (!why.empty()) throw CLI::ValidationError("--group", why);
             // The recorder takes any feed; a bare group means the struct
             // feed's port, as everywhere outside raw mode.
             cli::ApplyFeedPort(&e, false);
             r.groups.push_back(e.ToString());
           }
         },
         "a feed to record (repeatable; no port: " + std::to_string(ZAVO_DEFAULT_STRUCT_PORT) + ")")
      ->type_name("IP[:PORT]")
      ->allow_extra_args(false)
      ->default_str(shown);
  cli::AddIpv4(app, "--interface", &r.interface_ip, "local interface that joins the groups");
  app->add_option("--out", r.out, "capture file (rotated: FILE.0000.pcap, FILE.0001.pcap, ...)")
      ->required()
      ->type_name("FILE");
  app->add_flag("--compress", r.compress,
                "write zstd-compressed files (FILE.zst; a FILE ending in .zst implies it), "
                "complete up to the last second when the recorder is killed");
  app->add_flag("--force", r.overwrite,
                "replace FILE when it exists (without: refused; later files of a rotation "
                "never replace one)");
  CLI::Option* mb =
      app->add_option_function<unsigned>(
             "--rotate-mb", [&r](const unsigned& n) { r.rotate_bytes = uint64_t{n} << 20; },
             "start a new file when the current one reaches N MiB")
          ->check(CLI::Range(1u, 1u << 20).description(""))
          ->type_name("N");
  app->add_flag("--rotate-hourly", r.rotate_hourly, "start a new file when the local hour changes")
      ->excludes(mb);
  app->add_option("--duration", o->duration_s, "stop after this time (0: until Ctrl-C)")
      ->check(CLI::Range(0.0, 1e9).description(""))
      ->type_name("SECONDS");
  app->add_flag_callback(
      "--no-status", [o] { o->status = false; }, "no status line per second");
  // Recording the control connection as well is not there yet: say so
  // rather than calling the options unknown.
  for (const char* name : {"--server", "--user", "--password"}) {
    app->add_option_function<std::string>(
           name,
           [name](const std::string&) {
             throw CLI::ValidationError(name, "recording the control connection is not available");
           })
        ->group("");
  }
}

}  // namespace

bool ParseRecordOptions(int argc, const char* const* argv, RecordOptions* out, std::string* error) {
  CLI::App app("", "zavo_record");
  build_app(&app, out);
  if (!cli::ParseQuiet(&app, argc, argv, &out->help, error)) return false;
  if (out->help) return true;
  if (out->recorder.groups.empty()) out->recorder.groups = default_groups();
  RecorderConfig& r = out->recorder;
  const std::string zst = ".zst";
  const bool zst_name =
      r.out.size() > zst.size() && r.out.compare(r.out.size() - zst.size(), zst.size(), zst) == 0;
  // The name says what the file holds, whichever of the two was given.
  if (zst_name) r.compress = true;
  if (r.compress && !zst_name) r.out += zst;
  if (r.compress && !ZstdSupported()) {
    *error = "--compress: this build has no zstd compression (install libzstd-dev and rebuild)";
    return false;
  }
  return true;
}

std::string RecordUsage(const char* program) {
  RecordOptions defaults;
  CLI::App app("", program ? program : "zavo_record");
  build_app(&app, &defaults);
  return app.help();
}

}  // namespace record
}  // namespace zavo
