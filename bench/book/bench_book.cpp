// Book update cost: zavo_book_apply per order or trade detail, in
// nanoseconds, against the decode floor measured on the same details in
// the same run (the session's step from a record's wire bytes to the
// public record, which every detail pays before a book sees it).
//
// The details come from the simulator's order flow in book mode (40
// stocks, Shanghai and Shenzhen, every kind of order and cancel), with
// their snapshots, which are applied and compared as well but timed apart.
// The first quarter of the stream warms the book up; over the rest each
// detail is decoded and then applied, both timed with the time-stamp
// counter, so the two figures share every disturbance. An allocation
// counter (a replaced operator new) proves the update allocates nothing:
// the program exits with 1 when it does.
//
// usage: bench_book [--quick] [--details N]
#include <x86intrin.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/record_decode.h"
#include "sim_market.h"
#include "sim_wire.h"
#include "support/alloc_counter.h"
#include "support/bench_stats.h"
#include "zavo_book.h"

namespace {

using namespace zavo;
using namespace zavo::bench;

inline uint64_t ticks() {
  _mm_lfence();
  uint64_t t = __rdtsc();
  _mm_lfence();
  return t;
}

struct Rec {
  uint16_t id;
  uint32_t offset, size;
};

// Decodes one record into its public record and fills the message.
union Public {
  ZAVO_SecuritySnapShot snap;
  ZAVO_OrderDetail order;
  ZAVO_SHOrderDetail sh;
  ZAVO_TradeDetail trade;
};

// The library's per-field decoding, with the length check its field walk
// makes once per field.
template <class Field, class R>
inline bool decode_as(const Rec& r, const char* d, R* out) {
  if (r.size < Field::Size()) return false;
  DecodeRecord(d, out);
  return true;
}

inline bool decode(const Rec& r, const char* bytes, Public* out, ZAVO_MSG* m) {
  const char* d = bytes + r.offset;
  switch (r.id) {
    case sim::kFidOrderDetail:
      m->MsgType = ZAVO_MSG_ORDER_DETAIL;
      m->MsgSize = sizeof(ZAVO_OrderDetail);
      return decode_as<OrderDetailField>(r, d, &out->order);
    case sim::kFidSHOrderDetail:
      m->MsgType = ZAVO_MSG_SH_ORDER_DETAIL;
      m->MsgSize = sizeof(ZAVO_SHOrderDetail);
      return decode_as<SH_OrderDetailField>(r, d, &out->sh);
    case sim::kFidTradeDetail:
      m->MsgType = ZAVO_MSG_TRADE_DETAIL;
      m->MsgSize = sizeof(ZAVO_TradeDetail);
      return decode_as<TradeDetailField>(r, d, &out->trade);
    case sim::kFidSecuritySnapShot: {
      m->MsgType = ZAVO_MSG_SECURITY_SNAPSHOT;
      m->MsgSize = sizeof(ZAVO_SecuritySnapShot);
      if (r.size < SecuritySnapShotField::Size()) return false;
      timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      DecodeRecord(d, &out->snap, now);
      return true;
    }
    default:
      return false;
  }
}

bool is_detail(uint16_t id) {
  return id == sim::kFidOrderDetail || id == sim::kFidSHOrderDetail || id == sim::kFidTradeDetail;
}

}  // namespace

