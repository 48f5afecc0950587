#include "options.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace zavo_tail {

namespace {

using zavo::cli::Endpoint;

const uint32_t kAllFlags = 2 | 4 | 8;

bool parse_flags(const std::string& text, uint32_t* flags) {
  uint64_t numeric = 0;
  if (zavo::cli::ParseUnsigned(text, &numeric)) {
    if (numeric > 0xffffffffu) return false;
    *flags = static_cast<uint32_t>(numeric);
    return true;
  }
  uint32_t f = 0;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    std::string::size_type end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    if (item == "trade")
      f |= 2;
    else if (item == "order")
      f |= 4;
    else if (item == "queue")
      f |= 8;
    else if (item == "all")
      f |= kAllFlags;
    else if (item != "none" && !item.empty())
      return false;
    start = end + 1;
  }
  *flags = f;
  return true;
}

bool parse_range(const std::string& text, uint64_t* begin, uint64_t* end) {
  const std::string::size_type colon = text.find(':');
  if (colon == std::string::npos) return false;
  return zavo::cli::ParseUnsigned(text.substr(0, colon), begin) &&
         zavo::cli::ParseUnsigned(text.substr(colon + 1), end) && *begin < *end;
}

// "600000.SH" -> 600000 and '1'; a bare code goes by its first digit, as
// the two exchanges number their stocks (6 and 9 Shanghai, others
// Shenzhen).
bool parse_book_code(const std::string& text, std::string* code, char* exchange) {
  const std::string::size_type dot = text.find('.');
  const std::string c = text.substr(0, dot);
  if (c.empty() || c.size() > 15) return false;
  if (dot == std::string::npos) {
    *exchange = (c[0] == '6' || c[0] == '9') ? '1' : '2';
  } else {
    std::string m = text.substr(dot + 1);
    for (char& ch : m) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
    if (m == "SH") {
      *exchange = '1';
    } else if (m == "SZ") {
      *exchange = '2';
    } else {
      return false;
    }
  }
  *code = c;
  return true;
}

