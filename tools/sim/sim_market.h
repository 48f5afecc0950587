#pragma once
// Synthetic market of the simulator: securities, indices, futures and options
// of Shanghai and Shenzhen whose prices move as bounded random walks, with
// ten-level (five for futures) books, order queues, order and trade details.
//
// Everything is deterministic for a given seed and configuration: the same
// seed gives the same instruments and the same sequence of records, apart
// from the time stamps, which the caller supplies.
//
// Prices, index values and amounts are integers in units of 1/10000 (a price
// of 10.52 is 105200); volumes are in shares (contracts for options and
// futures).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim_config.h"
#include "sim_wire.h"

namespace zavo {
namespace sim {

// Small, portable generator (splitmix64): the standard distributions differ
// between library implementations, this one gives the same numbers anywhere.
class SimRng {
 public:
  explicit SimRng(uint64_t seed) : s_(seed) {}
  uint64_t Next();
  // Uniform in [0, n); 0 for n == 0.
  uint64_t Below(uint64_t n) { return n ? Next() % n : 0; }
  // Uniform in [lo, hi].
  int64_t Range(int64_t lo, int64_t hi) {
    return lo + static_cast<int64_t>(Below(static_cast<uint64_t>(hi - lo + 1)));
  }

 private:
  uint64_t s_;
};

enum class InstrumentKind : uint8_t { kStock = 1, kIndex = 2, kFuture = 3, kOption = 4 };

struct Instrument {
  std::string code;
  std::string name;
  uint8_t exchange = 1;  // 1 Shanghai, 2 Shenzhen
  InstrumentKind kind = InstrumentKind::kStock;
  int64_t tick = 100;  // price step
  int64_t pre_close = 0, open = 0, high = 0, low = 0, last = 0;
  int64_t up_limit = 0, down_limit = 0;
  int64_t volume = 0, value = 0, trades = 0;
  int64_t open_interest = 0;
  uint64_t ask_px[10] = {}, ask_vol[10] = {}, bid_px[10] = {}, bid_vol[10] = {};
  // Options only.
  std::string underlying, contract_id;
  char call_put = 'C';
  int32_t strike = 0;
  uint32_t expiry = 0;
};

class SimBookFlow;

// Most indices a market can have: the named ones, then generated ones, up to
// 900 numbers under each exchange's index prefix.
constexpr unsigned kMaxIndices = 1800;

class MarketModel {
 public:
  explicit MarketModel(const SimConfig& cfg);
  ~MarketModel();

  // The stocks' order flow and matching engines in book mode, else null.
  const SimBookFlow* book_flow() const { return book_flow_.get(); }

  const std::vector<Instrument>& instruments() const { return inst_; }
  // Indices into instruments(): the entries of the code tables, securities
  // (stocks, indices, futures) and options.
  const std::vector<size_t>& security_table() const { return securities_; }
  const std::vector<size_t>& option_table() const { return options_; }
  // Update number carried by base information.
  uint32_t update_no() const { return update_no_; }

  // Record bytes (without field header) of one base-information entry.
  void WriteSecurityBaseInfo(const Instrument& in, WireWriter* w) const;
  void WriteOptionBaseInfo(const Instrument& in, WireWriter* w) const;

  // Moves the market one step and writes the record of the resulting event
  // (without field header) into `w`; returns its field identifier. `stamp`
  // is the local time YYYYMMDDHHMMSSmmm written into the record.
  uint16_t Next(uint64_t stamp, WireWriter* w);
  // Writes a security snapshot of the stock or option `code` (the code
  // without its market suffix) into `w`, without moving the market; false
  // when the market has no such security.
  bool SnapshotOf(const std::string& code, uint64_t stamp, WireWriter* w);

  // Payload of raw message `seq` of `exchange`: a 24-byte header (type,
  // length, exchange, sequence, stamp) and filler, of a length between the
  // configured bounds, mostly short with an occasional long one. The payload
  // depends only on the seed, the exchange, the sequence and the stamp.
  void RawMessage(uint8_t exchange, uint64_t seq, uint64_t stamp, std::vector<char>* out) const;

 private:
  void add_stocks(uint8_t exchange, unsigned count);
  void add_indices(unsigned count);
  void add_futures(unsigned count);
  void add_options(uint8_t exchange, unsigned count);
  void init_prices(Instrument* in, int64_t pre_close);
  void walk(Instrument* in);
  void rebuild_book(Instrument* in, int levels);
  size_t pick(InstrumentKind kind, int exchange);  // exchange 0: any

  void write_security_snapshot(Instrument& in, uint64_t stamp, WireWriter* w);
  void write_index_snapshot(Instrument& in, uint64_t stamp, WireWriter* w);
  void write_future_snapshot(Instrument& in, uint64_t stamp, WireWriter* w);
  void write_order_queue(Instrument& in, uint64_t stamp, WireWriter* w);
  void write_order_detail(Instrument& in, uint64_t stamp, WireWriter* w);
  void write_sh_order_detail(Instrument& in, uint64_t stamp, WireWriter* w);
  void write_trade_detail(Instrument& in, uint64_t stamp, WireWriter* w);

  SimConfig cfg_;
  SimRng rng_;
  std::vector<Instrument> inst_;
  std::vector<size_t> securities_, options_;
  std::vector<size_t> by_kind_[5][3];  // [kind][exchange] ; exchange 0 = any
  uint32_t update_no_ = 1;
  int64_t order_seq_[3] = {0, 0, 0};
  int64_t trade_seq_[3] = {0, 0, 0};
  int64_t biz_index_ = 0;
  std::unique_ptr<SimBookFlow> book_flow_;
};

}  // namespace sim
}  // namespace zavo
