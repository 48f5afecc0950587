#pragma once
// FeedFaults: what a lossy, duplicating, reordering network would do to the
// simulator's feed, decided datagram by datagram at the sender. Every
// receiver of the group therefore sees the same gaps, copies and order,
// which is what a test comparing clients needs; the retransmission history
// is filled before the feed is asked, so whatever is lost here can still be
// recovered over the control connection.
//
// The order of the decisions for one datagram: a burst of --burst N:M (the
// last N of every M datagrams), then random loss, then duplication, then
// holding back. A held datagram goes out after 1 to `reorder_window` later
// datagrams have passed (sent or not) and is never held twice; Flush sends
// whatever is still held.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "sim_config.h"
#include "sim_market.h"

namespace zavo {
namespace sim {

// True with probability p (0 never draws, so a fault that is off leaves
// the generator's sequence alone).
bool Chance(SimRng* rng, double p);

struct FeedFaultCounts {
  uint64_t lost = 0;        // datagrams not sent
  uint64_t duplicated = 0;  // datagrams sent a second time
  uint64_t reordered = 0;   // datagrams held back behind later ones
};

class FeedFaults {
 public:
  enum class Action { kSend, kDrop, kDuplicate, kHold };
  using Sender = std::function<void(const char* data, size_t len)>;

  FeedFaults(const FaultConfig& cfg, uint64_t seed);

  // True when any datagram fault is configured; otherwise Pass only sends.
  bool active() const { return active_; }
  // Passes one datagram through the faults: `send` is called for every
  // datagram that goes out now, this one (once, twice or not at all) and
  // then held ones whose turn has come. Returns what happened to it.
  Action Pass(const char* data, size_t len, const Sender& send);
  // Sends every held datagram, oldest first.
  void Flush(const Sender& send);
  size_t held() const { return held_.size(); }
  const FeedFaultCounts& counts() const { return counts_; }

 private:
  Action decide();
  void release_due(const Sender& send);

  struct Held {
    unsigned left = 0;  // later datagrams still to pass before this one
    std::vector<char> bytes;
  };
  FaultConfig cfg_;
  SimRng rng_;
  bool active_ = false;
  uint64_t passed_ = 0;  // datagrams offered so far
  std::deque<Held> held_;
  FeedFaultCounts counts_;
};

}  // namespace sim
}  // namespace zavo
