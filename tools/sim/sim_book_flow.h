#pragma once
// Order flow of the simulator's book mode: orders arrive around the mid of
// each stock's book (mostly passive, sometimes crossing, occasionally a
// market order sweeping several levels or an order joining its own side's
// best), resting orders are cancelled, and every record published for the
// stocks follows from their matching engines:
//   Shenzhen: the order detail first (its whole quantity), then its trades,
//     then a cancel ('2' execution type) for what a market order or a
//     refused own-side-best order leaves; cancels of resting orders are
//     cancel records naming the order.
//   Shanghai: the trades of an arriving order first, then its add carrying
//     the balance left after that matching (none when nothing is left, or
//     when the rest of a market order is dropped); cancels are deletes.
//   Both: security snapshots whose ten levels, totals and trade counters
//     are the book after the last detail before them, and order queues of
//     the best levels.
// One event makes several records; they are handed out one per call.
#include <cstdint>
#include <vector>

#include "sim_book_engine.h"
#include "sim_config.h"
#include "sim_market.h"
#include "sim_wire.h"

namespace zavo {
namespace sim {

class SimBookFlow {
 public:
  // `stocks`: the instruments traded through matching engines.
  SimBookFlow(const SimConfig& cfg, const std::vector<Instrument>& stocks);

  // Writes the next record into `w` and its field identifier into `*id`.
  // Between events it sometimes returns false instead, leaving room for the
  // instruments it does not trade (indices, futures, options), unless
  // `force` is set.
  bool Next(uint64_t stamp, WireWriter* w, uint16_t* id, bool force);

  // The engines, for tests that compare a client's book with the source.
  const std::vector<Instrument>& stocks() const { return stocks_; }
  const SimOrderBook& engine(size_t i) const { return books_[i]; }
  // True when every record of the events so far has been handed out, so
  // the engines are exactly what a client rebuilt from the records.
  bool caught_up() const { return head_ == used_; }

  // Counts of what was generated, by kind of event.
  struct Counts {
    uint64_t limit = 0, crossing = 0, market = 0, own_best = 0, own_best_refused = 0;
    uint64_t cancels = 0, trades = 0, snapshots = 0, queues = 0;
  };
  const Counts& counts() const { return counts_; }

 private:
  struct Pending {
    uint16_t id = 0;
    WireWriter w;  // keeps its capacity when reused
  };

  void seed(size_t s, uint64_t stamp);
  void event(uint64_t stamp);
  void submit(size_t s, bool buy, SimOrderType type, int64_t price, int64_t qty, uint64_t stamp);
  void cancel(size_t s, uint64_t stamp);
  int64_t reference(size_t s, bool buy) const;
  int64_t clamp(size_t s, int64_t px) const;

  WireWriter& push(uint16_t id);
  void put_order(size_t s, int64_t seq, bool buy, char type, int64_t price, int64_t qty,
                 uint64_t stamp);
  void put_sh_order(size_t s, int64_t no, bool buy, char type, int64_t price, int64_t balance,
                    uint64_t stamp);
  void put_trade(size_t s, int64_t ask, int64_t bid, int64_t price, int64_t qty, char exec, char bs,
                 uint64_t stamp);
  void put_snapshot(size_t s, uint64_t stamp);
  void put_queue(size_t s, bool buy, uint64_t stamp);

  SimRng rng_;
  std::vector<Instrument> stocks_;
  std::vector<SimOrderBook> books_;
  SimOutcome outcome_;
  std::vector<Pending> pending_;
  size_t head_ = 0, used_ = 0;
  std::vector<bool> seeded_;
  int64_t order_seq_[3] = {0, 0, 0};
  int64_t trade_seq_[3] = {0, 0, 0};
  int64_t biz_index_ = 0;
  Counts counts_;
};

}  // namespace sim
}  // namespace zavo
