#pragma once
// Decides which market-data records reach the user's handlers. One filter per
// exchange (Shanghai, Shenzhen), each in one of four states:
//
//   flag  codes      state        a record with code c matches when
//   true  empty      all          always
//   true  not empty  only         c is in codes
//   false empty      none         never
//   false not empty  all except   c is not in codes
//
// Matching runs for every record on the packet-processing thread (and on the
// loop thread for rebuilt data) while changes may come from any user thread.
// So a change never touches the filters being read: it copies the current
// snapshot, applies itself to the copy and publishes the copy in one pointer
// swap. A matcher takes the snapshot through a per-thread cache that only
// re-reads the shared pointer when its version moved, so the common case is
// one atomic load and (for the only / all-except states) one hash lookup.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "api/security_code.h"
#include "proto/field_codec.h"
#include "zavo_api.h"

namespace zavo {

using CodeSet = std::unordered_set<SecurityCode, CodeHash>;
using CodeListMap = std::map<unsigned char, CodeSet>;

namespace subscription_detail {

// The shift of each exchange's two bits in the quick answer word (Shanghai,
// Shenzhen, any other exchange), one entry per byte value: a single load,
// branch-free for the two markets' interleaved records.
struct QuickShifts {
  unsigned char of[256];
};
constexpr QuickShifts make_quick_shifts() {
  QuickShifts t{};
  for (unsigned char& v : t.of) v = 4;
  t.of[1] = 0;
  t.of[2] = 2;
  return t;
}
inline constexpr QuickShifts kQuickShift = make_quick_shifts();

}  // namespace subscription_detail

class SubscriptionManager {
 public:
  struct Filter {
    bool flag = false;
    CodeSet codes;
  };

  // One immutable published state of both filters.
  struct Snapshot {
    uint64_t version = 0;  // unique across all managers of the process
    Filter filters[2];     // Shanghai, Shenzhen
    // Precomputed answer for exchange numbers other than 1 and 2: true when
    // either filter takes its whole market (all, or all except).
    bool other_match = false;
  };

  enum class State { kNone, kAll, kOnly, kAllExcept };

  SubscriptionManager();
  ~SubscriptionManager();
  SubscriptionManager(const SubscriptionManager&) = delete;
  SubscriptionManager& operator=(const SubscriptionManager&) = delete;

  static const char* ClassName() { return "SubscriptionManager"; }

  // Open-time market list ("SH;SZ", any case). A null or empty text makes
  // both exchanges all. False at the first invalid item (earlier items stay
  // applied) and for a text with no items.
  bool SetMarketSubscription(const char* markets);
  // Open-time code list ("600000.SH;000001.SZ"). Each item turns its exchange
  // into only, with the listed codes. A null or empty text changes nothing.
  // False at the first invalid item (earlier items stay applied) and for a
  // text with no items.
  bool SetCodeSubscription(const char* codes);

  // Empties `out`, then adds the key of every item (upper-cased whole) to the
  // set of its exchange. False at the first invalid item; a text with no
  // items gives an empty map and true. A null text is invalid.
  static bool ParseCodeList(const char* codes, CodeListMap& out);

  // Parses and applies one update right away, from any thread; successive
  // calls take effect in call order. ZAVO_ERR_INVALID (nothing changed) for
  // a null or unparsable list with a mode other than ZAVO_SUBSCRIBE_ALL.
  ZAVO_ERROR UpdateSubscription(ZAVO_SUBSCRIPTION_UPDATE mode, const char* codes);
  // The two halves of UpdateSubscription, for a caller that wants to parse
  // and apply apart (the sessions apply at once on the caller's thread;
  // the filter is published in one step either way). `ParseUpdate` returns
  // ZAVO_SUCCESS with the parsed list in `out` (left empty for mode 0).
  static ZAVO_ERROR ParseUpdate(ZAVO_SUBSCRIPTION_UPDATE mode, const char* codes, CodeListMap& out);
  // Applies a parsed update; a mode outside 0..3 changes nothing.
  void ApplyUpdate(int mode, const CodeListMap& codes);

  // True if a record of `exchange` with `code` (at most `len` bytes, need not
  // be terminated) is to be delivered. Lock-free in the steady state; a
  // market in state all or none (and any other exchange) is answered from
  // one atomic word, without the snapshot or a key.
  bool IsMatchSysCode(unsigned char exchange, const char* code, size_t len) const {
    const uint32_t quick = quick_.load(std::memory_order_acquire);
    const uint32_t answer = (quick >> subscription_detail::kQuickShift.of[exchange]) & 3u;
    if (answer != kQuickLookup) return answer == kQuickYes;
    return match_codes(exchange, code, len);
  }
  bool IsMatchSysCode(unsigned char exchange, const char* code) const {
    return IsMatchSysCode(exchange, code, SecurityCode::kMaxCodeLen);
  }
  // For a decoded wire record.
  bool IsMatchSysCode(const CExchangeIDType& exchange, const String<16>& code) const {
    return IsMatchSysCode(exchange, code.Data(), code.Capacity());
  }

  // The current snapshot, for inspection (tests, diagnostics).
  std::shared_ptr<const Snapshot> Current() const;
  State StateOf(unsigned char exchange) const;

  static bool Matches(const Snapshot& snap, const SecurityCode& key);

 private:
  // Two bits per slot of quick_ (Shanghai, Shenzhen, any other exchange).
  static constexpr uint32_t kQuickLookup = 0;
  static constexpr uint32_t kQuickYes = 1;
  static constexpr uint32_t kQuickNo = 2;
  static uint32_t quick_word(const Snapshot& snap);
  // The snapshot path of IsMatchSysCode: the only and all-except states.
  bool match_codes(unsigned char exchange, const char* code, size_t len) const;

  template <typename Fn>
  void modify(Fn&& fn);
  void publish(std::shared_ptr<Snapshot> next);

  // Serialises writers; readers never take it.
  std::mutex write_mu_;
  // Read and replaced only through std::atomic_load / std::atomic_store.
  std::shared_ptr<const Snapshot> current_;
  std::atomic<uint64_t> version_{0};
  // The answers of the published snapshot that need no code, stored after
  // it; a slot that needs the codes says kQuickLookup. Until the first
  // publication nothing matches.
  std::atomic<uint32_t> quick_{kQuickNo | kQuickNo << 2 | kQuickNo << 4};
};

}  // namespace zavo
