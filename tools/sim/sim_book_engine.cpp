#include "sim_book_engine.h"

#include <algorithm>

#include "sim_market.h"

namespace zavo {
namespace sim {

void SimOrderBook::record_trade(int64_t price, int64_t qty) {
  if (trades == 0) open = high = low = price;
  trades += 1;
  volume += qty;
  value += qty * price;
  last = price;
  high = std::max(high, price);
  low = std::min(low, price);
}

void SimOrderBook::forget(int64_t id) {
  auto it = refs_.find(id);
  if (it == refs_.end()) return;
  size_t pos = it->second.live_pos;
  int64_t moved = live_.back();
  live_[pos] = moved;
  live_.pop_back();
  if (moved != id) refs_[moved].live_pos = pos;
  refs_.erase(it);
}

template <class Side>
void SimOrderBook::match(Side& other, bool buy, bool limited, int64_t price, int64_t* qty,
                         SimOutcome* out) {
  while (*qty > 0 && !other.empty()) {
    auto lv = other.begin();
    if (limited && (buy ? lv->first > price : lv->first < price)) break;
    Level& level = lv->second;
    Entry& head = level.queue.front();
    int64_t q = std::min(*qty, head.qty);
    out->fills.push_back(SimFill{head.id, lv->first, q});
    record_trade(lv->first, q);
    *qty -= q;
    head.qty -= q;
    level.volume -= q;
    if (head.qty == 0) {
      int64_t id = head.id;
      level.queue.pop_front();
      forget(id);
      if (level.queue.empty()) other.erase(lv);
    }
  }
}

void SimOrderBook::rest(int64_t id, bool buy, int64_t price, int64_t qty) {
  Level& level = buy ? bids_[price] : asks_[price];
  level.queue.push_back(Entry{id, qty});
  level.volume += qty;
  live_.push_back(id);
  refs_[id] = Ref{buy, price, std::prev(level.queue.end()), live_.size() - 1};
}

void SimOrderBook::Submit(int64_t id, bool buy, SimOrderType type, int64_t price, int64_t qty,
                          SimOutcome* out) {
  out->fills.clear();
  out->price = price;
  out->rested = out->dropped = 0;
  if (type == SimOrderType::kOwnBest) {
    // Joins its own side's best price and so never crosses.
    int64_t best = Best(buy);
    if (best == 0) {
      out->price = 0;
      out->dropped = qty;
      return;
    }
    out->price = best;
    rest(id, buy, best, qty);
    out->rested = qty;
    return;
  }
  bool limited = type == SimOrderType::kLimit;
  if (buy) {
    match(asks_, true, limited, price, &qty, out);
  } else {
    match(bids_, false, limited, price, &qty, out);
  }
  if (qty == 0) return;
  if (!limited) {
    out->dropped = qty;
    return;
  }
  rest(id, buy, price, qty);
  out->rested = qty;
}

int64_t SimOrderBook::Cancel(int64_t id, bool* buy, int64_t* price) {
  auto it = refs_.find(id);
  if (it == refs_.end()) return 0;
  Ref ref = it->second;
  int64_t left = ref.it->qty;
  *buy = ref.buy;
  *price = ref.price;
  auto drop = [&](auto& side) {
    auto lv = side.find(ref.price);
    lv->second.volume -= left;
    lv->second.queue.erase(ref.it);
    if (lv->second.queue.empty()) side.erase(lv);
  };
  if (ref.buy) {
    drop(bids_);
  } else {
    drop(asks_);
  }
  forget(id);
  return left;
}

size_t SimOrderBook::Levels(bool buy, SimLevel* out, size_t n) const {
  size_t i = 0;
  auto fill = [&](const auto& side) {
    for (auto it = side.begin(); it != side.end() && i < n; ++it, ++i) {
      out[i].price = it->first;
      out[i].volume = it->second.volume;
      out[i].orders = static_cast<uint32_t>(it->second.queue.size());
    }
  };
  if (buy) {
    fill(bids_);
  } else {
    fill(asks_);
  }
  return i;
}

bool SimOrderBook::BestQueue(bool buy, int64_t* price, uint32_t* count, uint32_t* qtys, size_t n,
                             size_t* filled) const {
  auto take = [&](const auto& side) {
    if (side.empty()) return false;
    const auto& lv = *side.begin();
    *price = lv.first;
    *count = static_cast<uint32_t>(lv.second.queue.size());
    size_t i = 0;
    for (auto it = lv.second.queue.begin(); it != lv.second.queue.end() && i < n; ++it, ++i) {
      qtys[i] = static_cast<uint32_t>(it->qty);
    }
    *filled = i;
    return true;
  };
  return buy ? take(bids_) : take(asks_);
}

int64_t SimOrderBook::Best(bool buy) const {
  if (buy) return bids_.empty() ? 0 : bids_.begin()->first;
  return asks_.empty() ? 0 : asks_.begin()->first;
}

int64_t SimOrderBook::Total(bool buy, int64_t* avg_price) const {
  int64_t vol = 0, amount = 0;
  auto sum = [&](const auto& side) {
    for (const auto& lv : side) {
      vol += lv.second.volume;
      amount += lv.second.volume * lv.first;
    }
  };
  if (buy) {
    sum(bids_);
  } else {
    sum(asks_);
  }
  *avg_price = vol ? amount / vol : 0;
  return vol;
}

int64_t SimOrderBook::AnyOrder(SimRng& rng) const {
  return live_.empty() ? 0 : live_[rng.Below(live_.size())];
}

}  // namespace sim
}  // namespace zavo
