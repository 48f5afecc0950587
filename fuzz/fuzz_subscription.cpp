// The subscription and market texts a user hands the library: the open-time
// market and code lists, then a sequence of subscription updates in every
// mode, each followed by matching probes; and the text arguments of the
// code-table and option queries.
//
// The input is a list of lines. Line 1 is the market list, line 2 the code
// list; every further line is an update whose first byte picks the mode
// (one outside 0..3 included) and whose rest is the code list. A line that
// is exactly "\x01" stands for a null text. The same lines then go to the
// code-table queries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/code_info_db.h"
#include "api/subscription_manager.h"
#include "fuzz_records.h"

using namespace zavo;

namespace {

using State = SubscriptionManager::State;

const char* text_of(const std::string& line) {
  return line == "\x01" ? nullptr : line.c_str();
}

bool matches(const SubscriptionManager& m, const SecurityCode& key) {
  // Both doors must agree: the per-thread cached matcher and the snapshot.
  const bool via_cache = m.IsMatchSysCode(key.exchange, key.code, sizeof key.code);
  ZAVO_FUZZ_CHECK(via_cache == SubscriptionManager::Matches(*m.Current(), key));
  return via_cache;
}

// The market-wide states and the answer for exchanges other than 1 and 2.
void check_consistent(const SubscriptionManager& m, const std::vector<SecurityCode>& probes) {
  const auto snap = m.Current();
  for (unsigned char ex : {1, 2}) {
    const State s = m.StateOf(ex);
    const SubscriptionManager::Filter& f = snap->filters[ex - 1];
    ZAVO_FUZZ_CHECK(s == (f.flag ? (f.codes.empty() ? State::kAll : State::kOnly)
                                 : (f.codes.empty() ? State::kNone : State::kAllExcept)));
    for (const SecurityCode& key : f.codes) ZAVO_FUZZ_CHECK(key.exchange == ex);
  }
  const bool whole = m.StateOf(1) == State::kAll || m.StateOf(1) == State::kAllExcept ||
                     m.StateOf(2) == State::kAll || m.StateOf(2) == State::kAllExcept;
  for (unsigned char other : {0, 3, 255}) {
    ZAVO_FUZZ_CHECK(m.IsMatchSysCode(other, "600000") == whole);
  }
  for (const SecurityCode& key : probes) {
    const State s = m.StateOf(key.exchange);
    const bool hit = matches(m, key);
    if (s == State::kAll) ZAVO_FUZZ_CHECK(hit);
    if (s == State::kNone) ZAVO_FUZZ_CHECK(!hit);
  }
}

void check_update(SubscriptionManager& m, int mode, const char* codes,
                  std::vector<SecurityCode>& probes) {
  CodeListMap parsed;
  const bool parsable = SubscriptionManager::ParseCodeList(codes, parsed);
  if (codes == nullptr) ZAVO_FUZZ_CHECK(!parsable && parsed.empty());
  for (const auto& entry : parsed) {
    ZAVO_FUZZ_CHECK(entry.first == 1 || entry.first == 2);
    for (const SecurityCode& key : entry.second) {
      ZAVO_FUZZ_CHECK(key.exchange == entry.first);
      // Canonical: nothing follows the first zero byte.
      bool ended = false;
      for (char c : key.code) {
        if (ended) ZAVO_FUZZ_CHECK(c == '\0');
        ended = ended || c == '\0';
      }
      for (char c : key.code) ZAVO_FUZZ_CHECK(c < 'a' || c > 'z');
      if (probes.size() < 64) probes.push_back(key);
    }
  }
  std::vector<bool> before;
  for (const SecurityCode& key : probes) before.push_back(matches(m, key));
  const auto old_snap = m.Current();

  const bool known_mode = mode >= ZAVO_SUBSCRIBE_ALL && mode <= ZAVO_SUBSCRIBE_REMOVE;
  ZAVO_ERROR rc = ZAVO_ERR_INVALID;
  if (known_mode) {
    rc = m.UpdateSubscription(static_cast<ZAVO_SUBSCRIPTION_UPDATE>(mode), codes);
  } else {
    // A mode no enumerator names cannot be held in the enum type here; it
    // takes the same two steps, parse then apply.
    CodeListMap again;
    rc = SubscriptionManager::ParseCodeList(codes, again) ? ZAVO_SUCCESS : ZAVO_ERR_INVALID;
    if (rc == ZAVO_SUCCESS) m.ApplyUpdate(mode, again);
  }
  if (mode == ZAVO_SUBSCRIBE_ALL) {
    ZAVO_FUZZ_CHECK(rc == ZAVO_SUCCESS);
  } else {
    ZAVO_FUZZ_CHECK(rc == (parsable ? ZAVO_SUCCESS : ZAVO_ERR_INVALID));
  }
  if (rc != ZAVO_SUCCESS || !known_mode) {
    // A refused update (or one of no known mode) changes nothing at all.
    ZAVO_FUZZ_CHECK(m.Current() == old_snap);
    check_consistent(m, probes);
    return;
  }
  const auto listed = [&](const SecurityCode& key) {
    const auto e = parsed.find(key.exchange);
    return e != parsed.end() && e->second.count(key) != 0;
  };
  for (size_t i = 0; i < before.size(); ++i) {
    const SecurityCode& key = probes[i];
    const bool hit = matches(m, key);
    switch (mode) {
      case ZAVO_SUBSCRIBE_ALL:
        ZAVO_FUZZ_CHECK(hit);
        break;
      case ZAVO_SUBSCRIBE_REPLACE:
        ZAVO_FUZZ_CHECK(hit == listed(key));
        break;
      case ZAVO_SUBSCRIBE_ADD:
        // Adds what is listed and takes nothing away.
        ZAVO_FUZZ_CHECK(hit == (before[i] || listed(key)));
        break;
      case ZAVO_SUBSCRIBE_REMOVE:
        // Removes what is listed and adds nothing.
        ZAVO_FUZZ_CHECK(hit == (before[i] && !listed(key)));
        break;
    }
  }
  if (mode == ZAVO_SUBSCRIBE_REPLACE) {
    for (unsigned char ex : {1, 2}) {
      ZAVO_FUZZ_CHECK(m.StateOf(ex) == (parsed.count(ex) ? State::kOnly : State::kNone));
    }
  }
  check_consistent(m, probes);
}

void check_queries(CodeInfoDB& db, const std::string& line) {
  const char* text = text_of(line);
  ZAVO_CODEINFO* table = nullptr;
  unsigned int count = 0;
  const ZAVO_ERROR rc = db.GetCodeTable(text, &table, &count);
  ZAVO_FUZZ_CHECK(rc == (MarketOfText(text) != 0 ? ZAVO_SUCCESS : ZAVO_ERR_INVALID));
  if (rc == ZAVO_SUCCESS) {
    ZAVO_FUZZ_CHECK(count == 2 && table != nullptr);
    std::free(table);
  }
  ZAVO_FUZZ_CHECK(db.GetCodeTable(text, nullptr, &count) == ZAVO_ERR_INVALID);

  ZAVO_OPTION_CODEINFO info;
  std::memset(&info, 0, sizeof info);
  if (db.GetOptionCodeInfo(text, &info) == ZAVO_SUCCESS) {
    // Only the two options stored below can be found, under their code
    // (which a blank may end) and their own market.
    const std::string code = text;
    const bool sh = code.compare(0, 8, "10003001") == 0;
    const bool sz = code.compare(0, 8, "90000001") == 0;
    ZAVO_FUZZ_CHECK(sh || sz);
    ZAVO_FUZZ_CHECK(code[8] == '.' || code[8] == ' ');
    ZAVO_FUZZ_CHECK(code.find(sh ? ".SH" : ".SZ") != std::string::npos);
    ZAVO_FUZZ_CHECK(std::strcmp(info.Code, sh ? "10003001" : "90000001") == 0);
  }
  ZAVO_FUZZ_CHECK(db.GetOptionCodeInfo(text, nullptr) == ZAVO_ERR_INVALID);
}

template <class F>
F base_info(const char* code, unsigned char exchange) {
  F f;
  f.Code.Set(code);
  f.ExchangeID = exchange;
  f.UpdateNo = 3;
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else if (c != '\0') {  // C texts end at their first NUL anyway
      cur.push_back(c);
    }
  }
  lines.push_back(cur);

