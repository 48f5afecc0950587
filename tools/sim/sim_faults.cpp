#include "sim_faults.h"

#include <algorithm>

namespace zavo {
namespace sim {

bool Chance(SimRng* rng, double p) {
  if (p <= 0) return false;
  if (p >= 1) return true;
  // 53 bits: the resolution of a double in [0, 1).
  const double u = static_cast<double>(rng->Next() >> 11) / 9007199254740992.0;
  return u < p;
}

FeedFaults::FeedFaults(const FaultConfig& cfg, uint64_t seed)
    : cfg_(cfg), rng_(seed * 0x9E3779B97F4A7C15ULL + 0xFEEDULL), active_(cfg.feed_active()) {
  if (cfg_.reorder_window == 0) cfg_.reorder_window = 1;
}

FeedFaults::Action FeedFaults::decide() {
  const uint64_t index = passed_++;
  if (cfg_.burst_period > 0 && cfg_.burst_lost > 0 &&
      index % cfg_.burst_period >=
          cfg_.burst_period - std::min(cfg_.burst_lost, cfg_.burst_period)) {
    return Action::kDrop;
  }
  if (Chance(&rng_, cfg_.loss)) return Action::kDrop;
  if (Chance(&rng_, cfg_.duplicate)) return Action::kDuplicate;
  if (Chance(&rng_, cfg_.reorder)) return Action::kHold;
  return Action::kSend;
}

FeedFaults::Action FeedFaults::Pass(const char* data, size_t len, const Sender& send) {
  if (!active_) {
    send(data, len);
    return Action::kSend;
  }
  // Those held so far count this datagram among the later ones, whatever
  // becomes of it.
  for (Held& h : held_) {
    if (h.left > 0) --h.left;
  }
  const Action a = decide();
  switch (a) {
    case Action::kSend:
      send(data, len);
      break;
    case Action::kDrop:
      ++counts_.lost;
      break;
    case Action::kDuplicate:
      send(data, len);
      send(data, len);
      ++counts_.duplicated;
      break;
    case Action::kHold: {
      Held h;
      h.left = 1 + static_cast<unsigned>(rng_.Below(cfg_.reorder_window));
      h.bytes.assign(data, data + len);
      held_.push_back(std::move(h));
      ++counts_.reordered;
      break;
    }
  }
  release_due(send);
  return a;
}

void FeedFaults::release_due(const Sender& send) {
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->left == 0) {
      send(it->bytes.data(), it->bytes.size());
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
}

void FeedFaults::Flush(const Sender& send) {
  for (const Held& h : held_) send(h.bytes.data(), h.bytes.size());
  held_.clear();
}

}  // namespace sim
}  // namespace zavo
