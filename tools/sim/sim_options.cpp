#include "sim_options.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "cli_support.h"
#include "sim_market.h"
#include "sim_replay.h"

namespace zavo {
namespace sim {

namespace {

using cli::Endpoint;

// Options of the synthetic market that a replay replaces by the recording.
// Giving one with --replay is a usage error rather than a silent no-op.
const char* const kSyntheticOnly[] = {"--mode",    "--rate",   "--raw-rate",
                                      "--raw-len", "--market", "--day-scale"};
// What --market full sets unless given on the command line too.
const char* const kMarketSizes[] = {"--sh",         "--sz",         "--indices",
                                    "--sh-options", "--sz-options", "--futures"};
// Options that only mean something with --replay.
const char* const kReplayOnly[] = {"--speed", "--max", "--loop"};

// Throws the usage error CLI11 reports as "<option>: <why>".
[[noreturn]] void reject(const std::string& option, const std::string& why) {
  throw CLI::ValidationError(option, why);
}

// A probability from 0 to 1.
bool parse_probability(const std::string& text, double* out) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(v >= 0.0 && v <= 1.0)) return false;
  *out = v;
  return true;
}

CLI::Option* add_probability(CLI::App* app, const std::string& name, double* target,
                             const std::string& help) {
  return app
      ->add_option_function<std::string>(
          name,
          [name, target](const std::string& text) {
            if (!parse_probability(text, target)) {
              reject(name, "'" + text + "' is not a probability from 0 to 1");
            }
          },
          help)
      ->type_name("P")
      ->default_str("0");
}

// The faults of the feed and the control connections.
void add_fault_options(CLI::App* app, FaultConfig* f) {
  const char* faults = "Faults (random choices follow --seed, so a run repeats)";
  add_probability(app, "--loss", &f->loss, "lose each feed datagram with probability P")
      ->group(faults);
  app->add_option_function<std::string>(
         "--burst",
         [f](const std::string& s) {
           const size_t colon = s.find(':');
           uint64_t n = 0, m = 0;
           if (colon == std::string::npos || !cli::ParseUnsigned(s.substr(0, colon), &n) ||
               !cli::ParseUnsigned(s.substr(colon + 1), &m) || n < 1 || m <= n || m > 1000000) {
             reject("--burst", "'" + s + "' is not N:M with 1 <= N < M <= 1000000");
           }
           f->burst_lost = static_cast<unsigned>(n);
           f->burst_period = static_cast<unsigned>(m);
         },
         "lose N feed datagrams in a row out of every M")
      ->type_name("N:M")
      ->group(faults);
  add_probability(app, "--duplicate", &f->duplicate, "send a feed datagram twice")->group(faults);
  app->add_option_function<std::string>(
         "--reorder",
         [f](const std::string& s) {
           const size_t colon = s.find(':');
           uint64_t w = f->reorder_window;
           if (!parse_probability(s.substr(0, colon), &f->reorder) ||
               (colon != std::string::npos &&
                (!cli::ParseUnsigned(s.substr(colon + 1), &w) || w < 1 || w > 1000))) {
             reject("--reorder", "'" + s + "' is not P[:W] with P from 0 to 1, W from 1 to 1000");
           }
           f->reorder_window = static_cast<unsigned>(w);
         },
         "hold a feed datagram back behind up to W later ones (W 3 when not given)")
      ->type_name("P[:W]")
      ->default_str("0:3")
      ->group(faults);
  app->add_option("--drop-every", f->drop_every_s,
                  "close every control connection this often (0: never)")
      ->check(CLI::Range(0u, 86400u).description(""))
      ->type_name("SECONDS")
      ->group(faults);
  app->add_option("--retransmit-delay", f->retransmit_delay_ms,
                  "answer retransmission requests this much later")
      ->check(CLI::Range(0u, 600000u).description(""))
      ->type_name("MS")
      ->group(faults);
  add_probability(app, "--retransmit-refuse", &f->retransmit_refuse,
                  "refuse a retransmission request (end record with status 3, no fields)")
      ->group(faults);
}

// A whole number from 0 to max, the bounds shown in --help.
template <class T>
CLI::Option* add_count(CLI::App* app, const std::string& name, T* target, uint64_t max,
                       const std::string& help) {
  return app->add_option(name, *target, help)
      ->check(CLI::Range(static_cast<T>(0), static_cast<T>(max)).description(""))
      ->type_name("N");
}

// Every option is declared here, in its --help group. To add one: a member
// in SimConfig (or SimOptions), one add_option/add_flag line in the right
// group below, and a check in check_combination() if it depends on others
// (an option of the synthetic market only: its name in kSyntheticOnly).
void build_app(CLI::App* app, SimOptions* out) {
  SimConfig& c = out->config;
  app->description(
      "Market-data server simulator: answers logins, sends base information and heartbeats\n"
      "on a TCP control connection, publishes synthetic market data on a multicast feed and\n"
      "answers retransmission requests. Defaults match zavo_tail's.");
  app->option_defaults()->always_capture_default();
  app->get_formatter()->column_width(34);
  app->set_help_flag("-h,--help", "this text");

  const char* net = "Network";
  app->add_option_function<std::string>(
         "--listen",
         [&c](const std::string& text) {
           Endpoint e{c.listen_ip, static_cast<uint16_t>(c.listen_port)};
           const std::string why =
               cli::ParseEndpoint(text, cli::kPortOptional | cli::kPortZeroOk, &e);
           if (!why.empty()) reject("--listen", why);
           c.listen_ip = e.ip;
           c.listen_port = e.port;
         },
         "control connection address (port 0 lets the system choose and prints it)")
      ->type_name("IP:PORT")
      ->default_str(c.listen_ip + ":" + std::to_string(c.listen_port))
      ->group(net);
  // IP:PORT sets the struct feed's port too; a bare IP with --port is the
  // older spelling, still accepted.
  app->add_option_function<std::string>(
         "--group",
         [&c](const std::string& text) {
           Endpoint e{c.group, static_cast<uint16_t>(c.port)};
           const std::string why =
               cli::ParseEndpoint(text, cli::kPortOptional | cli::kMulticast, &e);
           if (!why.empty()) reject("--group", why);
           c.group = e.ip;
           c.port = e.port;
         },
         "multicast group, with the struct feed's port")
      ->type_name("IP[:PORT]")
      ->default_str(c.group + ":" + std::to_string(c.port))
      ->group(net);
  app->add_option("--port", c.port, "struct feed port")
      ->check(CLI::Range(1, 65535).description(""))
      ->type_name("N")
      ->group(net);
  app->add_option("--raw-port", c.raw_port, "raw feed port")
      ->check(CLI::Range(1, 65535).description(""))
      ->type_name("N")
      ->group(net);
  cli::AddIpv4(app, "--interface", &c.interface_ip, "local interface of the feed")->group(net);
  add_count(app, "--ttl", &c.ttl, 255, "multicast time-to-live (0: this host only)")->group(net);
  app->add_option_function<std::string>(
         "--mode",
         [&c](const std::string& text) {
           if (text == "struct")
             c.feed_mode = FeedMode::kStruct;
           else if (text == "raw")
             c.feed_mode = FeedMode::kRaw;
           else if (text == "both")
             c.feed_mode = FeedMode::kBoth;
           else
             reject("--mode", "'" + text + "' is not struct, raw or both");
         },
         "feeds to publish")
      ->type_name("struct|raw|both")
      ->default_str("struct")
      ->group(net);
  app->add_option("--max-datagram", c.max_datagram, "largest datagram in bytes")
      ->check(CLI::Range(1000u, 65000u).description(""))
      ->type_name("N")
      ->group(net);

  const char* login = "Login";
  app->add_option_function<std::vector<std::string>>(
         "--user",
         [&c](const std::vector<std::string>& texts) {
           for (const std::string& s : texts) {
             const size_t colon = s.find(':');
             SimUser u;
             u.user = s.substr(0, colon);
             if (colon != std::string::npos) u.password = s.substr(colon + 1);
             if (u.user.empty() || u.user.size() > 15 || u.password.size() > 31) {
               reject("--user", "'" + s +
                                    "': the name must have 1 to 15 characters, the password "
                                    "at most 31");
             }
             c.users.push_back(u);
           }
         },
         "accept this account (repeatable; default: anybody)")
      ->type_name("NAME[:PASSWORD]")
      ->allow_extra_args(false)
      ->take_all()
      ->group(login);
  app->add_option("--reply", c.login_reply, "text of an accepted login")
      ->check(CLI::Validator(
          [](std::string& s) { return s.size() > 63 ? "at most 63 characters" : ""; }, ""))
      ->type_name("TEXT")
      ->group(login);
  CLI::Option* refuse = app->add_option_function<std::string>(
                               "--refuse",
                               [&c](const std::string& s) {
                                 const size_t colon = s.find(':');
                                 const std::string e = s.substr(0, colon);
                                 errno = 0;
                                 char* end = nullptr;
                                 const long v = std::strtol(e.c_str(), &end, 10);
                                 if (e.empty() || *end != '\0' || errno != 0 || v == 0 ||
                                     v < INT32_MIN || v > INT32_MAX) {
                                   reject("--refuse", "'" + e + "' is not a non-zero error number");
                                 }
                                 c.refuse_error_id = static_cast<int32_t>(v);
                                 if (colon != std::string::npos)
                                   c.refuse_text = s.substr(colon + 1);
                                 if (c.refuse_text.size() > 63)
                                   reject("--refuse", "text of at most 63 characters");
                                 c.login_mode = LoginMode::kRefuse;
                               },
                               "refuse every login with this error")
                            ->type_name("ERRNO:TEXT")
                            ->group(login);
  app->add_flag_callback(
         "--silent-login", [&c] { c.login_mode = LoginMode::kSilent; }, "never answer a login")
      ->excludes(refuse)
      ->group(login);

  const char* market = "Market";
  add_count(app, "--sh", &c.sh_securities, 4000, "Shanghai securities")->group(market);
  add_count(app, "--sz", &c.sz_securities, 4000, "Shenzhen securities")->group(market);
  add_count(app, "--sh-options", &c.sh_options, 2000, "Shanghai options")->group(market);
  add_count(app, "--sz-options", &c.sz_options, 2000, "Shenzhen options")->group(market);
  add_count(app, "--indices", &c.indices, kMaxIndices, "indices, split between the markets")
      ->group(market);
  add_count(app, "--futures", &c.futures, 16, "index futures")->group(market);
  add_count(app, "--seed", &c.seed, UINT64_MAX, "seed of the synthetic market")->group(market);
  app->add_option_function<std::string>(
         "--book-model",
         [&c](const std::string& text) {
           if (text == "on")
             c.book_model = true;
           else if (text == "off")
             c.book_model = false;
           else
             reject("--book-model", "'" + text + "' is not on or off");
         },
         "stocks trade through matching engines, so details and snapshots agree\n"
         "(off: the older random walk, whose details and snapshots are unrelated)")
      ->type_name("on|off")
      ->default_str(c.book_model ? "on" : "off")
      ->group(market);
  app->add_option_function<std::string>(
         "--market",
         [out](const std::string& text) {
           if (text != "default" && text != "full") {
             reject("--market", "'" + text + "' is not default or full");
           }
           out->market = text;
         },
         "full: the real markets' size (about 2300 SH and 2900 SZ securities, 300\n"
         "indices, 1000 options); --sh, --sz, ... given too still count")
      ->type_name("default|full")
      ->default_str("default")
      ->group(market);
  add_count(app, "--rate", &c.rate, 1000000, "market-data fields per second")->group(market);
  app->add_option("--day-scale", c.day_scale,
                  "follow a trading day's rate, busy at the open and the close and quiet at\n"
                  "midday, X times faster than real time (4: a day in one hour); the rate\n"
                  "averages --rate")
      ->check(CLI::Range(0.001, 1000000.0).description(""))
      ->type_name("X")
      ->default_str("off")
      ->group(market);
  add_count(app, "--raw-rate", &c.raw_rate, 100000, "raw messages per second per exchange")
      ->group(market);
  app->add_option_function<std::string>(
         "--raw-len",
         [&c](const std::string& s) {
           const size_t colon = s.find(':');
           uint64_t lo = 0, hi = 0;
           if (colon == std::string::npos || !cli::ParseUnsigned(s.substr(0, colon), &lo) ||
               !cli::ParseUnsigned(s.substr(colon + 1), &hi) || lo < 24 || hi < lo || hi > 60000) {
             reject("--raw-len", "'" + s + "' is not MIN:MAX with 24 <= MIN <= MAX <= 60000");
           }
           c.raw_min_len = static_cast<unsigned>(lo);
           c.raw_max_len = static_cast<unsigned>(hi);
         },
         "raw message length bounds")
      ->type_name("MIN:MAX")
      ->default_str(std::to_string(c.raw_min_len) + ":" + std::to_string(c.raw_max_len))
      ->group(market);
  app->add_option("--history", c.history, "fields kept for retransmission")
      ->check(CLI::Range(1u, 10000000u).description(""))
      ->type_name("N")
      ->group(market);
  app->add_option("--raw-history", c.raw_history, "raw messages kept per exchange")
      ->check(CLI::Range(1u, 1000000u).description(""))
      ->type_name("N")
      ->group(market);

  const char* replay = "Replay (the recording instead of the synthetic market)";
  ReplayOptions& r = out->replay;
  // Struct packets go to --group, raw fragments to --raw-port; requests
  // for retransmission are answered from the fields replayed so far.
  app->add_option("--replay", r.files,
                  "publish these capture files, in order, from the first client login on")
      ->expected(1, -1)
      ->check(CLI::ExistingFile.description(""))
      ->type_name("FILE")
      ->default_str("")
      ->group(replay);
  app->add_option("--speed", r.speed, "X times the recorded pace")
      ->check(CLI::Range(0.001, 1e6).description(""))
      ->type_name("X")
      ->group(replay);
  app->add_flag("--max", r.max, "as fast as possible, without the recorded spacing")->group(replay);
  app->add_flag("--loop", r.loop, "start again after the last file")->group(replay);

  add_fault_options(app, &c.faults);

  const char* run = "Run";
  app->add_option("--duration", out->duration_s, "stop after this time (0: until Ctrl-C)")
      ->check(CLI::Range(0.0, 31536000.0).description(""))
      ->type_name("SECONDS")
      ->group(run);
  app->add_flag_callback(
         "-q,--quiet", [&c] { c.verbose = false; }, "print only the status lines, not each event")
      ->group(run);
}

std::string check_combination(const CLI::App& app, const SimOptions& o) {
  if (o.replay.enabled()) {
    for (const char* name : kSyntheticOnly) {
      if (app.count(name) > 0) {
        return std::string(name) + " does not apply to --replay (the recording is published)";
      }
    }
    if (app.count("--speed") > 0 && o.replay.max) return "--speed and --max exclude each other";
  } else {
    for (const char* name : kReplayOnly) {
      if (app.count(name) > 0) return std::string(name) + " goes with --replay FILE...";
    }
  }
  const SimConfig& c = o.config;
  if (c.port == c.raw_port && c.feed_mode == FeedMode::kBoth) {
    return std::string("the struct and raw feeds need different ports (--port, --raw-port)") +
           (o.replay.enabled() ? ": a replay publishes both" : "");
  }
  if (c.sh_securities + c.sz_securities + c.sh_options + c.sz_options + c.indices + c.futures ==
      0) {
    return "the market is empty: give at least one security, option, index or future";
  }
  return "";
}

}  // namespace

