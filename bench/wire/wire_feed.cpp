#include "wire_feed.h"

#include <sys/prctl.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "net/udp_multicast_sender.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"
#include "util/helpers.h"

namespace zavo {
namespace bench {

WireRecorder g_wire_rec;

namespace {

// Offsets in the datagram: packet header, field header, then the record.
constexpr size_t kRecord = StructPacket::kHeaderSize + StructPacket::kFieldHeaderSize;
constexpr size_t kOffTurnover = kRecord + 525;
constexpr size_t kOffNumber = kRecord + 533;
constexpr size_t kOffStampSec = kRecord + 541;
constexpr size_t kOffStampNsec = kRecord + 549;

std::vector<char> make_packet() {
  SecuritySnapShotField f;
  f.Code.Set("600000");
  f.ExchangeID = 1;
  f.TimeStamp = 20240102093000000UL;
  f.Status = 2;
  f.PreClosePx = 102300;
  f.OpenPx = 102500;
  f.HighPx = 103800;
  f.LowPx = 101900;
  f.MatchPx = 103100;
  for (unsigned i = 0; i < 10; ++i) {
    f.AskPrice[i] = 103200 + 100 * i;
    f.AskVol[i] = 1000 + 300 * i;
    f.BidPrice[i] = 103100 - 100 * i;
    f.BidVol[i] = 1200 + 200 * i;
  }
  f.NumTrades = 15321;
  f.TotalVolumeTrade = 48213900;
  f.TotalValueTrade = 4967738100;
  StructPacket p = StructPacket::ForRecord<SecuritySnapShotField>();
  p.AddField(f);
  p.PacketTime = 20240102093000000UL;
  p.Serialize();
  const Slice bytes = p.Bytes();
  std::vector<char> out(bytes.data, bytes.data + bytes.size);
  // The offsets above must name the members they claim to.
  StoreBigEndian<long>(&out[kOffTurnover], 11);
  StoreBigEndian<long>(&out[kOffNumber], 22);
  StoreBigEndian<long>(&out[kOffStampSec], 33);
  StoreBigEndian<long>(&out[kOffStampNsec], 44);
  SecuritySnapShotField check;
  if (out.size() != kRecord + SecuritySnapShotField::Size() ||
      !check.Decode(&out[kRecord], SecuritySnapShotField::Size()) || check.AfterTurnover != 11 ||
      check.AfterMatchItems != 22 || check.DelayTrackSec != 33 || check.DelayTrackNsec != 44) {
    std::fprintf(stderr, "datagram layout is not what the benchmark expects\n");
    std::exit(1);
  }
  return out;
}

}  // namespace

void record_wire_datagram(const char* p, size_t n) {
  if (n < kOffStampNsec + 8 || LoadBigEndian<unsigned short>(p) != StructPacket::kMagic) return;
  const int64_t sec = LoadBigEndian<long>(p + kOffStampSec);
  const int64_t nsec = LoadBigEndian<long>(p + kOffStampNsec);
  g_wire_rec.add(LoadBigEndian<long>(p + kOffNumber), sec * 1000000000 + nsec);
}

// Sleeps to each send time (timer slack 1 ns) and sends late ones at once,
// so the average rate holds even when a wake-up comes late, as long as one
// send costs less than the interval. Whether it did is in the result: the
// span of the measured sends gives the rate actually sent.
PublishResult publish_wire(int port, unsigned rate, double seconds) {
  PublishResult r;
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  UdpMulticastSender2 sender;
  if (sender.Open(kWireGroup, static_cast<unsigned>(port), "127.0.0.1") != 0) {
    std::fprintf(stderr, "publisher: cannot open the sender\n");
    return r;
  }
  std::vector<char> packet = make_packet();
  const uint64_t total = kWireWarmup + static_cast<uint64_t>(rate * seconds);
  const int64_t interval = 1000000000 / static_cast<int64_t>(rate);
  const int64_t cpu0 = thread_cpu_ns();
  const int64_t wall0 = mono_ns();
  const int64_t start = wall0 + 1000000;
  int64_t first_send = 0;
  int64_t last_send = 0;
  for (uint64_t i = 0; i < total; ++i) {
    const int64_t due = start + static_cast<int64_t>(i) * interval;
    if (mono_ns() < due) {
      timespec ts{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    StoreBigEndian<long>(&packet[kOffNumber], static_cast<long>(i));
    StoreBigEndian<long>(&packet[kOffStampSec], now.tv_sec);
    StoreBigEndian<long>(&packet[kOffStampNsec], now.tv_nsec);
    StoreBigEndian<long>(&packet[kOffTurnover],
                         static_cast<long>(now.tv_sec) * 1000000000 + now.tv_nsec);
    const bool ok = sender.Write(Slice(packet.data(), packet.size()));
    if (i < kWireWarmup) continue;
    const int64_t sent_at = mono_ns();
    if (i == kWireWarmup) first_send = sent_at;
    last_send = sent_at;
    if (ok) {
      ++r.sent;
    } else {
      ++r.failed;
    }
  }
  r.cpu_ns = thread_cpu_ns() - cpu0;
  r.span_ns = last_send - first_send;
  r.wall_ns = mono_ns() - wall0;
  return r;
}

}  // namespace bench
}  // namespace zavo
