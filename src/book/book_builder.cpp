#include "book/book_builder.h"

#include <algorithm>

namespace zavo {
namespace book {

namespace {

int side_of(char c) {
  return c == 'B' ? ZAVO_BOOK_BID : c == 'S' ? ZAVO_BOOK_ASK : -1;
}

constexpr size_t kLevelsReserved = 64;

bool is_market_data(uint32_t kind) {
  return kind >= ZAVO_MSG_INDEX_SNAPSHOT && kind <= ZAVO_MSG_SH_ORDER_DETAIL;
}

// Smallest record size a kind must carry to be read.
uint32_t record_size(uint32_t kind) {
  switch (kind) {
    case ZAVO_MSG_SECURITY_SNAPSHOT:
      return sizeof(ZAVO_SecuritySnapShot);
    case ZAVO_MSG_TRADE_DETAIL:
      return sizeof(ZAVO_TradeDetail);
    case ZAVO_MSG_ORDER_DETAIL:
      return sizeof(ZAVO_OrderDetail);
    case ZAVO_MSG_SH_ORDER_DETAIL:
      return sizeof(ZAVO_SHOrderDetail);
    case ZAVO_MSG_LOST_RANGE:
      return sizeof(ZAVO_LostRange);
    default:
      return 0;
  }
}

}  // namespace

void CodeTable::Insert(const CodeKey& k, uint32_t value) {
  if ((size_ + 1) * 2 > table_.size()) rehash(table_.size() * 2);
  size_t i = home(k);
  while (table_[i].value != UINT32_MAX) i = (i + 1) & mask_;
  table_[i].key = k;
  table_[i].value = value;
  ++size_;
}

void CodeTable::Reserve(size_t count) {
  size_t cap = table_.size();
  while (count * 2 > cap) cap *= 2;
  if (cap != table_.size()) rehash(cap);
}

void CodeTable::rehash(size_t capacity) {
  std::vector<Entry> old;
  old.swap(table_);
  table_.assign(capacity, Entry());
  mask_ = capacity - 1;
  size_ = 0;
  for (const Entry& e : old) {
    if (e.value != UINT32_MAX) Insert(e.key, e.value);
  }
}

uint32_t BookBuilder::lookup(const CodeKey& key) {
  // Details of one security tend to come in runs: skip the hash then.
  if (last_index_ != UINT32_MAX && key == last_key_) return last_index_;
  uint32_t idx = by_code_.Find(key);
  if (idx == UINT32_MAX) return UINT32_MAX;
  last_key_ = key;
  last_index_ = idx;
  return idx;
}

uint32_t BookBuilder::security(const char (&code)[16], char exchange) {
  const CodeKey key = KeyOfRecordCode(code, exchange);
  uint32_t idx = lookup(key);
  if (idx != UINT32_MAX) return idx;
  idx = static_cast<uint32_t>(books_.size());
  {
    books_.emplace_back();
    SecurityBook& b = books_.back();
    std::memcpy(b.code, key.code, sizeof key.code);
    b.exchange = exchange;
    b.check.diff_side = -1;
    // Room for a deep book from the start: a level that comes and goes
    // then never allocates.
    b.bid.Reserve(kLevelsReserved);
    b.ask.Reserve(kLevelsReserved);
    // After a gap nobody can say what a newly seen security missed.
    b.check.stale = seen_gap_ ? 1 : 0;
    by_code_.Insert(key, idx);
  }
  last_key_ = key;
  last_index_ = idx;
  return idx;
}

const SecurityBook* BookBuilder::Find(const char* code, char exchange) const {
  // A caller's text may be shorter than a record's array: read it bytewise.
  uint32_t idx = by_code_.Find(KeyOfText(code, exchange));
  return idx == UINT32_MAX ? nullptr : &books_[idx];
}

void BookBuilder::Reserve(uint32_t securities, uint64_t orders) {
  books_.reserve(securities);
  by_code_.Reserve(securities);
  pool_.Reserve(orders);
  index_.Reserve(orders);
}

bool BookBuilder::sequence_ok(const ZAVO_MSG& msg, int* result) {
  if (msg.SeqNum == 0 || !is_market_data(msg.MsgType)) return true;
  if (flags_ & ZAVO_BOOK_NO_SEQ_CHECK) return filtered_sequence_ok(msg);
  if (msg.SeqNum == 1 && last_seq_ > 1) {
    // The server numbers from 1 again (it restarted): whatever its books
    // were, nothing said so in order. Everything is stale until its next
    // snapshot.
    totals_.restarts += 1;
    seen_gap_ = true;
    for (SecurityBook& b : books_) b.check.stale = 1;
    last_seq_ = 1;
    return true;
  }
  if (msg.SeqNum <= last_seq_) {
    totals_.late += 1;
    *result = ZAVO_BOOK_LATE;
    return false;
  }
  // The feed numbers its fields from 1: a book that starts later has
  // missed the beginning, which is a gap like any other.
  if (msg.SeqNum > last_seq_ + 1) {
    totals_.gaps += 1;
    totals_.missing += msg.SeqNum - last_seq_ - 1;
    if ((flags_ & ZAVO_BOOK_HOLD_GAPS) && last_seq_ != 0) {
      // Wait for the program to have the range resent: keep what comes
      // meanwhile and apply it once the gap is filled.
      holding_ = true;
      gap_next_ = last_seq_ + 1;
      gap_end_ = msg.SeqNum;
      hold(msg);
      *result = ZAVO_BOOK_HELD;
      return false;
    }
    seen_gap_ = true;
    for (SecurityBook& b : books_) b.check.stale = 1;
  }
  last_seq_ = msg.SeqNum;
  return true;
}

// A filtered feed skips numbers by design, so holes mean nothing; two
// things still do. A first number above 1 says the book started on a
// running feed: orders that rest from before it were never seen, so every
// security stays stale until its next snapshot (otherwise they would count
// as disagreements). And numbering from 1 again is a restart of the server.
bool BookBuilder::filtered_sequence_ok(const ZAVO_MSG& msg) {
  if (last_seq_ == 0 && msg.SeqNum > 1) {
    totals_.gaps += 1;
    seen_gap_ = true;
  } else if (msg.SeqNum == 1 && last_seq_ > 1) {
    totals_.restarts += 1;
    seen_gap_ = true;
    for (SecurityBook& b : books_) b.check.stale = 1;
  }
  last_seq_ = msg.SeqNum;
  return true;
}

int BookBuilder::Apply(const ZAVO_MSG& msg) {
  totals_.messages += 1;
  const bool has_record = is_market_data(msg.MsgType) || msg.MsgType == ZAVO_MSG_LOST_RANGE;
  if (has_record && msg.MsgData == nullptr) return ZAVO_BOOK_EINVAL;
  if (msg.MsgSize < record_size(msg.MsgType)) return ZAVO_BOOK_EINVAL;
  if (msg.MsgType == ZAVO_MSG_LOST_RANGE) {
    return lost_range(*static_cast<const ZAVO_LostRange*>(msg.MsgData));
  }
  return route(msg);
}

int BookBuilder::route(const ZAVO_MSG& msg) {
  if (holding_ && msg.SeqNum != 0 && is_market_data(msg.MsgType)) return while_holding(msg);
  int result = ZAVO_BOOK_APPLIED;
  if (!sequence_ok(msg, &result)) return result;
  return apply_record(msg);
}

// A recovering session says in the stream which fields it could not get
// back. They may have belonged to any security, so everything is stale,
// as after a gap the book saw itself, and for a filtered book too: the
// one kind of hole it can tell from a filtered-out field. The range is
// behind the book from now on, so the field after it is no gap.
int BookBuilder::lost_range(const ZAVO_LostRange& lost) {
  if (lost.EndSeq <= lost.BeginSeq) return ZAVO_BOOK_IGNORED;
  if (holding_) DropGap();
  if (lost.EndSeq - 1 <= last_seq_) {
    // Reported for numbers the book already passed (a session that resent
    // them, or a duplicate report): nothing new is missing.
    totals_.late += 1;
    return ZAVO_BOOK_LATE;
  }
  totals_.gaps += 1;
  totals_.missing += lost.EndSeq - std::max(lost.BeginSeq, last_seq_ + 1);
  seen_gap_ = true;
  for (SecurityBook& b : books_) b.check.stale = 1;
  last_seq_ = lost.EndSeq - 1;
  return ZAVO_BOOK_APPLIED;
}

void BookBuilder::hold(const ZAVO_MSG& msg) {
  // While replaying, what is held again is part of what was held before,
  // which was within the bound; giving up in the middle of a replay would
  // apply its rest out of order.
  if (!held_.Push(msg, replaying_now_ ? SIZE_MAX : kMaxHeldBytes)) {
    // Too much to keep: give up waiting and go on as after any gap.
    totals_.held_overflows += 1;
    DropGap();
    route(msg);
  }
}

int BookBuilder::while_holding(const ZAVO_MSG& msg) {
  if (msg.SeqNum == gap_next_) {
    // The next missing field, resent: it belongs before everything held.
    last_seq_ = msg.SeqNum;
    int result = apply_record(msg);
    if (++gap_next_ == gap_end_) {
      holding_ = false;
      totals_.filled += 1;
      replay();
    }
    return result;
  }
  if (msg.SeqNum >= gap_end_ && msg.SeqNum > held_.last_seq()) {
    hold(msg);
    return ZAVO_BOOK_HELD;
  }
  totals_.late += 1;
  return ZAVO_BOOK_LATE;
}

void BookBuilder::replay() {
  // What was held goes through the ordinary path in order; a further gap
  // among it starts holding again, into the emptied buffer.
  if (replaying_now_) return;  // the loop below takes up what is held
  replaying_now_ = true;
  while (!holding_ && !held_.empty()) {
    replaying_.Clear();
    replaying_.Swap(held_);
    for (size_t i = 0; i < replaying_.size(); ++i) route(replaying_.At(i));
  }
  replaying_now_ = false;
  replaying_.Clear();
}

void BookBuilder::DropGap() {
  if (!holding_) return;
  holding_ = false;
  seen_gap_ = true;
  for (SecurityBook& b : books_) b.check.stale = 1;
  last_seq_ = gap_end_ - 1;
  replay();
}

bool BookBuilder::PendingGap(uint64_t* begin, uint64_t* end) const {
  if (!holding_) return false;
  *begin = gap_next_;
  *end = gap_end_;
  return true;
}

int BookBuilder::apply_record(const ZAVO_MSG& msg) {
  int result = ZAVO_BOOK_APPLIED;
  switch (msg.MsgType) {
    case ZAVO_MSG_ORDER_DETAIL:
      result = apply_order(*static_cast<const ZAVO_OrderDetail*>(msg.MsgData));
      break;
    case ZAVO_MSG_SH_ORDER_DETAIL:
      result = apply_sh_order(*static_cast<const ZAVO_SHOrderDetail*>(msg.MsgData));
      break;
    case ZAVO_MSG_TRADE_DETAIL: {
      const auto& r = *static_cast<const ZAVO_TradeDetail*>(msg.MsgData);
      result = apply_trade(r, r.Time);
      break;
    }
    case ZAVO_MSG_SECURITY_SNAPSHOT:
      return apply_snapshot(*static_cast<const ZAVO_SecuritySnapShot*>(msg.MsgData), msg.SeqNum);
    default:
      result = ZAVO_BOOK_IGNORED;
      break;
  }
  if (result == ZAVO_BOOK_APPLIED) {
    totals_.details += 1;
  } else if (result == ZAVO_BOOK_IGNORED) {
    totals_.ignored += 1;
  }
  return result;
}

void BookBuilder::add(uint32_t sec, int side, int64_t seq, int64_t price, int64_t qty, bool rest) {
  int32_t s = pool_.Take();
  if (!index_.Insert(sec, seq, s)) {
    // A number already in use: the feed repeated an order. Keep the first.
    pool_.Give(s);
    totals_.ignored += 1;
    return;
  }
  Order& o = pool_[s];
  o.seq = seq;
  o.price = price;
  o.qty = qty;
  o.security = sec;
  o.side = static_cast<uint8_t>(side);
  if (rest) {
    books_[sec].side(side).Rest(pool_, s);
  } else {
    o.state = OrderState::kHeld;
  }
}

bool BookBuilder::reduce(uint32_t sec, int64_t seq, int64_t qty, bool expected_unknown) {
  int32_t s = index_.Find(sec, seq);
  if (s < 0) {
    if (!expected_unknown) totals_.unknown_refs += 1;
    return false;
  }
  Order& o = pool_[s];
  bool gone;
  if (o.state == OrderState::kResting) {
    BookSide& side = books_[sec].side(o.side);
    if (qty < 0) {
      side.Remove(pool_, s);
      gone = true;
    } else {
      gone = side.Reduce(pool_, s, qty);
    }
  } else {
    o.qty = qty < 0 ? 0 : o.qty - qty;
    gone = o.qty <= 0;
  }
  if (gone) {
    index_.Erase(sec, seq);
    pool_.Give(s);
  }
  return true;
}

int BookBuilder::apply_order(const ZAVO_OrderDetail& r) {
  int side = side_of(r.OrderSide);
  if (side < 0) return ZAVO_BOOK_IGNORED;
  if (r.OrderType != '1' && r.OrderType != '2' && r.OrderType != 'U') return ZAVO_BOOK_IGNORED;
  uint32_t sec = security(r.Code, r.ExchangeID);
  int64_t qty = static_cast<int64_t>(r.OrderQty);
  if (r.OrderType == '2') {
    add(sec, side, r.OrderSequence, r.OrderPrice, qty, true);
  } else if (r.OrderType == 'U') {
    // Joins the best price of its own side as it stands now; the price the
    // record carries is not what the order rests at.
    const Level* best = books_[sec].side(side).FromBest(0);
    add(sec, side, r.OrderSequence, best ? best->price : 0, qty, best != nullptr);
  } else {
    add(sec, side, r.OrderSequence, r.OrderPrice, qty, false);
  }
  return ZAVO_BOOK_APPLIED;
}

int BookBuilder::apply_sh_order(const ZAVO_SHOrderDetail& r) {
  if (r.OrderType == 'A') {
    int side = side_of(r.BSFlag);
    if (side < 0) return ZAVO_BOOK_IGNORED;
    uint32_t sec = security(r.Code, '1');
    if (r.Balance > 0) add(sec, side, r.OrderNo, r.OrderPrice, r.Balance, true);
    return ZAVO_BOOK_APPLIED;
  }
  if (r.OrderType == 'D') {
    uint32_t sec = security(r.Code, '1');
    int side = side_of(r.BSFlag);
    // An order the book never saw may be part of what a snapshot showed.
    if (!reduce(sec, r.OrderNo, -1, false) && side >= 0) {
      books_[sec].side(side).TakeInferred(r.OrderPrice, r.Balance);
    }
    return ZAVO_BOOK_APPLIED;
  }
  return ZAVO_BOOK_IGNORED;
}

int BookBuilder::apply_trade(const ZAVO_TradeDetail& r, uint32_t time) {
  if (r.ExecType == 'T') {
    uint32_t sec = security(r.Code, r.ExchangeID);
    int64_t qty = static_cast<int64_t>(r.TradeQty);
    // On Shanghai the aggressor is not on the book yet (its add follows
    // its trades), so an unknown order there is no finding.
    bool sh = r.ExchangeID == '1';
    bool ask_known = r.AskOrderSequence > 0 && reduce(sec, r.AskOrderSequence, qty, sh);
    bool bid_known = r.BidOrderSequence > 0 && reduce(sec, r.BidOrderSequence, qty, sh);
    // A resting order the book never saw traded: take the quantity off
    // what a snapshot showed at that price. The resting side is the one
    // the aggressor flag does not name; without a flag, on Shenzhen (whose
    // aggressor is always on the book by now) it is the unknown one.
    int passive = r.BSFlag == 'B' ? ZAVO_BOOK_ASK : r.BSFlag == 'S' ? ZAVO_BOOK_BID : -1;
    if (passive < 0 && !sh && ask_known != bid_known) {
      passive = ask_known ? ZAVO_BOOK_BID : ZAVO_BOOK_ASK;
    }
    bool passive_unknown = (passive == ZAVO_BOOK_ASK && r.AskOrderSequence > 0 && !ask_known) ||
                           (passive == ZAVO_BOOK_BID && r.BidOrderSequence > 0 && !bid_known);
    SecurityBook& b = books_[sec];
    if (passive_unknown) {
      if (sh) totals_.unknown_refs += 1;
      b.side(passive).TakeInferred(r.TradePrice, qty);
    }
    b.has_trade = true;
    b.last_trade.price = r.TradePrice;
    b.last_trade.quantity = qty;
    b.last_trade.trade_sequence = r.TradeSequence;
    b.last_trade.ask_sequence = r.AskOrderSequence;
    b.last_trade.bid_sequence = r.BidOrderSequence;
    b.last_trade.time = time;
    b.last_trade.bs_flag = r.BSFlag;
    return ZAVO_BOOK_APPLIED;
  }
  if (r.ExecType == 'C') {
    int64_t seq = r.AskOrderSequence > 0 ? r.AskOrderSequence : r.BidOrderSequence;
    if (seq <= 0) return ZAVO_BOOK_IGNORED;
    reduce(security(r.Code, r.ExchangeID), seq, -1, false);
    return ZAVO_BOOK_APPLIED;
  }
  return ZAVO_BOOK_IGNORED;
}

int BookBuilder::apply_snapshot(const ZAVO_SecuritySnapShot& r, uint64_t seq) {
  // A security no detail has named yet is not tracked: the feed may not
  // carry its details at all (options, or details not subscribed), and a
  // book that never had a chance is no finding.
  uint32_t idx = lookup(KeyOfRecordCode(r.Code, r.ExchangeID));
  if (idx == UINT32_MAX) {
    totals_.untracked += 1;
    return ZAVO_BOOK_IGNORED;
  }
  SecurityBook& b = books_[idx];
  totals_.snapshots += 1;
  const uint64_t* px[2] = {r.BidPrice, r.AskPrice};
  const uint64_t* vol[2] = {r.BidVol, r.AskVol};
  for (int s = 0; s < 2; ++s) {
    const BookSide& side = b.side(s);
    for (size_t i = 0; i < 10; ++i) {
      const Level* lv = side.FromBest(i);
      int64_t bp = lv ? lv->price : 0, bv = lv ? lv->volume : 0;
      int64_t sp = static_cast<int64_t>(px[s][i]), sv = static_cast<int64_t>(vol[s][i]);
      // An empty slot of the snapshot is price 0; its volume says nothing.
      if (sp == 0 && lv == nullptr) continue;
      if (sp == bp && sv == bv) continue;
      zavo_book_check_info& c = b.check;
      c.diff_side = s;
      c.diff_level = static_cast<int>(i) + 1;
      c.snap_price = sp;
      c.snap_volume = sv;
      c.book_price = bp;
      c.book_volume = bv;
      c.diff_seq = seq;
      c.diff_time = r.Time;
      if (c.stale || b.bid.inferred_levels() + b.ask.inferred_levels() > 0) {
        // The book missed something, or holds quantities it only knows
        // from a snapshot: this one resynchronises its top instead of
        // counting against the rules.
        c.stale_snapshots += 1;
        totals_.stale_snapshots += 1;
        resync(&b, r);
        if (c.stale) {
          c.stale = 0;
          totals_.resyncs += 1;
        }
      } else {
        c.disagreements += 1;
        totals_.disagreements += 1;
      }
      return ZAVO_BOOK_APPLIED;
    }
  }
  if (b.check.stale) {
    b.check.stale = 0;
    totals_.resyncs += 1;
  }
  b.check.agreements += 1;
  totals_.agreements += 1;
  return ZAVO_BOOK_APPLIED;
}

void BookBuilder::resync(SecurityBook* b, const ZAVO_SecuritySnapShot& r) {
  auto drop = [this](int32_t s) {
    const Order& o = pool_[s];
    index_.Erase(o.security, o.seq);
    pool_.Give(s);
  };
  b->bid.Adopt(pool_, r.BidPrice, r.BidVol, 10, drop);
  b->ask.Adopt(pool_, r.AskPrice, r.AskVol, 10, drop);
}

zavo_book_totals_info BookBuilder::Totals() const {
  zavo_book_totals_info t = totals_;
  t.securities = static_cast<uint32_t>(books_.size());
  t.stale = 0;
  for (const SecurityBook& b : books_) t.stale += b.check.stale ? 1 : 0;
  t.resting_orders = index_.size();
  t.held = held_.size();
  return t;
}

}  // namespace book
}  // namespace zavo