void ApplyFullMarket(SimConfig* c) {
  c->sh_securities = 2300;
  c->sz_securities = 2900;
  c->indices = 300;
  c->sh_options = 500;
  c->sz_options = 500;
  c->futures = 8;
}

std::string SimUsage(const char* program) {
  SimOptions defaults;
  CLI::App app("", program ? program : "zavo_sim");
  build_app(&app, &defaults);
  return app.help();
}

bool ParseSimOptions(int argc, const char* const* argv, SimOptions* out, std::string* error) {
  CLI::App app("", "zavo_sim");
  build_app(&app, out);
  if (!cli::ParseQuiet(&app, argc, argv, &out->help, error)) return false;
  if (out->help) return true;
  if (out->replay.enabled()) ApplyReplayConfig(&out->config);
  if (out->market == "full") {
    // The preset first, then whatever sizes the command line gave.
    SimConfig sized = out->config;
    ApplyFullMarket(&sized);
    SimConfig& c = out->config;
    unsigned* from[] = {&sized.sh_securities, &sized.sz_securities, &sized.indices,
                        &sized.sh_options,    &sized.sz_options,    &sized.futures};
    unsigned* to[] = {&c.sh_securities, &c.sz_securities, &c.indices,
                      &c.sh_options,    &c.sz_options,    &c.futures};
    for (size_t i = 0; i < sizeof kMarketSizes / sizeof kMarketSizes[0]; ++i) {
      if (app.count(kMarketSizes[i]) == 0) *to[i] = *from[i];
    }
  }
  *error = check_combination(app, *out);
  return error->empty();
}

}  // namespace sim
}  // namespace zavo
