// One producer, one consumer: items per second and hand-off latency of the
// library's two pipes, the general MpmcPipe and the single-producer SpscPipe
// that the struct session hands its datagrams over with, each as a ratio
// against a plain mutex-and-linked-list pipe (the floor) measured in the
// same run. Rounds rotate the order of the three so that machine noise hits
// them alike; medians over the rounds are reported.
//
// usage: bench_pipe [--quick] [--rounds N] [--items N] [--latency-items N]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "net/data_pipe.h"
#include "net/spsc_pipe.h"

namespace {

// The floor: one mutex around a doubly linked list, one node per item.
class ListPipe : public zavo::MpmcPipe {
 public:
  bool Enqueue(void* item) override {
    std::lock_guard<std::mutex> guard(mutex_);
    items_.push_back(item);
    ++count_;
    return true;
  }
  bool Dequeue(void** item) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (items_.empty()) return false;
    *item = items_.front();
    items_.pop_front();
    --count_;
    return true;
  }
  uint64_t ApproxSize() const override { return count_; }
  bool Empty() const override { return count_ == 0; }
  void WaitForItem() override {}
  void Close() override {}
  bool IsClosed() const override { return false; }

 private:
  std::mutex mutex_;
  std::list<void*> items_;
  uint64_t count_ = 0;
};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Items per second, the consumer polling without pause.
template <class Pipe>
double run_throughput(Pipe* pipe, uint64_t items) {
  const int64_t start = now_ns();
  std::thread consumer([pipe, items] {
    uint64_t expected = 1;
    while (expected <= items) {
      void* item;
      if (pipe->Dequeue(&item)) {
        if (reinterpret_cast<uintptr_t>(item) != expected) {
          std::fprintf(stderr, "order broken: got %zu, expected %zu\n",
                       static_cast<size_t>(reinterpret_cast<uintptr_t>(item)),
                       static_cast<size_t>(expected));
          std::abort();
        }
        ++expected;
      }
    }
  });
  for (uint64_t i = 1; i <= items; ++i) pipe->Enqueue(reinterpret_cast<void*>(i));
  consumer.join();
  const int64_t elapsed = now_ns() - start;
  return static_cast<double>(items) * 1e9 / static_cast<double>(elapsed);
}

struct Latency {
  double p50 = 0, p99 = 0;
};