std::vector<std::string> list_items(const std::string& text) {
  // As the library splits its lists: empty items are dropped.
  std::vector<std::string> items;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    std::string::size_type end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

bool is_market(std::string m) {
  for (char& ch : m) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
  return m == "SH" || m == "SZ";
}

// The session refuses a list that breaks these rules with nothing but
// "invalid settings"; here the user learns which item and why.
const char kMarketsRule[] = "the list is SH and/or SZ separated by ';', e.g. \"SH;SZ\"";
const char kCodesRule[] =
    "the list is CODE.SH or CODE.SZ items separated by ';', e.g. \"600001.SH;000001.SZ\"";

std::string check_markets(const std::string& text) {
  if (text.empty()) return "";
  const std::vector<std::string> items = list_items(text);
  if (items.empty()) return "'" + text + "' names no market; " + kMarketsRule;
  for (const std::string& m : items) {
    if (!is_market(m)) return "'" + m + "' is not a market; " + kMarketsRule;
  }
  return "";
}

std::string check_codes(const std::string& text) {
  if (text.empty()) return "";
  const std::vector<std::string> items = list_items(text);
  if (items.empty()) return "'" + text + "' names no code; " + kCodesRule;
  for (const std::string& item : items) {
    const std::string::size_type dot = item.find('.');
    if (item.find(',') != std::string::npos) {
      return "'" + item + "' holds a ','; " + kCodesRule;
    }
    if (dot == std::string::npos) return "'" + item + "' has no market; " + kCodesRule;
    if (dot == 0) return "'" + item + "' has no code; " + kCodesRule;
    if (!is_market(item.substr(dot + 1))) {
      return "'" + item.substr(dot + 1) + "' in '" + item + "' is not a market; " + kCodesRule;
    }
  }
  return "";
}

// Options that only one mode reads. Giving one in the other mode is a usage
// error rather than a silent no-op.
const std::vector<const char*> kStructOnly = {"--codes",      "--flags",   "--query", "--book",
                                              "--book-check", "--recover", "--stats"};
const std::vector<const char*> kRawOnly = {"--raw-out", "--rebuild-market"};
// Options of a live session, which --pcap does not open.
const std::vector<const char*> kLiveOnly = {
    "--server", "--interface", "--user",    "--password", "--connect-id",
    "--cpu",    "--query",     "--rebuild", "--duration", "--rebuild-market",
    "--status", "--recover",   "--stats"};

// Every option is declared here. To add one: a member in Options, one
// add_option/add_flag line below (in the group it belongs to), and, if it
// applies to one mode only, its name in kStructOnly or kRawOnly (in
// kLiveOnly if --pcap has no use for it).
void build_app(CLI::App* app, Options* o) {
  app->description(
      "Opens a market-data session and prints every record that arrives, one per line.\n"
      "Defaults match zavo_sim's, so `zavo_sim &` then `zavo_tail` shows its feed.");
  app->option_defaults()->always_capture_default();
  app->get_formatter()->column_width(34);

  const char* conn = "Connection";
  zavo::cli::AddEndpoint(app, "--server", &o->server, "control connection of the server")
      ->group(conn);
  zavo::cli::AddGroup(
      app, "--group", &o->group,
      "multicast group of the feed (no port: " + std::to_string(ZAVO_DEFAULT_STRUCT_PORT) +
          " struct, " + std::to_string(ZAVO_DEFAULT_RAW_PORT) + " raw)")
      ->default_str(std::string(ZAVO_DEFAULT_GROUP_IP) + ":" +
                    std::to_string(ZAVO_DEFAULT_STRUCT_PORT))
      ->group(conn);
  zavo::cli::AddIpv4(app, "--interface", &o->interface_ip, "local interface that joins the group")
      ->group(conn);
  app->add_option("--user", o->user, "login user")->type_name("NAME")->group(conn);
  app->add_option("--password", o->password, "login password")->type_name("TEXT")->group(conn);
  app->add_option("--connect-id", o->connect_id, "number carried in every message")
      ->check(CLI::Range(0, 0x7fffffff).description(""))
      ->type_name("N")
      ->group(conn);
  app->add_option("--cpu", o->cpu, "pin the feed's read thread to CPU N (-1: not pinned)")
      ->check(CLI::Range(-1, 1023).description(""))
      ->type_name("N")
      ->group(conn);

  const char* what = "What to receive";
  app->add_flag("--raw", o->raw, "raw mode: the exchanges' own messages instead of records")
      ->group(what);
  app->add_option_function<std::string>(
         "--markets",
         [o](const std::string& text) {
           const std::string why = check_markets(text);
           if (!why.empty()) throw CLI::ValidationError("--markets", why);
           o->markets = text;
         },
         "e.g. \"SH;SZ\" (empty: every market)")
      ->type_name("LIST")
      ->group(what);
  app->add_option_function<std::string>(
         "--codes",
         [o](const std::string& text) {
           const std::string why = check_codes(text);
           if (!why.empty()) throw CLI::ValidationError("--codes", why);
           o->codes = text;
         },
         "struct mode: e.g. \"600001.SH;000001.SZ\"; a market named here delivers "
         "only its listed codes (empty: every code)")
      ->type_name("LIST")
      ->group(what);
  app->add_option_function<std::string>(
         "--flags",
         [o](const std::string& text) {
           if (!parse_flags(text, &o->flags)) {
             throw CLI::ValidationError("--flags", "'" + text +
                                                       "' is not a list of trade, order, "
                                                       "queue, all, none, or a number");
           }
         },
         "struct mode: details to deliver, trade,order,queue | all | none | a number")
      ->type_name("LIST")
      ->default_str("all")
      ->group(what);

  const char* out = "Output";
  app->add_option_function<std::string>(
         "--format",
         [o](const std::string& text) {
           if (text == "text")
             o->format = OutputFormat::kText;
           else if (text == "csv")
             o->format = OutputFormat::kCsv;
           else if (text == "json")
             o->format = OutputFormat::kJson;
           else if (text == "none")
             o->format = OutputFormat::kNone;
           else
             throw CLI::ValidationError("--format",
                                        "'" + text + "' is not text, csv, json or none");
         },
         "one line per record; csv starts each kind with a header line of its columns")
      ->type_name("text|csv|json|none")
      ->default_str("text")
      ->group(out);
  app->add_flag_callback(
         "--quiet", [o] { o->format = OutputFormat::kNone; }, "same as --format none")
      ->group(out);
  CLI::Option* status =
      app->add_flag_callback(
             "--status", [o] { o->status = Options::Status::kOn; },
             "status line once a second on stderr even when stderr is not a terminal")
          ->group(out);
  app->add_flag_callback(
         "--no-status", [o] { o->status = Options::Status::kOff; }, "no status line at all")
      ->excludes(status)
      ->group(out);
  app->add_option("--raw-out", o->raw_out, "raw mode: append each message's bytes to FILE")
      ->type_name("FILE")
      ->group(out);
  app->add_flag("--summary", o->summary,
                "at exit: records by kind, sequence holes and a query of the caches")
      ->group(out);
  app->add_flag("--recover", o->recover,
                "struct mode: the library asks the server for what the feed lost, delivers it in "
                "order and reports what it cannot recover (lost ranges); implies --stats")
      ->group(out);
  app->add_flag("--stats", o->stats,
                "struct mode: the library's feed-health counters in the status line, the summary "
                "and (--format json) a feed_stats line a second")
      ->group(out);
  app->add_flag("--query", o->query,
                "struct mode: print the code tables and last snapshots once they arrive")
      ->group(out);

  const char* book = "Order books (struct mode)";
  app->add_option_function<std::string>(
         "--book",
         [o](const std::string& text) {
           if (!parse_book_code(text, &o->book_code, &o->book_exchange)) {
             throw CLI::ValidationError("--book", "'" + text +
                                                      "' is not a code such as 600000.SH or "
                                                      "000001.SZ");
           }
         },
         "ladder of ten levels a side of one stock, rebuilt from the order and trade\n"
         "details and redrawn in place (a JSON line per change with --format json)")
      ->type_name("CODE[.SH|.SZ]")
      ->group(book);
  app->add_flag("--book-check", o->book_check,
                "compare every snapshot with the books built from the details; prints\n"
                "\"book/snapshot agreement: N of M snapshots\" on stderr once a second and "
                "at exit")
      ->group(book);

  const char* replay = "Replay";
  app->add_option_function<std::string>(
         "--rebuild",
         [o](const std::string& text) {
           if (!parse_range(text, &o->rebuild_begin, &o->rebuild_end)) {
             throw CLI::ValidationError("--rebuild",
                                        "'" + text + "' is not BEGIN:END with BEGIN < END");
           }
           o->rebuild = true;
         },
         "ask the server to resend sequence numbers BEGIN..END-1")
      ->type_name("BEGIN:END")
      ->group(replay);
  app->add_option_function<std::string>(
         "--rebuild-market",
         [o](const std::string& text) {
           if (text == "SH" || text == "sh" || text == "1") {
             o->rebuild_market = '1';
           } else if (text == "SZ" || text == "sz" || text == "2") {
             o->rebuild_market = '2';
           } else {
             throw CLI::ValidationError("--rebuild-market", "'" + text + "' is not SH or SZ");
           }
         },
         "raw mode: the exchange to replay")
      ->type_name("SH|SZ")
      ->default_str("SH")
      ->group(replay);

  const char* offline = "Offline";
  app->add_option("--pcap", o->pcap,
                  "decode this capture file instead of opening a session (with --group: only "
                  "that group's datagrams)")
      ->check(CLI::ExistingFile.description(""))
      ->type_name("FILE")
      ->group(offline);

  const char* run = "Running time";
  zavo::cli::AddSeconds(app, "--duration", &o->duration_s,
                        "stop after this many seconds (0: until Ctrl-C)")
      ->default_str("0")
      ->group(run);
  app->add_option_function<std::string>(
         "--max-records",
         [o](const std::string& text) {
           if (!zavo::cli::ParseUnsigned(text, &o->max_records)) {
             throw CLI::ValidationError("--max-records", "'" + text + "' is not a count");
           }
         },
         "stop after exactly N records (0: no limit)")
      ->type_name("N")
      ->default_str("0")
      ->group(run);
}

// Rejects options that the chosen mode would ignore.
std::string check_modes(const CLI::App& app, const Options& o) {
  if (!o.pcap.empty()) {
    for (const char* name : kLiveOnly) {
      if (app.count(name) > 0) return std::string(name) + " does not apply to --pcap";
    }
  }
  const auto& names = o.raw ? kStructOnly : kRawOnly;
  for (const char* name : names) {
    if (app.count(name) > 0) {
      return std::string(name) + " does not apply to " + (o.raw ? "raw" : "struct") + " mode" +
             (o.raw ? "" : " (add --raw)");
    }
  }
  if (!o.book_code.empty() && o.format == OutputFormat::kCsv) {
    return "--book shows the ladder as text or as JSON lines, not as CSV";
  }
  return "";
}

}  // namespace