int main(int argc, char** argv) {
  size_t details = 400000;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--quick") {
      details = 40000;
    } else if (a == "--details" && i + 1 < argc) {
      details = std::strtoull(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--details N]\n", argv[0]);
      return 2;
    }
  }
  if (details < 1000) details = 1000;

  // The stream: stock records of the order flow only (the other
  // instruments' snapshots are not the book's business).
  sim::SimConfig cfg;
  cfg.book_model = true;
  sim::MarketModel model(cfg);
  std::vector<char> bytes;
  std::vector<Rec> recs;
  sim::WireWriter w;
  size_t n_details = 0;
  while (n_details < details) {
    w.Reset();
    uint16_t id = model.Next(20240305100000000ULL, &w);
    if (!is_detail(id) && id != sim::kFidSecuritySnapShot) continue;
    recs.push_back(Rec{id, static_cast<uint32_t>(bytes.size()), static_cast<uint32_t>(w.size())});
    bytes.insert(bytes.end(), w.data(), w.data() + w.size());
    n_details += is_detail(id);
  }

  zavo_book* book = zavo_book_new(ZAVO_BOOK_NO_SEQ_CHECK);
  Public rec;
  ZAVO_MSG m{0, 0, 100000000, 1, 0, &rec};
  size_t warm = recs.size() / 4;
  for (size_t i = 0; i < warm; ++i) {
    if (decode(recs[i], bytes.data(), &rec, &m)) zavo_book_apply(book, &m);
  }

  // Cost of the timer itself, taken off every sample.
  std::vector<uint64_t> empty(20000);
  for (auto& e : empty) {
    uint64_t a = ticks();
    e = ticks() - a;
  }
  uint64_t overhead = quantile(empty, 0.5);

  std::vector<double> floor_t, apply_t, snap_t;
  floor_t.reserve(recs.size());
  apply_t.reserve(recs.size());
  snap_t.reserve(recs.size());
  int64_t ns0 = mono_ns();
  uint64_t t_begin = ticks();
  uint64_t allocs0 = AllocationCount();
  for (size_t i = warm; i < recs.size(); ++i) {
    uint64_t t0 = ticks();
    bool ok = decode(recs[i], bytes.data(), &rec, &m);
    uint64_t t1 = ticks();
    int rc = ok ? zavo_book_apply(book, &m) : -1;
    uint64_t t2 = ticks();
    keep(rc);
    uint64_t d = t1 - t0 > overhead ? t1 - t0 - overhead : 0;
    uint64_t a = t2 - t1 > overhead ? t2 - t1 - overhead : 0;
    if (is_detail(recs[i].id)) {
      floor_t.push_back(static_cast<double>(d));
      apply_t.push_back(static_cast<double>(a));
    } else {
      snap_t.push_back(static_cast<double>(a));
    }
  }
  uint64_t allocs = AllocationCount() - allocs0;
  double ns_per_tick =
      static_cast<double>(mono_ns() - ns0) / static_cast<double>(ticks() - t_begin);

  // The same again without a timer around each record: a second book over
  // the whole stream, decoded beforehand, timed as one block, against a
  // block of decoding alone.
  // Records packed at their own sizes, so the block reads about as many
  // bytes as the floor's wire records.
  std::vector<ZAVO_MSG> msgs(recs.size());
  std::vector<uint64_t> arena;
  std::vector<size_t> at(recs.size());
  for (size_t i = 0; i < recs.size(); ++i) {
    msgs[i] = ZAVO_MSG{0, 0, 100000000, 1, 0, nullptr};
    decode(recs[i], bytes.data(), &rec, &msgs[i]);
    at[i] = arena.size();
    arena.resize(arena.size() + (msgs[i].MsgSize + 7) / 8);
    std::memcpy(&arena[at[i]], &rec, msgs[i].MsgSize);
  }
  for (size_t i = 0; i < recs.size(); ++i) msgs[i].MsgData = &arena[at[i]];
  zavo_book* book2 = zavo_book_new(ZAVO_BOOK_NO_SEQ_CHECK);
  for (size_t i = 0; i < warm; ++i) keep(zavo_book_apply(book2, &msgs[i]));
  int64_t b0 = mono_ns();
  for (size_t i = warm; i < recs.size(); ++i) keep(zavo_book_apply(book2, &msgs[i]));
  int64_t b1 = mono_ns();
  for (size_t i = warm; i < recs.size(); ++i) keep(decode(recs[i], bytes.data(), &rec, &m));
  int64_t b2 = mono_ns();
  zavo_book_free(book2);
  double block_n = static_cast<double>(recs.size() - warm);
  double block_apply = static_cast<double>(b1 - b0) / block_n;
  double block_floor = static_cast<double>(b2 - b1) / block_n;
  double mean_apply = 0;
  for (double v : apply_t) mean_apply += v;
  mean_apply = apply_t.empty() ? 0 : mean_apply / static_cast<double>(apply_t.size());

  zavo_book_totals_info t;
  zavo_book_totals(book, &t);
  size_t measured = apply_t.size();
  double f50 = quantile(floor_t, 0.5) * ns_per_tick, f99 = quantile(floor_t, 0.99) * ns_per_tick;
  double a50 = quantile(apply_t, 0.5) * ns_per_tick, a99 = quantile(apply_t, 0.99) * ns_per_tick;
  double s50 = quantile(snap_t, 0.5) * ns_per_tick, s99 = quantile(snap_t, 0.99) * ns_per_tick;
  std::printf("book update per detail, %zu details measured after %zu records of warm-up\n",
              measured, warm);
  std::printf("  timer overhead taken off each sample: %.1f ns\n",
              static_cast<double>(overhead) * ns_per_tick);
  std::printf("  %-34s %8s %8s\n", "", "p50 ns", "p99 ns");
  std::printf("  %-34s %8.1f %8.1f\n", "floor: decode + convert", f50, f99);
  std::printf("  %-34s %8.1f %8.1f\n", "zavo_book_apply (detail)", a50, a99);
  std::printf("  %-34s %8.1f %8.1f\n", "zavo_book_apply (snapshot check)", s50, s99);
  std::printf("  ratio apply/floor: p50 %.2fx, p99 %.2fx\n", ratio(a50, f50), ratio(a99, f99));
  std::printf("  mean of the detail samples: %.1f ns\n", mean_apply * ns_per_tick);
  std::printf(
      "  untimed block of the same %zu records (details and snapshots): apply %.1f ns,"
      " floor %.1f ns a record (%.2fx)\n",
      recs.size() - warm, block_apply, block_floor, ratio(block_apply, block_floor));
  std::printf("  allocations while measured: %llu (%.4f per record)\n",
              static_cast<unsigned long long>(allocs),
              static_cast<double>(allocs) / static_cast<double>(recs.size() - warm));
  std::printf("  snapshots compared %llu, agreed %llu; resting orders at the end %llu\n",
              static_cast<unsigned long long>(t.snapshots),
              static_cast<unsigned long long>(t.agreements),
              static_cast<unsigned long long>(t.resting_orders));
  bool ok = t.agreements == t.snapshots && t.disagreements == 0;
  zavo_book_free(book);
  if (!ok) {
    std::printf("FAILED: the book disagreed with the simulator's snapshots\n");
    return 1;
  }
  // The stream is the same in every run, so this is no matter of timing:
  // an allocation in the measured stretch is a fault of the update path.
  if (allocs != 0) {
    std::printf("FAIL: the book allocates while it applies records\n");
    return 1;
  }
  return 0;
}