// Hand-off latency of one item into an empty pipe: the producer stamps the
// item with the time, the consumer takes the difference; the producer sends
// the next item only after the previous one has been taken.
template <class Pipe>
Latency run_latency(Pipe* pipe, uint64_t items) {
  std::vector<int64_t> samples;
  samples.reserve(items);
  std::atomic<uint64_t> taken{0};
  std::thread consumer([&] {
    for (uint64_t n = 0; n < items;) {
      void* item;
      if (pipe->Dequeue(&item)) {
        samples.push_back(now_ns() - static_cast<int64_t>(reinterpret_cast<intptr_t>(item)));
        taken.store(++n, std::memory_order_release);
      }
    }
  });
  for (uint64_t i = 0; i < items; ++i) {
    // Bounded by the consumer, which takes every item.
    while (taken.load(std::memory_order_acquire) != i) {
    }
    pipe->Enqueue(reinterpret_cast<void*>(static_cast<intptr_t>(now_ns())));
  }
  consumer.join();
  std::sort(samples.begin(), samples.end());
  Latency l;
  l.p50 = static_cast<double>(samples[samples.size() / 2]);
  l.p99 = static_cast<double>(samples[samples.size() * 99 / 100]);
  return l;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void usage(std::FILE* out, const char* prog) {
  std::fprintf(out,
               "usage: %s [--quick] [--rounds N] [--items N] [--latency-items N]\n"
               "  --quick            a short smoke run (3 rounds, fewer items)\n"
               "  --rounds N         rounds, each timing both pipes (default 7)\n"
               "  --items N          items per throughput run (default 2000000)\n"
               "  --latency-items N  items per latency run (default 100000)\n",
               prog);
}

// A whole number from 1 to max, or 0 when the text is not one.
uint64_t count_arg(const char* text, uint64_t max) {
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (text[0] < '0' || text[0] > '9' || *end != '\0' || v == 0 || v > max) return 0;
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 7;
  uint64_t tp_items = 2000000;
  uint64_t lat_items = 100000;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    uint64_t v = 0;
    if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
      usage(stdout, argv[0]);
      return 0;
    } else if (std::strcmp(a, "--quick") == 0) {
      rounds = 3;
      tp_items = 200000;
      lat_items = 10000;
    } else if (std::strcmp(a, "--rounds") == 0 && (v = count_arg(value, 1000)) != 0) {
      rounds = static_cast<int>(v);
      ++i;
    } else if (std::strcmp(a, "--items") == 0 && (v = count_arg(value, 1000000000)) != 0) {
      tp_items = v;
      ++i;
    } else if (std::strcmp(a, "--latency-items") == 0 && (v = count_arg(value, 100000000)) != 0) {
      lat_items = v;
      ++i;
    } else {
      std::fprintf(stderr, "bench_pipe: bad argument '%s'\n", a);
      usage(stderr, argv[0]);
      return 2;
    }
  }

  // 0: MpmcPipe, 1: SpscPipe, 2: the floor.
  static const char* const kNames[] = {"MpmcPipe", "SpscPipe", "floor"};
  std::vector<double> tp[3], p50[3], p99[3], tp_ratio[2], p50_ratio[2], p99_ratio[2];
  for (int r = 0; r < rounds; ++r) {
    double t[3] = {0, 0, 0};
    Latency l[3];
    for (int k = 0; k < 3; ++k) {
      const int which = (k + r) % 3;  // rotate the order
      if (which == 0) {
        zavo::MpmcPipe* pipe = zavo::MpmcPipe::Create();
        t[which] = run_throughput(pipe, tp_items);
        l[which] = run_latency(pipe, lat_items);
        delete pipe;
      } else if (which == 1) {
        zavo::SpscPipe* pipe = new zavo::SpscPipe();
        t[which] = run_throughput(pipe, tp_items);
        l[which] = run_latency(pipe, lat_items);
        delete pipe;
      } else {
        ListPipe* pipe = new ListPipe();
        t[which] = run_throughput(pipe, tp_items);
        l[which] = run_latency(pipe, lat_items);
        delete pipe;
      }
    }
    std::printf("round %d:", r + 1);
    for (int i = 0; i < 3; ++i) {
      std::printf(" | %s %.3g/s p50 %.0f p99 %.0f ns", kNames[i], t[i], l[i].p50, l[i].p99);
      tp[i].push_back(t[i]);
      p50[i].push_back(l[i].p50);
      p99[i].push_back(l[i].p99);
    }
    std::printf("\n");
    for (int i = 0; i < 2; ++i) {
      tp_ratio[i].push_back(t[i] / t[2]);
      p50_ratio[i].push_back(l[i].p50 / l[2].p50);
      p99_ratio[i].push_back(l[i].p99 / l[2].p99);
    }
  }
  std::printf("medians over %d rounds (1 producer, 1 consumer; floor = mutex + linked list):\n",
              rounds);
  for (int i = 0; i < 2; ++i) {
    std::printf(
        "%s: throughput %.3g items/s (floor %.3g), ratio %.2f (higher is better); hand-off "
        "p50 %.0f ns (floor %.0f), ratio %.2f; p99 %.0f ns (floor %.0f), ratio %.2f (lower is "
        "better)\n",
        kNames[i], median(tp[i]), median(tp[2]), median(tp_ratio[i]), median(p50[i]),
        median(p50[2]), median(p50_ratio[i]), median(p99[i]), median(p99[2]), median(p99_ratio[i]));
  }
  return 0;
}
