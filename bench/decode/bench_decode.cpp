// Decode path, in process: the struct decoder's step for each record kind
// (parse the datagram, decode each field, convert it, test the kind's flag
// and the subscription filter, call an empty data handler through a sink
// as the session's does, keep snapshots in the cache), in nanoseconds per
// field, against a floor of
// copying the same field bytes with memcpy, measured in the same run.
//
// The step includes what a datagram costs once (the parse, one reading of the
// wall clock for the LocalDelay of its snapshots), spread over its fields.
//
// The datagrams come from the simulator's market model: as many fields of one
// kind as fit in 1400 bytes, many different codes. Rounds alternate the floor
// and the processing step so that machine noise hits both alike; the medians
// and the 90th percentile over the rounds are printed. An allocation counter
// (a replaced operator new) proves the step allocates nothing per field:
// the program exits with 1 when it does.
//
// usage: bench_decode [--quick] [--rounds N]
//        bench_decode --profile K [--passes P]
//
// --profile runs kind K (0..6, in the order of the table) through the
// processing step and the floor P times each, untimed, in two functions of
// their own (profile_process, profile_floor), so that an instruction
// counter can divide their inclusive counts by the fields printed. See
// bench/decode/callgrind.sh.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/api_imp.h"
#include "api/record_sink.h"
#include "api/struct_decoder.h"
#include "sim_market.h"
#include "sim_wire.h"
#include "support/alloc_counter.h"
#include "support/bench_stats.h"

