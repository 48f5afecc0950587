#pragma once
// The feed of the wire benchmark: struct packets of one security snapshot
// each, stamped with the send time, sent at a fixed rate to a multicast
// group; and the recorder that turns what a receiver sees into delays.
//
// The send instant travels in DelayTrackSec/DelayTrackNsec (from which the
// library computes LocalDelay); the public record does not carry those two,
// so the same instant also travels, in nanoseconds, in AfterTurnover, which
// a session's data handler reads. AfterMatchItems carries the datagram's
// number: the first ones warm the path up and are not counted.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/bench_stats.h"

namespace zavo {
namespace bench {

constexpr const char* kWireGroup = "239.255.91.1";
constexpr int kWireWarmup = 200;

// Delays of one receiver run; written by the receiving thread only, read by
// the driver once the run has ended.
struct WireRecorder {
  std::vector<int64_t> delays;  // ns, measured datagrams only
  std::atomic<uint64_t> received{0};
  uint64_t capacity = 0;

  void reset(uint64_t expected) {
    delays.clear();
    delays.reserve(expected);
    capacity = expected;
    received.store(0);
  }
  void add(int64_t number, int64_t stamp_ns) {
    const int64_t now = wall_ns();
    if (number < kWireWarmup) return;
    if (delays.size() < capacity) delays.push_back(now - stamp_ns);
    received.fetch_add(1, std::memory_order_release);
  }
};
extern WireRecorder g_wire_rec;

// Reads the number and the stamp from a datagram as any receiver would.
void record_wire_datagram(const char* p, size_t n);

struct PublishResult {
  uint64_t sent = 0;    // measured datagrams sent (warm-up excluded)
  uint64_t failed = 0;  // sends the socket refused (full send buffer)
  int64_t cpu_ns = 0;   // CPU time of the publishing thread
  int64_t span_ns = 0;  // from the first to the last measured send
  int64_t wall_ns = 0;  // of the whole call, warm-up included, as cpu_ns
};

// Sends kWireWarmup + rate * seconds datagrams at `rate` per second to the
// group on `port`, from the calling thread.
PublishResult publish_wire(int port, unsigned rate, double seconds);

}  // namespace bench
}  // namespace zavo