  SubscriptionManager m;
  std::vector<SecurityCode> probes;
  for (const char* code : {"600000", "000001", "10003001"}) {
    probes.push_back(SecurityCode::Make(1, code));
    probes.push_back(SecurityCode::Make(2, code));
  }
  const bool markets_ok = m.SetMarketSubscription(text_of(lines[0]));
  const std::string& markets = lines[0];
  if (text_of(markets) == nullptr || markets.empty()) {
    ZAVO_FUZZ_CHECK(markets_ok && m.StateOf(1) == State::kAll && m.StateOf(2) == State::kAll);
  }
  if (lines.size() > 1) {
    const char* codes = text_of(lines[1]);
    const auto before = m.Current();
    const bool codes_ok = m.SetCodeSubscription(codes);
    if (codes == nullptr || codes[0] == '\0') {
      ZAVO_FUZZ_CHECK(codes_ok && m.Current() == before);
    }
  }
  check_consistent(m, probes);
  for (size_t i = 2; i < lines.size() && i < 64; ++i) {
    const std::string& line = lines[i];
    const int mode = line.empty() ? 0 : static_cast<unsigned char>(line[0]) % 6;
    const std::string rest = line.empty() ? std::string() : line.substr(1);
    check_update(m, mode == 5 ? -1 : mode, rest == "\x01" ? nullptr : rest.c_str(), probes);
  }

  CodeInfoDB db;
  db.OnSecurityBaseInfo(base_info<SecurityBaseInfoField>("600000", 1));
  db.OnSecurityBaseInfo(base_info<SecurityBaseInfoField>("000001", 2));
  db.OnOptionBaseInfo(base_info<OptionBaseInfoField>("10003001", 1));
  db.OnOptionBaseInfo(base_info<OptionBaseInfoField>("90000001", 2));
  for (size_t i = 0; i < lines.size() && i < 64; ++i) check_queries(db, lines[i]);
  return 0;
}