namespace {

using namespace zavo;
using namespace zavo::bench;

struct Kind {
  uint16_t id;
  const char* name;
};
const Kind kKinds[] = {
    {sim::kFidSecuritySnapShot, "security snapshot"}, {sim::kFidIndexSnapShot, "index snapshot"},
    {sim::kFidFutureSnapShot, "future snapshot"},     {sim::kFidOrderQueue, "order queue"},
    {sim::kFidOrderDetail, "order detail"},           {sim::kFidTradeDetail, "trade detail"},
    {sim::kFidSHOrderDetail, "SH order detail"},
};

// One kind's datagrams and where each field's bytes sit in them.
struct Corpus {
  std::vector<std::vector<char>> datagrams;
  std::vector<std::pair<const char*, size_t>> fields;  // header + record
  size_t field_bytes = 0;
};

volatile uint64_t g_delivered = 0;
void on_data(void*, const ZAVO_MSG* msg) {
  g_delivered = g_delivered + msg->MsgType;
}

// Records to the handler as a session's sink hands them on.
class HandlerSink final : public RecordSink {
 public:
  void OnRecord(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq,
                const void* record) override {
    CallHandler(this, on_data, 0, kind, size, msg_time, seq, record, [] {});
  }
};

// The processing step of one datagram: one clock reading, as the session
// takes, then the decoder.
inline void process(StructDecoder* decoder, RecordSink& sink, const std::vector<char>& d) {
  timespec taken_at;
  clock_gettime(CLOCK_REALTIME, &taken_at);
  decoder->ProcessDatagram(d.data(), d.size(), taken_at, sink);
}

constexpr size_t kMaxDatagram = 1400;
// The step may cost at most this many times the copy of its bytes.
constexpr double kTargetRatio = 4.0;
constexpr size_t kDatagramsPerKind = 256;

std::vector<Corpus> build_corpora() {
  sim::SimConfig cfg;
  cfg.sh_securities = 200;
  cfg.sz_securities = 200;
  cfg.indices = 20;
  cfg.futures = 10;
  sim::MarketModel model(cfg);
  const uint64_t stamp = 20240102093000000ULL;
  std::vector<Corpus> out(sizeof(kKinds) / sizeof(kKinds[0]));
  std::vector<sim::PacketBuilder> open(out.size());
  std::vector<bool> started(out.size(), false);
  sim::WireWriter rec, field;
  uint64_t seq = 0;
  // Draw from the model until every kind has its datagrams.
  for (int guard = 0; guard < 10000000; ++guard) {
    bool done = true;
    for (const Corpus& c : out) done = done && c.datagrams.size() >= kDatagramsPerKind;
    if (done) break;
    rec.Reset();
    const uint16_t id = model.Next(stamp, &rec);
    size_t k = 0;
    while (k < out.size() && kKinds[k].id != id) ++k;
    if (k == out.size() || out[k].datagrams.size() >= kDatagramsPerKind) continue;
    field.Reset();
    field.U16(id);
    field.U16(static_cast<uint16_t>(rec.size()));
    field.U64(++seq);
    field.Bytes(rec.data(), rec.size());
    sim::PacketBuilder& b = open[k];
    if (started[k] && b.size() + field.size() > kMaxDatagram) {
      const char* p = b.Finish();
      out[k].datagrams.emplace_back(p, p + b.size());
      started[k] = false;
    }
    if (!started[k]) {
      b.Begin(0, stamp);
      started[k] = true;
    }
    b.AppendField(field.data(), field.size());
  }
  for (Corpus& c : out) {
    for (const std::vector<char>& d : c.datagrams) {
      StructPacket::Iterator it(d.data() + StructPacket::kHeaderSize,
                                static_cast<unsigned>(d.size() - StructPacket::kHeaderSize));
      for (; it.Valid(); it.Next()) {
        const char* start = it.Data() - StructPacket::kFieldHeaderSize;
        const size_t len = StructPacket::kFieldHeaderSize + it.FieldLength;
        c.fields.emplace_back(start, len);
        c.field_bytes += len;
      }
    }
  }
  return out;
}

// Nanoseconds per field of copying every field's bytes once.
double run_floor(const Corpus& c, int passes) {
  static char sink[4096];
  const int64_t t0 = mono_ns();
  for (int p = 0; p < passes; ++p) {
    for (const auto& f : c.fields) {
      std::memcpy(sink, f.first, f.second);
      clobber();
    }
  }
  const int64_t t1 = mono_ns();
  return static_cast<double>(t1 - t0) / (static_cast<double>(passes) * c.fields.size());
}

// Nanoseconds per field of the processing step over every datagram.
double run_process(StructDecoder* decoder, RecordSink& sink, const Corpus& c, int passes,
                   uint64_t* allocations) {
  const uint64_t a0 = AllocationCount();
  const int64_t t0 = mono_ns();
  for (int p = 0; p < passes; ++p) {
    for (const std::vector<char>& d : c.datagrams) process(decoder, sink, d);
  }
  const int64_t t1 = mono_ns();
  *allocations += AllocationCount() - a0;
  return static_cast<double>(t1 - t0) / (static_cast<double>(passes) * c.fields.size());
}

// Untimed passes for an instruction profiler; kept out of line so their
// inclusive counts can be read from the profile.
__attribute__((noinline)) void profile_floor(const Corpus& c, int passes) {
  static char sink[4096];
  for (int p = 0; p < passes; ++p) {
    for (const auto& f : c.fields) {
      std::memcpy(sink, f.first, f.second);
      clobber();
    }
  }
}

__attribute__((noinline)) void profile_process(StructDecoder* decoder, RecordSink& sink,
                                               const Corpus& c, int passes) {
  for (int p = 0; p < passes; ++p) {
    for (const std::vector<char>& d : c.datagrams) process(decoder, sink, d);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 31;
  int passes = 40;
  int profile_kind = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      rounds = 7;
      passes = 10;
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
      if (rounds < 1 || rounds > 1000) rounds = 31;
    } else if (std::strcmp(argv[i], "--profile") == 0 && i + 1 < argc) {
      profile_kind = std::atoi(argv[++i]);
      passes = 4;
    } else if (std::strcmp(argv[i], "--passes") == 0 && i + 1 < argc) {
      passes = std::atoi(argv[++i]);
      if (passes < 1 || passes > 10000) passes = 4;
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--rounds N] | --profile K [--passes P]\n",
                   argv[0]);
      return 2;
    }
  }

  const std::vector<Corpus> corpora = build_corpora();
  StructDecoder* decoder = new StructDecoder(nullptr, "bench_decode");
  HandlerSink sink;
  decoder->SetFlags(ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_DETAIL | ZAVO_FLAG_ORDER_QUEUE);
  if (!decoder->subscription().SetMarketSubscription("") ||
      !decoder->subscription().SetCodeSubscription("")) {
    std::fprintf(stderr, "cannot set up the data path\n");
    return 1;
  }

  if (profile_kind >= 0) {
    if (profile_kind >= static_cast<int>(corpora.size())) {
      std::fprintf(stderr, "kind %d out of range\n", profile_kind);
      return 2;
    }
    const Corpus& c = corpora[static_cast<size_t>(profile_kind)];
    uint64_t warm_allocs = 0;
    run_process(decoder, sink, c, 2, &warm_allocs);
    profile_floor(c, passes);
    profile_process(decoder, sink, c, passes);
    std::printf("profile kind=%d name=\"%s\" fields=%zu passes=%d bytes=%zu\n", profile_kind,
                kKinds[profile_kind].name, c.fields.size(), passes, c.field_bytes);
    delete decoder;
    return 0;
  }

  std::printf("decode path: %d rounds x %d passes per kind, datagrams of at most %zu bytes\n",
              rounds, passes, kMaxDatagram);
  std::printf("%-18s %6s %6s %9s %9s %9s %9s %11s\n", "kind", "fields", "bytes", "floor p50",
              "step p50", "step p90", "ratio p50", "allocs/fld");
  struct Line {
    const char* name;
    double ratio;
    double allocs;
  };
  std::vector<Line> lines;
  for (size_t k = 0; k < corpora.size(); ++k) {
    const Corpus& c = corpora[k];
    if (c.fields.empty()) continue;
    // Warm-up: fills the snapshot cache and the caches of the machine.
    uint64_t warm_allocs = 0;
    run_process(decoder, sink, c, 2, &warm_allocs);
    std::vector<double> floor_ns, step_ns, ratios;
    uint64_t allocations = 0;
    for (int r = 0; r < rounds; ++r) {
      const double f = run_floor(c, passes);
      const double s = run_process(decoder, sink, c, passes, &allocations);
      floor_ns.push_back(f);
      step_ns.push_back(s);
      ratios.push_back(ratio(s, f));
    }
    const double fields = static_cast<double>(c.fields.size()) * passes * rounds;
    const double per_field = static_cast<double>(allocations) / fields;
    std::vector<double> step_copy = step_ns;
    std::printf("%-18s %6zu %6zu %9.1f %9.1f %9.1f %9.2f %11.4f\n", kKinds[k].name, c.fields.size(),
                c.field_bytes / c.fields.size(), quantile(floor_ns, 0.5), quantile(step_copy, 0.5),
                quantile(step_ns, 0.9), quantile(ratios, 0.5), per_field);
    lines.push_back({kKinds[k].name, quantile(ratios, 0.5), per_field});
  }
  // The retransmission path: the same records, replayed as parsed packets
  // of the control connection (no cache, the rebuild scratch). Allocation
  // per record is checked; timing is not its point.
  uint64_t rebuild_allocs = 0;
  uint64_t rebuild_fields = 0;
  for (const Corpus& c : corpora) {
    std::vector<StructPacket> packets;
    for (const std::vector<char>& d : c.datagrams) {
      StructPacket p;
      if (p.ParseFrom(d.data(), d.size()).complete) packets.push_back(std::move(p));
    }
    timespec taken_at;
    clock_gettime(CLOCK_REALTIME, &taken_at);
    for (const StructPacket& p : packets) decoder->ProcessRebuildPacket(p, taken_at, sink);
    const uint64_t a0 = AllocationCount();
    for (int pass = 0; pass < passes; ++pass) {
      for (const StructPacket& p : packets) decoder->ProcessRebuildPacket(p, taken_at, sink);
    }
    rebuild_allocs += AllocationCount() - a0;
    rebuild_fields += c.fields.size() * static_cast<uint64_t>(passes);
  }
  delete decoder;

  // Ratios last: step over floor, medians of the per-round ratios.
  std::printf("ratios (processing step / memcpy floor, median of rounds; target <= %.0f):\n",
              kTargetRatio);
  bool within = true;
  bool allocates = false;
  const Line* worst = nullptr;
  for (const Line& l : lines) {
    std::printf("  %-18s %6.2fx  allocations per field %.4f\n", l.name, l.ratio, l.allocs);
    within = within && l.ratio <= kTargetRatio && l.allocs == 0.0;
    allocates = allocates || l.allocs != 0.0;
    if (worst == nullptr || l.ratio > worst->ratio) worst = &l;
  }
  if (worst != nullptr) std::printf("worst kind: %s %.2fx\n", worst->name, worst->ratio);
  std::printf("decode target %s\n", within ? "met" : "missed");
  const double rebuild_per_field =
      rebuild_fields > 0 ? static_cast<double>(rebuild_allocs) / rebuild_fields : 0.0;
  std::printf("retransmission path: %llu fields, allocations per field %.4f\n",
              static_cast<unsigned long long>(rebuild_fields), rebuild_per_field);
  allocates = allocates || rebuild_allocs != 0;
  // Timing is the machine's business; an allocation per record is a fault.
  if (allocates) {
    std::printf("FAIL: the data path allocates per record\n");
    return 1;
  }
  return 0;
}
