#include "api/subscription_manager.h"

#include <cctype>
#include <string>

#include "api/code_key.h"
#include "util/helpers.h"
#include "util/logger.h"

namespace zavo {

namespace {

// Versions are unique across every manager of the process, so a matcher's
// per-thread cache can never mistake another manager's snapshot for the
// current one of this manager.
std::atomic<uint64_t> g_next_version{0};

// The snapshot last used by the calling thread.
std::shared_ptr<const SubscriptionManager::Snapshot>& thread_cache() {
  thread_local std::shared_ptr<const SubscriptionManager::Snapshot> cache;
  return cache;
}

std::string to_upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// "SH" -> 1, "SZ" -> 2 (any case), anything else -> 0.
unsigned char market_number(const std::string& text) {
  return MarketOfText(text.c_str());
}

// Splits one "code.market" item. False unless the code is non-empty and the
// text after the first point is a market. The code is returned as written.
bool split_code_item(const std::string& item, std::string* code, unsigned char* exchange) {
  const size_t dot = item.find('.');
  if (dot == std::string::npos || dot == 0) return false;
  *exchange = market_number(item.substr(dot + 1));
  if (*exchange == 0) return false;
  *code = item.substr(0, dot);
  return true;
}

SubscriptionManager::State state_of(const SubscriptionManager::Filter& f) {
  using State = SubscriptionManager::State;
  if (f.flag) return f.codes.empty() ? State::kAll : State::kOnly;
  return f.codes.empty() ? State::kNone : State::kAllExcept;
}

void set_all(SubscriptionManager::Filter& f) {
  f.flag = true;
  f.codes.clear();
}

void set_none(SubscriptionManager::Filter& f) {
  f.flag = false;
  f.codes.clear();
}

// Adds `list` to what the filter delivers.
void add_codes(SubscriptionManager::Filter& f, const CodeSet& list) {
  using State = SubscriptionManager::State;
  switch (state_of(f)) {
    case State::kAll:
      break;
    case State::kOnly:
      f.codes.insert(list.begin(), list.end());
      break;
    case State::kNone:
      f.flag = true;
      f.codes = list;
      break;
    case State::kAllExcept:
      for (const SecurityCode& key : list) f.codes.erase(key);
      // Taking back the last excluded code means the whole market again,
      // not nothing at all.
      if (f.codes.empty()) set_all(f);
      break;
  }
}

// Removes `list` from what the filter delivers.
void remove_codes(SubscriptionManager::Filter& f, const CodeSet& list) {
  using State = SubscriptionManager::State;
  switch (state_of(f)) {
    case State::kAll:
      f.flag = false;
      f.codes = list;
      break;
    case State::kOnly:
      for (const SecurityCode& key : list) f.codes.erase(key);
      // Dropping the last subscribed code must leave nothing subscribed;
      // it must not open the floodgates to the whole market.
      if (f.codes.empty()) set_none(f);
      break;
    case State::kNone:
      break;
    case State::kAllExcept:
      f.codes.insert(list.begin(), list.end());
      break;
  }
}

}  // namespace

SubscriptionManager::SubscriptionManager() {
  publish(std::make_shared<Snapshot>());
}

SubscriptionManager::~SubscriptionManager() = default;

std::shared_ptr<const SubscriptionManager::Snapshot> SubscriptionManager::Current() const {
  return std::atomic_load(&current_);
}

SubscriptionManager::State SubscriptionManager::StateOf(unsigned char exchange) const {
  if (exchange != 1 && exchange != 2) return State::kNone;
  return state_of(Current()->filters[exchange - 1]);
}

void SubscriptionManager::publish(std::shared_ptr<Snapshot> next) {
  const auto whole_market = [](const Filter& f) {
    const State s = state_of(f);
    return s == State::kAll || s == State::kAllExcept;
  };
  next->other_match = whole_market(next->filters[0]) || whole_market(next->filters[1]);
  next->version = g_next_version.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t version = next->version;
  const uint32_t quick = quick_word(*next);
  std::atomic_store(&current_, std::shared_ptr<const Snapshot>(std::move(next)));
  // After the pointer: a matcher that sees this version finds the snapshot.
  version_.store(version, std::memory_order_release);
  // Each answer a matcher gives comes either from this word alone or from
  // one whole snapshot, so it always reflects one published state.
  quick_.store(quick, std::memory_order_release);
}

uint32_t SubscriptionManager::quick_word(const Snapshot& snap) {
  const auto answer = [](const Filter& f) {
    if (!f.codes.empty()) return kQuickLookup;
    return f.flag ? kQuickYes : kQuickNo;
  };
  return answer(snap.filters[0]) | answer(snap.filters[1]) << 2 |
         (snap.other_match ? kQuickYes : kQuickNo) << 4;
}

template <typename Fn>
void SubscriptionManager::modify(Fn&& fn) {
  std::lock_guard<std::mutex> lock(write_mu_);
  auto next = std::make_shared<Snapshot>(*std::atomic_load(&current_));
  fn(*next);
  publish(std::move(next));
}

bool SubscriptionManager::SetMarketSubscription(const char* markets) {
  if (markets == nullptr || markets[0] == '\0') {
    modify([](Snapshot& s) {
      set_all(s.filters[0]);
      set_all(s.filters[1]);
    });
    return true;
  }
  const std::vector<std::string> items = StringSplit(markets, ';');
  bool ok = !items.empty();
  modify([&](Snapshot& s) {
    for (const std::string& item : items) {
      const unsigned char exchange = market_number(item);
      if (exchange == 0) {
        ok = false;
        return;
      }
      s.filters[exchange - 1].flag = true;
    }
  });
  return ok;
}

bool SubscriptionManager::SetCodeSubscription(const char* codes) {
  if (codes == nullptr || codes[0] == '\0') return true;
  const std::vector<std::string> items = StringSplit(codes, ';');
  bool ok = !items.empty();
  modify([&](Snapshot& s) {
    for (const std::string& item : items) {
      std::string code;
      unsigned char exchange = 0;
      if (!split_code_item(item, &code, &exchange)) {
        ok = false;
        return;
      }
      Filter& f = s.filters[exchange - 1];
      f.flag = true;
      f.codes.insert(SecurityCode::Make(exchange, code.c_str()));
    }
  });
  return ok;
}

bool SubscriptionManager::ParseCodeList(const char* codes, CodeListMap& out) {
  out.clear();
  if (codes == nullptr) return false;
  for (const std::string& item : StringSplit(codes, ';')) {
    std::string code;
    unsigned char exchange = 0;
    if (!split_code_item(to_upper(item), &code, &exchange)) return false;
    out[exchange].insert(SecurityCode::Make(exchange, code.c_str()));
  }
  return true;
}

ZAVO_ERROR SubscriptionManager::ParseUpdate(ZAVO_SUBSCRIPTION_UPDATE mode, const char* codes,
                                            CodeListMap& out) {
  out.clear();
  if (mode == ZAVO_SUBSCRIBE_ALL) return ZAVO_SUCCESS;
  return ParseCodeList(codes, out) ? ZAVO_SUCCESS : ZAVO_ERR_INVALID;
}

ZAVO_ERROR SubscriptionManager::UpdateSubscription(ZAVO_SUBSCRIPTION_UPDATE mode,
                                                   const char* codes) {
  CodeListMap parsed;
  const ZAVO_ERROR rc = ParseUpdate(mode, codes, parsed);
  if (rc != ZAVO_SUCCESS) return rc;
  ApplyUpdate(static_cast<int>(mode), parsed);
  return ZAVO_SUCCESS;
}

void SubscriptionManager::ApplyUpdate(int mode, const CodeListMap& codes) {
  if (mode < ZAVO_SUBSCRIBE_ALL || mode > ZAVO_SUBSCRIBE_REMOVE) return;
  modify([&](Snapshot& s) {
    if (mode == ZAVO_SUBSCRIBE_ALL) {
      set_all(s.filters[0]);
      set_all(s.filters[1]);
      return;
    }
    if (mode == ZAVO_SUBSCRIBE_REPLACE) {
      set_none(s.filters[0]);
      set_none(s.filters[1]);
    }
    for (const auto& entry : codes) {
      if (entry.first != 1 && entry.first != 2) continue;
      Filter& f = s.filters[entry.first - 1];
      if (mode == ZAVO_SUBSCRIBE_REPLACE) {
        f.flag = true;
        f.codes = entry.second;
      } else if (mode == ZAVO_SUBSCRIBE_ADD) {
        add_codes(f, entry.second);
      } else {
        remove_codes(f, entry.second);
      }
    }
  });
}

bool SubscriptionManager::Matches(const Snapshot& snap, const SecurityCode& key) {
  if (key.exchange != 1 && key.exchange != 2) return snap.other_match;
  const Filter& f = snap.filters[key.exchange - 1];
  if (f.codes.empty()) return f.flag;
  return (f.codes.find(key) != f.codes.end()) == f.flag;
}

bool SubscriptionManager::match_codes(unsigned char exchange, const char* code, size_t len) const {
  std::shared_ptr<const Snapshot>& cache = thread_cache();
  if (!cache || cache->version != version_.load(std::memory_order_acquire)) {
    cache = std::atomic_load(&current_);
  }
  // The all and none states answer without building a key.
  if (exchange != 1 && exchange != 2) return cache->other_match;
  const Filter& f = cache->filters[exchange - 1];
  if (f.codes.empty()) return f.flag;
  // A wire or public code has all 16 bytes readable: one pass over words.
  const SecurityCode key =
      len >= 16 ? KeyOfCode16(exchange, code) : SecurityCode::Make(exchange, code, len);
  return (f.codes.find(key) != f.codes.end()) == f.flag;
}

}  // namespace zavo
