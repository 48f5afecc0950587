// Offline decode throughput: the public interface (ZAVO_CaptureOpen with
// every flag, a handler that touches each record) against the floor of the
// same file read and decompressed datagram by datagram without decoding
// (the library's own reader). Rounds alternate floor and decode; medians.
//
//   bench_capture [--rounds N] [--decode-only] FILE
//
// The last line of the output is JSON for scripts (day_run.py).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pcap_reader.h"
#include "zavo_capture.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Touch {
  uint64_t records = 0;
  uint64_t bytes = 0;
};

void on_data(void* ctx, const ZAVO_MSG* m) {
  auto* t = static_cast<Touch*>(ctx);
  ++t->records;
  // One byte of every record read, so the handler is not an empty call.
  t->bytes += m->MsgSize + static_cast<const unsigned char*>(m->MsgData)[0];
}

double floor_round(const std::string& path, uint64_t* datagrams) {
  const Clock::time_point t0 = Clock::now();
  zavo::record::PcapReader r;
  std::string error;
  if (!r.Open(path, &error)) {
    std::fprintf(stderr, "bench_capture: %s\n", error.c_str());
    std::exit(1);
  }
  zavo::record::CapturedDatagram d;
  uint64_t n = 0, sum = 0;
  while (r.Next(&d) == zavo::record::PcapReader::kDatagram) {
    ++n;
    sum += static_cast<unsigned char>(d.data[0]);
  }
  *datagrams = n + (sum == 1 ? 1 : 0);  // keeps the read of each datagram
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double decode_round(const std::string& path, ZAVO_CaptureSummary* sum) {
  const Clock::time_point t0 = Clock::now();
  Touch touch;
  ZAVO_CaptureSetting s;
  std::memset(&s, 0, sizeof s);
  s.SubscribeFlags = ZAVO_FLAG_TRADE_DETAIL | ZAVO_FLAG_ORDER_DETAIL | ZAVO_FLAG_ORDER_QUEUE;
  s.DataHandler = on_data;
  s.Context = &touch;
  char why[512];
  ZAVO_CAPTURE c = ZAVO_CaptureOpen(path.c_str(), &s, why, sizeof why);
  if (c == nullptr) {
    std::fprintf(stderr, "bench_capture: %s\n", why);
    std::exit(1);
  }
  while (ZAVO_CaptureRead(c, 0) > 0) {
  }
  ZAVO_CaptureGetSummary(c, sum);
  ZAVO_CaptureClose(c);
  const double t = std::chrono::duration<double>(Clock::now() - t0).count();
  if (touch.records != sum->Records) std::exit(3);
  return t;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  bool decode_only = false;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--decode-only") {
      decode_only = true;
    } else if (!a.empty() && a[0] != '-' && path.empty()) {
      path = a;
    } else {
      std::fprintf(stderr, "usage: bench_capture [--rounds N] [--decode-only] FILE\n");
      return 2;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "usage: bench_capture [--rounds N] [--decode-only] FILE\n");
    return 2;
  }
  std::vector<double> floor_s, decode_s;
  ZAVO_CaptureSummary sum;
  uint64_t datagrams = 0;
  for (int r = 0; r < rounds; ++r) {
    if (!decode_only) floor_s.push_back(floor_round(path, &datagrams));
    decode_s.push_back(decode_round(path, &sum));
  }
  const double d = median(decode_s);
  const double recs = static_cast<double>(sum.Records);
  std::printf("%s: %llu records in %llu datagrams%s\n", path.c_str(),
              static_cast<unsigned long long>(sum.Records),
              static_cast<unsigned long long>(sum.Datagrams),
              sum.Compressed ? " (compressed)" : "");
  std::printf("decode: median %.3f s of %d rounds, %.2f M records/s\n", d, rounds, recs / d / 1e6);
  if (decode_only) {
    std::printf("{\"records\": %.0f, \"decode_s\": %.6f, \"decode_rps\": %.1f}\n", recs, d,
                recs / d);
    return 0;
  }
  const double f = median(floor_s);
  std::printf("floor (read + decompress, no decode): median %.3f s, %.2f M records/s\n", f,
              recs / f / 1e6);
  std::printf("ratio decode/floor throughput: %.3f\n", f / d);
  std::printf(
      "{\"records\": %.0f, \"decode_s\": %.6f, \"floor_s\": %.6f, \"decode_rps\": %.1f, "
      "\"floor_rps\": %.1f, \"ratio\": %.4f}\n",
      recs, d, f, recs / d, recs / f, f / d);
  return 0;
}
