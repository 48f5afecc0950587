// Raw mode in process: the raw decoder's step per datagram (find the
// packet, read its header, check the fragment against its channel, append
// the payload, and for a completed message call an empty data handler
// through a sink as the session's does), in nanoseconds per fragment,
// against a floor of copying the same payload bytes once with memcpy into
// a reassembly buffer, measured in the same run. One copy per fragment is
// what reassembly needs at least; a message of one fragment needs none.
//
// Shapes: messages of one fragment (small and near a full datagram), and
// messages cut into 4 and 40 fragments of 1,380 bytes, both exchanges
// interleaved. Rounds alternate the floor and the step; medians and the
// 90th percentile over the rounds are printed. An allocation counter (a
// replaced operator new) proves the step allocates nothing per fragment
// once warm: the program exits with 1 when it does.
//
// usage: bench_raw [--quick] [--rounds N]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/api_imp.h"
#include "api/raw_decoder.h"
#include "api/record_sink.h"
#include "proto/raw_packet.h"
#include "support/alloc_counter.h"
#include "support/bench_stats.h"

namespace {

using namespace zavo;
using namespace zavo::bench;

volatile uint64_t g_delivered = 0;
void on_data(void*, const ZAVO_MSG* msg) {
  const ZAVO_RawDataRef* ref = static_cast<const ZAVO_RawDataRef*>(msg->MsgData);
  g_delivered = g_delivered + ref->Length;
}

// Records to the handler as a session's sink hands them on.
class HandlerSink final : public RecordSink {
 public:
  void OnRecord(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq,
                const void* record) override {
    CallHandler(this, on_data, 0, kind, size, msg_time, seq, record, [] {});
  }
};

struct Shape {
  const char* name;
  size_t message_bytes;
  size_t fragment_bytes;
};
const Shape kShapes[] = {
    {"1 fragment, 200 B", 200, 1380},
    {"1 fragment, 1380 B", 1380, 1380},
    {"4 fragments", 4 * 1380, 1380},
    {"40 fragments", 40 * 1380, 1380},
};

struct Corpus {
  std::vector<std::string> datagrams;
  std::vector<std::pair<size_t, size_t>> payloads;  // offset and length in each datagram
  size_t payload_bytes = 0;
  size_t messages = 0;
};

constexpr size_t kFragmentsPerCorpus = 4096;

// Messages of `shape`, numbered from `*seq` on, alternating the exchanges.
Corpus build_corpus(const Shape& shape, uint64_t* seq) {
  Corpus c;
  std::string payload(shape.message_bytes, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
  while (c.datagrams.size() < kFragmentsPerCorpus) {
    const uint64_t s = ++*seq;
    const uint8_t exchange = (s % 2 == 0) ? 1 : 2;
    size_t at = 0;
    for (uint16_t f = 0; at < payload.size(); ++f) {
      const size_t n = std::min(shape.fragment_bytes, payload.size() - at);
      RawDataPacket p;
      p.SendTime = 93000000;
      p.ExchangeID = exchange;
      p.Sequence = s;
      p.FragmentNo = f;
      p.MoreFragments = at + n < payload.size() ? 1 : 0;
      if (!p.Build(payload.data() + at, n)) std::abort();
      const Slice b = p.Bytes();
      c.datagrams.emplace_back(b.data, b.size);
      c.payloads.emplace_back(RawDataPacket::kHeaderSize, n);
      c.payload_bytes += n;
      at += n;
    }
    ++c.messages;
  }
  return c;
}

// Nanoseconds per fragment of copying every payload once, appending as a
// reassembly does (the buffer starts again with each message's first
// fragment, which the floor does not know: it wraps at the buffer's end).
double run_floor(const Corpus& c, int passes) {
  static char buffer[64 * 1024];
  const int64_t t0 = mono_ns();
  for (int p = 0; p < passes; ++p) {
    size_t at = 0;
    for (size_t i = 0; i < c.datagrams.size(); ++i) {
      const size_t n = c.payloads[i].second;
      if (at + n > sizeof(buffer)) at = 0;
      std::memcpy(buffer + at, c.datagrams[i].data() + c.payloads[i].first, n);
      at += n;
      clobber();
    }
  }
  const int64_t t1 = mono_ns();
  return static_cast<double>(t1 - t0) / (static_cast<double>(passes) * c.datagrams.size());
}

// Nanoseconds per fragment of the decoder's step. The sequence numbers of
// a pass are below the last delivered after the first pass, so each pass
// runs a decoder of its own, made before the clock starts.
double run_step(const Corpus& c, int passes, std::vector<RawDecoder*>& decoders,
                uint64_t* allocations) {
  HandlerSink sink;
  const uint64_t a0 = AllocationCount();
  const int64_t t0 = mono_ns();
  for (int p = 0; p < passes; ++p) {
    RawDecoder* d = decoders[static_cast<size_t>(p)];
    for (const std::string& g : c.datagrams) d->ProcessDatagram(g.data(), g.size(), sink);
  }
  const int64_t t1 = mono_ns();
  *allocations += AllocationCount() - a0;
  return static_cast<double>(t1 - t0) / (static_cast<double>(passes) * c.datagrams.size());
}

// Decoders for one round, each warmed on another corpus of the same shape
// (so their channel buffers have grown) and ready for higher sequences.
std::vector<RawDecoder*> make_decoders(const Corpus& warm, int passes) {
  std::vector<RawDecoder*> out;
  HandlerSink sink;
  for (int p = 0; p < passes; ++p) {
    RawDecoder* d = new RawDecoder(nullptr, "bench_raw");
    if (!d->EnableMarkets("SH;SZ")) std::abort();
    for (const std::string& g : warm.datagrams) d->ProcessDatagram(g.data(), g.size(), sink);
    out.push_back(d);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 21;
  int passes = 8;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      rounds = 5;
      passes = 4;
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
      if (rounds < 1 || rounds > 1000) rounds = 21;
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--rounds N]\n", argv[0]);
      return 2;
    }
  }
  std::printf("raw reassembly: %d rounds x %d passes per shape, %zu fragments a pass\n", rounds,
              passes, kFragmentsPerCorpus);
  std::printf("%-20s %9s %9s %9s %9s %9s %11s\n", "shape", "bytes/fr", "floor p50", "step p50",
              "step p90", "ratio p50", "allocs/fr");
  bool allocates = false;
  for (const Shape& shape : kShapes) {
    uint64_t seq = 0;
    const Corpus warm = build_corpus(shape, &seq);
    const Corpus c = build_corpus(shape, &seq);
    std::vector<double> floor_ns, step_ns, ratios;
    uint64_t allocations = 0;
    uint64_t fragments = 0;
    for (int r = 0; r < rounds; ++r) {
      std::vector<RawDecoder*> decoders = make_decoders(warm, passes);
      const double f = run_floor(c, passes);
      const double s = run_step(c, passes, decoders, &allocations);
      for (RawDecoder* d : decoders) {
        if (d->messages() != warm.messages + c.messages) {
          std::printf("FAIL: %s: %llu messages delivered, %zu expected\n", shape.name,
                      static_cast<unsigned long long>(d->messages()), warm.messages + c.messages);
          return 1;
        }
        delete d;
      }
      fragments += c.datagrams.size() * static_cast<uint64_t>(passes);
      floor_ns.push_back(f);
      step_ns.push_back(s);
      ratios.push_back(ratio(s, f));
    }
    const double per_fragment = static_cast<double>(allocations) / static_cast<double>(fragments);
    std::vector<double> step_copy = step_ns;
    std::printf("%-20s %9zu %9.1f %9.1f %9.1f %8.2fx %11.4f\n", shape.name,
                c.payload_bytes / c.datagrams.size(), quantile(floor_ns, 0.5),
                quantile(step_copy, 0.5), quantile(step_ns, 0.9), quantile(ratios, 0.5),
                per_fragment);
    allocates = allocates || allocations != 0;
  }
  if (allocates) {
    std::printf("FAIL: raw reassembly allocates per fragment\n");
    return 1;
  }
  return 0;
}
