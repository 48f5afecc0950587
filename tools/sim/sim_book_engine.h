#pragma once
// Matching engine of one security for the simulator's order-flow model:
// price-time priority, limit orders, market orders (whatever cannot match
// at once is cancelled) and own-side-best orders (join the best price of
// their own side; refused when that side is empty), and cancels.
//
// Everything the simulator publishes for a security in book mode follows
// from this book, which is what lets a client's rebuilt book be compared
// with the snapshots exactly.
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <unordered_map>
#include <vector>

namespace zavo {
namespace sim {

class SimRng;

enum class SimOrderType : uint8_t { kLimit = 0, kMarket = 1, kOwnBest = 2 };

struct SimFill {
  int64_t passive = 0;  // the resting order's number
  int64_t price = 0;    // the resting order's price
  int64_t qty = 0;
};

// What became of a submitted order.
struct SimOutcome {
  std::vector<SimFill> fills;  // in matching order
  int64_t price = 0;           // the price it rests at (own-side best: the joined price)
  int64_t rested = 0;          // quantity left on the book
  int64_t dropped = 0;         // quantity cancelled at once (market rest, refused own-best)
};

struct SimLevel {
  int64_t price = 0;
  int64_t volume = 0;
  uint32_t orders = 0;
};

class SimOrderBook {
 public:
  // Matches and rests an order; `id` must be new to this book.
  void Submit(int64_t id, bool buy, SimOrderType type, int64_t price, int64_t qty, SimOutcome* out);
  // Cancels a resting order: returns what it had left (0 if unknown) and
  // its side and price.
  int64_t Cancel(int64_t id, bool* buy, int64_t* price);

  // Up to n levels of a side, best first; returns how many.
  size_t Levels(bool buy, SimLevel* out, size_t n) const;
  // The best level's price, order count and up to n order quantities in
  // time priority; false when the side is empty.
  bool BestQueue(bool buy, int64_t* price, uint32_t* count, uint32_t* qtys, size_t n,
                 size_t* filled) const;
  int64_t Best(bool buy) const;  // 0: side empty
  // All resting volume of a side and its volume-weighted price (0 if none).
  int64_t Total(bool buy, int64_t* avg_price) const;
  // Number of a random resting order, 0 when the book is empty.
  int64_t AnyOrder(SimRng& rng) const;
  size_t resting() const { return live_.size(); }

  // Trade counters since the start.
  int64_t trades = 0, volume = 0, value = 0;
  int64_t open = 0, high = 0, low = 0, last = 0;

 private:
  struct Entry {
    int64_t id;
    int64_t qty;
  };
  struct Level {
    std::list<Entry> queue;
    int64_t volume = 0;
  };
  struct Ref {
    bool buy;
    int64_t price;
    std::list<Entry>::iterator it;
    size_t live_pos;
  };
  using Bids = std::map<int64_t, Level, std::greater<int64_t>>;
  using Asks = std::map<int64_t, Level, std::less<int64_t>>;

  template <class Side>
  void match(Side& other, bool buy, bool limited, int64_t price, int64_t* qty, SimOutcome* out);
  void rest(int64_t id, bool buy, int64_t price, int64_t qty);
  void forget(int64_t id);
  void record_trade(int64_t price, int64_t qty);

  Bids bids_;
  Asks asks_;
  std::unordered_map<int64_t, Ref> refs_;
  std::vector<int64_t> live_;  // resting order numbers, for random picks
};

}  // namespace sim
}  // namespace zavo
