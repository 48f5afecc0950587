#include "sim_market.h"

#include "sim_book_flow.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace zavo {
namespace sim {

uint64_t SimRng::Next() {
  uint64_t z = (s_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

namespace {

const char* const kSyllables[] = {"Hua",   "Xin",   "Jin",  "Long", "Tai", "Hai", "Guo",
                                  "Zhong", "Tian",  "Kang", "Ming", "Da",  "Fu",  "Yuan",
                                  "Sheng", "Chang", "Rui",  "Feng", "Bao", "Heng"};
const char* const kSectors[] = {"Bank",   "Tech",    "Energy",    "Pharma",  "Motors", "Steel",
                                "Media",  "Foods",   "Chem",      "Power",   "Estate", "Securities",
                                "Mining", "Textile", "Logistics", "Software"};
const char* const kShPrefixes[] = {"600", "601", "603", "688"};
const char* const kSzPrefixes[] = {"000", "002", "300", "301"};

struct IndexDef {
  uint8_t exchange;
  const char* code;
  const char* name;
  int64_t level;  // in 1/10000
};
const IndexDef kIndices[] = {
    {1, "000001", "SH Composite Index", 31500000}, {2, "399001", "SZ Component Index", 101000000},
    {1, "000016", "SH Top 50 Index", 25600000},    {2, "399006", "SZ Growth Index", 20300000},
    {1, "000688", "SH Innovation 50", 9800000},    {2, "399005", "SZ SME Index", 64000000},
};
const char* const kFutureRoots[] = {"IF", "IH", "IC", "IM"};

void put_code(WireWriter* w, const std::string& code) {
  w->Text(code.c_str(), 16);
}

}  // namespace

MarketModel::MarketModel(const SimConfig& cfg)
    : cfg_(cfg), rng_(cfg.seed * 0x2545F4914F6CDD1DULL + 7) {
  add_stocks(1, cfg.sh_securities);
  add_stocks(2, cfg.sz_securities);
  add_indices(cfg.indices);
  add_futures(cfg.futures);
  add_options(1, cfg.sh_options);
  add_options(2, cfg.sz_options);
  if (inst_.empty()) add_stocks(1, 1);  // the feed always has something to say
  for (size_t i = 0; i < inst_.size(); ++i) {
    const Instrument& in = inst_[i];
    (in.kind == InstrumentKind::kOption ? options_ : securities_).push_back(i);
    by_kind_[static_cast<int>(in.kind)][0].push_back(i);
    by_kind_[static_cast<int>(in.kind)][in.exchange].push_back(i);
  }
  if (cfg.book_model) {
    std::vector<Instrument> stocks;
    for (size_t i : by_kind_[static_cast<int>(InstrumentKind::kStock)][0]) {
      stocks.push_back(inst_[i]);
    }
    book_flow_ = std::make_unique<SimBookFlow>(cfg, stocks);
  }
}

MarketModel::~MarketModel() = default;

void MarketModel::init_prices(Instrument* in, int64_t pre_close) {
  in->pre_close = pre_close;
  in->last = in->open = in->high = in->low = pre_close;
  int64_t band = pre_close / 10;  // ±10% daily limit
  in->up_limit = (pre_close + band) / in->tick * in->tick;
  in->down_limit = (pre_close - band + in->tick - 1) / in->tick * in->tick;
  rebuild_book(in, in->kind == InstrumentKind::kFuture ? 5 : 10);
}

void MarketModel::add_stocks(uint8_t exchange, unsigned count) {
  const char* const* prefixes = exchange == 1 ? kShPrefixes : kSzPrefixes;
  for (unsigned i = 0; i < count && i < 4000; ++i) {
    Instrument in;
    in.exchange = exchange;
    in.kind = InstrumentKind::kStock;
    // 37 is prime to 1000, so the numbers under one prefix never repeat.
    char code[16];
    std::snprintf(code, sizeof code, "%s%03u", prefixes[i % 4], ((i / 4) * 37 + 1) % 1000);
    in.code = code;
    in.name = std::string(kSyllables[rng_.Below(20)]) + kSyllables[rng_.Below(20)] + " " +
              kSectors[rng_.Below(16)];
    in.tick = 100;  // 0.01
    init_prices(&in, rng_.Range(300, 8000) * 100);
    inst_.push_back(in);
  }
}

void MarketModel::add_indices(unsigned count) {
  const unsigned named = sizeof kIndices / sizeof kIndices[0];
  for (unsigned i = 0; i < count && i < kMaxIndices; ++i) {
    Instrument in;
    in.kind = InstrumentKind::kIndex;
    in.tick = 1;
    if (i < named) {
      in.exchange = kIndices[i].exchange;
      in.code = kIndices[i].code;
      in.name = kIndices[i].name;
      init_prices(&in, kIndices[i].level + rng_.Range(-50000, 50000));
    } else {
      // The sector and theme indices of a full market, alternating between
      // the exchanges under their index prefixes (000 Shanghai, 399
      // Shenzhen). Numbers start at 100, clear of the named ones, and step
      // by a number prime to 900 so that they never repeat.
      const unsigned k = (i - named) / 2;
      in.exchange = static_cast<uint8_t>((i - named) % 2 + 1);
      char code[16];
      unsigned number = 100 + (k * 7) % 900;
      if (in.exchange == 1 && number == 688) number = 99;  // taken by a named index
      std::snprintf(code, sizeof code, "%s%03u", in.exchange == 1 ? "000" : "399", number);
      in.code = code;
      in.name = std::string(in.exchange == 1 ? "SH " : "SZ ") + kSectors[k % 16] + " Index " +
                std::to_string(k / 16 + 1);
      init_prices(&in, rng_.Range(1000, 9000) * 10000);
    }
    inst_.push_back(in);
  }
}

void MarketModel::add_futures(unsigned count) {
  for (unsigned i = 0; i < count && i < 16; ++i) {
    Instrument in;
    in.exchange = 1;  // index futures are listed with the Shanghai codes
    in.kind = InstrumentKind::kFuture;
    char code[16];
    std::snprintf(code, sizeof code, "%s%u", kFutureRoots[i % 4], 2412 + (i / 4) * 3);
    in.code = code;
    in.name = std::string(kFutureRoots[i % 4]) + " index future";
    in.tick = 2000;  // 0.2 index point
    in.open_interest = rng_.Range(50000, 200000);
    init_prices(&in, rng_.Range(18000, 60000) * 2000 / 10);
    inst_.push_back(in);
  }
}

void MarketModel::add_options(uint8_t exchange, unsigned count) {
  const char* underlying = exchange == 1 ? "510050" : "159919";
  for (unsigned i = 0; i < count && i < 2000; ++i) {
    Instrument in;
    in.exchange = exchange;
    in.kind = InstrumentKind::kOption;
    char code[16];
    std::snprintf(code, sizeof code, "%u", (exchange == 1 ? 10006001u : 90001001u) + i);
    in.code = code;
    in.call_put = (i % 2) ? 'P' : 'C';
    in.strike = static_cast<int32_t>(25000 + (i / 2) * 1000);  // 2.500, 2.600, ...
    in.expiry = 20241225;
    in.underlying = underlying;
    char cid[40];
    std::snprintf(cid, sizeof cid, "%s%c2412M%05d", underlying, in.call_put, in.strike / 10);
    in.contract_id = cid;
    char name[40];
    std::snprintf(name, sizeof name, "%s %s Dec %d.%03d", exchange == 1 ? "50ETF" : "300ETF",
                  in.call_put == 'C' ? "Call" : "Put", in.strike / 10000, in.strike / 10 % 1000);
    in.name = name;
    in.tick = 1;  // 0.0001
    init_prices(&in, rng_.Range(200, 5000) * 10);
    in.up_limit = in.pre_close * 3;  // options move far more than stocks
    in.down_limit = in.tick;
    inst_.push_back(in);
  }
}

void MarketModel::rebuild_book(Instrument* in, int levels) {
  for (int i = 0; i < 10; ++i) {
    in->ask_px[i] = in->ask_vol[i] = in->bid_px[i] = in->bid_vol[i] = 0;
  }
  if (in->kind == InstrumentKind::kIndex) return;
  int64_t lot = in->kind == InstrumentKind::kStock ? 100 : 1;
  for (int i = 0; i < levels; ++i) {
    int64_t ask = in->last + (i + 1) * in->tick;
    int64_t bid = in->last - i * in->tick;
    if (ask <= in->up_limit) {  // no quotes beyond the daily limit
      in->ask_px[i] = static_cast<uint64_t>(ask);
      in->ask_vol[i] = static_cast<uint64_t>(rng_.Range(1, 80) * lot);
    }
    if (bid >= in->down_limit && bid > 0) {
      in->bid_px[i] = static_cast<uint64_t>(bid);
      in->bid_vol[i] = static_cast<uint64_t>(rng_.Range(1, 80) * lot);
    }
  }
}

void MarketModel::walk(Instrument* in) {
  // Mostly small moves, sometimes none, rarely a jump of a few ticks.
  int64_t r = static_cast<int64_t>(rng_.Below(100));
  int64_t steps = r < 30 ? 0 : r < 85 ? rng_.Range(-1, 1) : rng_.Range(-4, 4);
  int64_t px = in->last + steps * in->tick;
  px = std::min(std::max(px, in->down_limit), in->up_limit);
  in->last = px;
  in->high = std::max(in->high, px);
  in->low = std::min(in->low, px);
  int64_t qty = rng_.Range(1, 50) * (in->kind == InstrumentKind::kStock ? 100 : 1);
  in->volume += qty;
  in->value += qty * px;
  in->trades += 1;
  if (in->kind == InstrumentKind::kFuture) in->open_interest += rng_.Range(-5, 5);
  rebuild_book(in, in->kind == InstrumentKind::kFuture ? 5 : 10);
}

size_t MarketModel::pick(InstrumentKind kind, int exchange) {
  const std::vector<size_t>& v = by_kind_[static_cast<int>(kind)][exchange];
  if (v.empty()) return SIZE_MAX;
  return v[rng_.Below(v.size())];
}

uint16_t MarketModel::Next(uint64_t stamp, WireWriter* w) {
  // Event mix, out of 100: snapshots are the bulk of a level-2 feed, then
  // orders and trades; queues, indices and futures are rarer.
  uint64_t r = rng_.Below(100);
  if (book_flow_) {
    // Stocks come from the order flow; the rest of the market as before.
    uint16_t fid = 0;
    if (book_flow_->Next(stamp, w, &fid, false)) return fid;
    const uint64_t others[] = {30, 84, 94};  // option, index, future snapshots
    r = others[r % 3];
  }
  size_t idx = SIZE_MAX;
  uint16_t id = kFidSecuritySnapShot;
  if (r < 30) {
    id = kFidSecuritySnapShot;
    idx = pick(InstrumentKind::kStock, 0);
  } else if (r < 36) {
    id = kFidSecuritySnapShot;
    idx = pick(InstrumentKind::kOption, 0);
  } else if (r < 56) {
    id = kFidTradeDetail;
    idx = pick(InstrumentKind::kStock, 0);
  } else if (r < 76) {
    idx = pick(InstrumentKind::kStock, 0);
    id = (idx != SIZE_MAX && inst_[idx].exchange == 1) ? kFidSHOrderDetail : kFidOrderDetail;
  } else if (r < 84) {
    id = kFidOrderQueue;
    idx = pick(InstrumentKind::kStock, 0);
  } else if (r < 94) {
    id = kFidIndexSnapShot;
    idx = pick(InstrumentKind::kIndex, 0);
  } else {
    id = kFidFutureSnapShot;
    idx = pick(InstrumentKind::kFuture, 0);
  }
  if (idx == SIZE_MAX && book_flow_) {
    uint16_t fid = 0;
    if (book_flow_->Next(stamp, w, &fid, true)) return fid;
  }
  if (idx == SIZE_MAX) {
    // The configured market lacks that kind: fall back to a snapshot of
    // whatever instrument there is.
    idx = rng_.Below(inst_.size());
    InstrumentKind k = inst_[idx].kind;
    id = k == InstrumentKind::kIndex    ? kFidIndexSnapShot
         : k == InstrumentKind::kFuture ? kFidFutureSnapShot
                                        : kFidSecuritySnapShot;
  }
  Instrument& in = inst_[idx];
  switch (id) {
    case kFidSecuritySnapShot:
      walk(&in);
      write_security_snapshot(in, stamp, w);
      break;
    case kFidIndexSnapShot:
      walk(&in);
      write_index_snapshot(in, stamp, w);
      break;
    case kFidFutureSnapShot:
      walk(&in);
      write_future_snapshot(in, stamp, w);
      break;
    case kFidTradeDetail:
      walk(&in);
      write_trade_detail(in, stamp, w);
      break;
    case kFidOrderQueue:
      write_order_queue(in, stamp, w);
      break;
    case kFidOrderDetail:
      write_order_detail(in, stamp, w);
      break;
    default:
      write_sh_order_detail(in, stamp, w);
      break;
  }
  return id;
}

bool MarketModel::SnapshotOf(const std::string& code, uint64_t stamp, WireWriter* w) {
  for (Instrument& in : inst_) {
    if (in.code != code) continue;
    if (in.kind != InstrumentKind::kStock && in.kind != InstrumentKind::kOption) return false;
    write_security_snapshot(in, stamp, w);
    return true;
  }
  return false;
}

void MarketModel::write_security_snapshot(Instrument& in, uint64_t stamp, WireWriter* w) {
  put_code(w, in.code);
  w->U8(in.exchange);
  w->U64(stamp);
  w->I32(2);  // continuous trading
  w->I64(in.pre_close);
  w->I64(in.open);
  w->I64(in.high);
  w->I64(in.low);
  w->I64(in.last);
  for (uint64_t v : in.ask_px) w->U64(v);
  for (uint64_t v : in.ask_vol) w->U64(v);
  for (uint64_t v : in.bid_px) w->U64(v);
  for (uint64_t v : in.bid_vol) w->U64(v);
  int64_t bid_total = 0, ask_total = 0, bid_amt = 0, ask_amt = 0;
  for (int i = 0; i < 10; ++i) {
    bid_total += static_cast<int64_t>(in.bid_vol[i]);
    ask_total += static_cast<int64_t>(in.ask_vol[i]);
    bid_amt += static_cast<int64_t>(in.bid_vol[i] * in.bid_px[i]);
    ask_amt += static_cast<int64_t>(in.ask_vol[i] * in.ask_px[i]);
  }
  w->I64(in.trades);
  w->I64(in.volume);
  w->I64(in.value);
  w->I64(bid_total);
  w->I64(ask_total);
  w->I64(bid_total ? bid_amt / bid_total : 0);
  w->I64(ask_total ? ask_amt / ask_total : 0);
  w->I64(0);  // IOPV: funds only
  w->I64(0);  // yield to maturity: bonds only
  w->I64(in.up_limit);
  w->I64(in.down_limit);
  w->I64(rng_.Range(50000, 400000));  // P/E 1 and 2, in 1/10000
  w->I64(rng_.Range(50000, 400000));
  w->I64(in.last - in.pre_close);  // change against the previous close
  w->I64(in.last - in.open);
  w->I64(0);  // after-hours fields stay empty during the session
  w->I64(0);
  w->I64(0);
  w->I64(0);
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  w->I64(ts.tv_sec);
  w->I64(ts.tv_nsec);
}

void MarketModel::write_index_snapshot(Instrument& in, uint64_t stamp, WireWriter* w) {
  put_code(w, in.code);
  w->U8(in.exchange);
  w->U64(stamp);
  w->I64(in.pre_close);
  w->I64(in.open);
  w->I64(in.high);
  w->I64(in.low);
  w->I64(in.last);
  w->I64(in.volume);
  w->I64(in.value);
}

void MarketModel::write_future_snapshot(Instrument& in, uint64_t stamp, WireWriter* w) {
  put_code(w, in.code);
  w->U8(in.exchange);
  w->U64(stamp);
  w->U32(StampDate(stamp));
  w->I32(2);
  w->I64(in.open_interest);
  w->I64(in.pre_close);
  w->I64(in.pre_close);  // previous settlement
  w->I64(in.open);
  w->I64(in.high);
  w->I64(in.low);
  w->I64(in.last);
  w->I64(in.volume);
  w->I64(in.value);
  w->I64(in.open_interest);
  w->I64(0);  // close and settlement are known after the session
  w->I64(0);
  w->I64(in.up_limit);
  w->I64(in.down_limit);
  w->I32(0);
  w->I32(0);
  for (int i = 0; i < 5; ++i) w->U64(in.ask_px[i]);
  for (int i = 0; i < 5; ++i) w->U64(in.ask_vol[i]);
  for (int i = 0; i < 5; ++i) w->U64(in.bid_px[i]);
  for (int i = 0; i < 5; ++i) w->U64(in.bid_vol[i]);
  w->I64(0);  // no auction during continuous trading
  w->I64(0);
}

void MarketModel::write_order_queue(Instrument& in, uint64_t stamp, WireWriter* w) {
  bool buy = rng_.Below(2) == 0;
  uint64_t px = buy ? in.bid_px[0] : in.ask_px[0];
  int64_t n = rng_.Range(1, 200);
  put_code(w, in.code);
  w->U8(in.exchange);
  w->U64(stamp);
  w->U8(buy ? '1' : '2');
  w->I64(static_cast<int64_t>(px));
  w->I64(n);
  w->I64(n);
  for (int64_t i = 0; i < 200; ++i) {
    w->U32(i < n ? static_cast<uint32_t>(rng_.Range(1, 100) * 100) : 0);
  }
}

void MarketModel::write_order_detail(Instrument& in, uint64_t stamp, WireWriter* w) {
  bool buy = rng_.Below(2) == 0;
  int64_t px = static_cast<int64_t>(buy ? in.bid_px[rng_.Below(5)] : in.ask_px[rng_.Below(5)]);
  put_code(w, in.code);
  w->U8(in.exchange);
  w->U64(stamp);
  w->I64(++order_seq_[in.exchange]);
  w->I64(px);
  w->I64(rng_.Range(1, 100) * 100);
  w->U8(buy ? '1' : '2');
  w->U8(rng_.Below(10) == 0 ? '1' : '2');  // market or limit order
}

void MarketModel::write_sh_order_detail(Instrument& in, uint64_t stamp, WireWriter* w) {
  bool buy = rng_.Below(2) == 0;
  int64_t px = static_cast<int64_t>(buy ? in.bid_px[rng_.Below(5)] : in.ask_px[rng_.Below(5)]);
  int64_t no = ++order_seq_[1];
  put_code(w, in.code);
  w->U64(stamp);
  w->I32(static_cast<int32_t>(no));
  w->I32(static_cast<int32_t>(1 + in.code.back() % 6));  // channel by code
  w->I64(px);
  w->I64(rng_.Range(1, 100) * 100);
  w->I64(no);
  w->U8(rng_.Below(8) == 0 ? 'D' : 'A');  // add, sometimes delete
  w->U8(buy ? '1' : '2');
  w->I64(++biz_index_);
  w->U8('0');
}

void MarketModel::write_trade_detail(Instrument& in, uint64_t stamp, WireWriter* w) {
  int64_t qty = rng_.Range(1, 50) * 100;
  bool buyer_initiated = rng_.Below(2) == 0;
  put_code(w, in.code);
  w->U8(in.exchange);
  w->U64(stamp);
  w->I64(++trade_seq_[in.exchange]);
  w->I64(in.last);
  w->I64(qty);
  w->I64(qty * in.last);
  int64_t seq = order_seq_[in.exchange];
  w->I64(seq > 1 ? seq - static_cast<int64_t>(rng_.Below(seq)) : 1);
  w->I64(seq > 1 ? seq - static_cast<int64_t>(rng_.Below(seq)) : 1);
  w->U8('1');  // a trade ('2' would be a cancellation)
  w->U8(buyer_initiated ? '1' : '2');
  w->I32(static_cast<int32_t>(1 + in.code.back() % 6));
  w->I64(++biz_index_);
}

void MarketModel::WriteSecurityBaseInfo(const Instrument& in, WireWriter* w) const {
  put_code(w, in.code);
  w->U8(in.exchange);
  w->I32(static_cast<int32_t>(in.kind));  // 1 stock, 2 index, 3 future, 4 option
  w->U32(update_no_);
  w->Text(in.name.c_str(), 32);
  w->I64(in.pre_close);
  w->I64(in.up_limit);
  w->I64(in.down_limit);
}

void MarketModel::WriteOptionBaseInfo(const Instrument& in, WireWriter* w) const {
  WriteSecurityBaseInfo(in, w);
  w->Text(in.underlying.c_str(), 32);
  w->Text(in.contract_id.c_str(), 32);
  w->U8(static_cast<uint8_t>(in.call_put));
  w->I32(in.strike);
  w->U8('E');  // European exercise
  w->U8('N');  // not adjusted
  w->U8('N');  // not a new listing today
  w->I32(static_cast<int32_t>(in.expiry));
  w->I64(10000);                                // contract unit
  w->I32(static_cast<int32_t>(in.expiry));      // exercise date
  w->I32(static_cast<int32_t>(in.expiry + 1));  // delivery date
  w->I32(30);                                   // days to expiry
  w->I64(0);
}

void MarketModel::RawMessage(uint8_t exchange, uint64_t seq, uint64_t stamp,
                             std::vector<char>* out) const {
  // An independent generator per message, so that any message can be made
  // again from its number alone.
  SimRng r(cfg_.seed ^ (seq * 0x9E3779B97F4A7C15ULL) ^ (static_cast<uint64_t>(exchange) << 56));
  unsigned lo = std::max(24u, cfg_.raw_min_len);
  unsigned hi = std::max(lo, cfg_.raw_max_len);
  unsigned short_hi = std::min(hi, lo + 300);
  unsigned len = r.Below(5) == 0 ? static_cast<unsigned>(r.Range(lo, hi))
                                 : static_cast<unsigned>(r.Range(lo, short_hi));
  WireWriter w;
  w.U16(static_cast<uint16_t>(300 + r.Below(6)));  // message type
  w.U16(static_cast<uint16_t>(len > 0xffff ? 0xffff : len));
  w.U8(exchange);
  w.U8(0);
  w.U64(seq);
  w.U64(stamp);
  w.U16(0);
  while (w.size() < len) w.U8(static_cast<uint8_t>(r.Next()));
  out->assign(w.data(), w.data() + len);
}

}  // namespace sim
}  // namespace zavo