bool Options::Filtered() const {
  if (raw) return false;  // each exchange keeps its own sequence; markets pick whole streams
  if (!codes.empty() || (flags & kAllFlags) != kAllFlags) return true;
  // Both markets, in whatever spelling, leave nothing out.
  bool sh = false, sz = false, other = false;
  std::string::size_type start = 0;
  while (start <= markets.size()) {
    std::string::size_type end = markets.find(';', start);
    if (end == std::string::npos) end = markets.size();
    const std::string m = markets.substr(start, end - start);
    if (m == "SH")
      sh = true;
    else if (m == "SZ")
      sz = true;
    else if (!m.empty())
      other = true;
    start = end + 1;
  }
  if (markets.empty() || (!sh && !sz && !other)) return false;
  return !(sh && sz);
}

int ParseOptions(int argc, char** argv, Options* o) {
  CLI::App app("", "zavo_tail");
  build_app(&app, o);
  const int rc = zavo::cli::Parse(&app, argc, argv);
  if (rc == 0) return 1;
  if (rc > 0) return -1;
  const std::string why = check_modes(app, *o);
  if (!why.empty()) {
    std::fprintf(stderr, "zavo_tail: %s\n(see zavo_tail --help)\n", why.c_str());
    return -1;
  }
  o->pcap_by_group = !o->pcap.empty() && app.count("--group") > 0;
  zavo::cli::ApplyFeedPort(&o->group, o->raw);
  return 0;
}

}  // namespace zavo_tail
