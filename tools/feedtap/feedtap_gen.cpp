// feedtap_gen: sends a synthetic level-2 feed to a multicast group, or writes
// it to a file, for trying feedtap and for its tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "feed_builder.h"

namespace {

struct Options {
  std::string group = "239.1.1.1";
  int port = 3000;
  std::string iface = "127.0.0.1";
  long rounds = 1;
  long perDatagram = 1;
  long intervalMs = 0;
  long trailingBytes = 0;
  std::string file;
  std::string pcapOut;
};

// Keeps a datagram, with its headers, inside one 1500-byte Ethernet frame,
// which is what feedtap reads in promiscuous mode.
constexpr size_t kMaxPayload = 1458;

void print_usage(FILE* out) {
  std::fprintf(out,
               "Usage: feedtap_gen [options]\n"
               "Builds rounds of level-2 feed messages (index, stock, bond and fund snapshots,\n"
               "option snapshot, trade, order, then the kinds feedtap skips and one unknown\n"
               "kind) and sends them as UDP datagrams to a multicast group with a time-to-live\n"
               "of 0, so that they never leave this host.\n"
               "\n"
               "  --group ADDR          multicast group (224.0.0.0/4, default 239.1.1.1)\n"
               "  --port N              UDP port (default 3000)\n"
               "  --iface IP            local interface address (default 127.0.0.1)\n"
               "  --rounds N            rounds to send (default 1)\n"
               "  --per-datagram N      messages per datagram (default 1; at most %zu bytes)\n"
               "  --interval-ms N       pause between datagrams (default 0)\n"
               "  --trailing-bytes N    append N stray bytes to the last datagram (default 0)\n"
               "  --file PATH           write the payloads back to back to PATH instead of\n"
               "                        sending them\n"
               "  --pcap-out PATH       write the datagrams as Ethernet frames to a pcap file\n"
               "                        instead of sending them (readable by feedtap --pcap)\n"
               "  --help                this text\n",
               kMaxPayload);
}

bool parse_long(const char* text, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

int parse_args(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      print_usage(stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "feedtap_gen: %s needs a value\n", arg.c_str());
      return 2;
    }
    const char* v = argv[++i];
    long n = 0;
    bool ok = true;
    if (arg == "--group") {
      o->group = v;
    } else if (arg == "--iface") {
      o->iface = v;
    } else if (arg == "--file") {
      o->file = v;
    } else if (arg == "--pcap-out") {
      o->pcapOut = v;
    } else if (arg == "--port") {
      ok = parse_long(v, 1, 65535, &n);
      o->port = static_cast<int>(n);
    } else if (arg == "--rounds") {
      ok = parse_long(v, 1, 100000000, &o->rounds);
    } else if (arg == "--per-datagram") {
      ok = parse_long(v, 1, 1000, &o->perDatagram);
    } else if (arg == "--interval-ms") {
      ok = parse_long(v, 0, 60000, &o->intervalMs);
    } else if (arg == "--trailing-bytes") {
      ok = parse_long(v, 0, 11, &o->trailingBytes);
    } else {
      std::fprintf(stderr, "feedtap_gen: unknown option %s\n", arg.c_str());
      print_usage(stderr);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "feedtap_gen: bad value for %s: %s\n", arg.c_str(), v);
      return 2;
    }
  }
  return -1;
}

bool parse_addresses(const Options& o, struct in_addr* group, struct in_addr* iface) {
  if (inet_pton(AF_INET, o.group.c_str(), group) != 1 || (ntohl(group->s_addr) >> 28) != 0xE) {
    std::fprintf(stderr, "feedtap_gen: %s is not a multicast group address\n", o.group.c_str());
    return false;
  }
  if (inet_pton(AF_INET, o.iface.c_str(), iface) != 1) {
    std::fprintf(stderr, "feedtap_gen: %s is not an IPv4 address\n", o.iface.c_str());
    return false;
  }
  return true;
}

void put16(std::vector<uint8_t>& f, size_t at, uint32_t v) {
  f[at] = static_cast<uint8_t>(v >> 8);
  f[at + 1] = static_cast<uint8_t>(v);
}

// The Ethernet frame a host on the interface would put on the wire for one
// datagram to the group: multicast MAC, IPv4 header with its checksum, UDP
// header without one (optional in IPv4).
std::vector<uint8_t> udp_frame(const std::vector<uint8_t>& payload, struct in_addr src,
                               struct in_addr group, int port, uint16_t id) {
  constexpr size_t kEth = 14, kIp = 20, kUdp = 8;
  std::vector<uint8_t> f(kEth + kIp + kUdp + payload.size(), 0);
  const uint32_t g = ntohl(group.s_addr);
  const uint8_t dstMac[6] = {0x01,
                             0x00,
                             0x5e,
                             static_cast<uint8_t>((g >> 16) & 0x7f),
                             static_cast<uint8_t>(g >> 8),
                             static_cast<uint8_t>(g)};
  const uint8_t srcMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  std::memcpy(&f[0], dstMac, 6);
  std::memcpy(&f[6], srcMac, 6);
  put16(f, 12, 0x0800);
  f[kEth] = 0x45;
  put16(f, kEth + 2, static_cast<uint32_t>(kIp + kUdp + payload.size()));
  put16(f, kEth + 4, id);
  put16(f, kEth + 6, 0x4000);  // don't fragment
  f[kEth + 8] = 1;             // time-to-live
  f[kEth + 9] = 17;
  std::memcpy(&f[kEth + 12], &src.s_addr, 4);
  std::memcpy(&f[kEth + 16], &group.s_addr, 4);
  uint32_t sum = 0;
  for (size_t i = 0; i < kIp; i += 2)
    sum += (static_cast<uint32_t>(f[kEth + i]) << 8) | f[kEth + i + 1];
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  put16(f, kEth + 10, ~sum & 0xffff);
  const size_t udp = kEth + kIp;
  put16(f, udp, 40000);
  put16(f, udp + 2, static_cast<uint32_t>(port));
  put16(f, udp + 4, static_cast<uint32_t>(kUdp + payload.size()));
  std::memcpy(&f[udp + kUdp], payload.data(), payload.size());
  return f;
}

// Writes the datagrams as a capture file; time stamps start now and follow
// --interval-ms (1 us apart without one).
int write_pcap(const Options& o, const std::vector<std::vector<uint8_t>>& datagrams) {
  struct in_addr group, iface;
  if (!parse_addresses(o, &group, &iface)) return 1;
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
  if (dead == nullptr) {
    std::fprintf(stderr, "feedtap_gen: pcap_open_dead failed\n");
    return 1;
  }
  pcap_dumper_t* dump = pcap_dump_open(dead, o.pcapOut.c_str());
  if (dump == nullptr) {
    std::fprintf(stderr, "feedtap_gen: cannot create %s: %s\n", o.pcapOut.c_str(),
                 pcap_geterr(dead));
    pcap_close(dead);
    return 1;
  }
  struct timeval start;
  gettimeofday(&start, nullptr);
  const long stepUs = o.intervalMs > 0 ? o.intervalMs * 1000 : 1;
  long long atUs = static_cast<long long>(start.tv_sec) * 1000000 + start.tv_usec;
  uint16_t id = 1;
  for (const auto& d : datagrams) {
    const std::vector<uint8_t> frame = udp_frame(d, iface, group, o.port, id++);
    struct pcap_pkthdr hdr;
    hdr.ts.tv_sec = static_cast<time_t>(atUs / 1000000);
    hdr.ts.tv_usec = static_cast<suseconds_t>(atUs % 1000000);
    hdr.caplen = static_cast<bpf_u_int32>(frame.size());
    hdr.len = hdr.caplen;
    pcap_dump(reinterpret_cast<u_char*>(dump), &hdr, frame.data());
    atUs += stepUs;
  }
  const bool ok = pcap_dump_flush(dump) == 0 && !std::ferror(pcap_dump_file(dump));
  pcap_dump_close(dump);
  pcap_close(dead);
  if (!ok) {
    std::fprintf(stderr, "feedtap_gen: writing %s failed\n", o.pcapOut.c_str());
    return 1;
  }
  std::printf("wrote %zu datagrams to %s\n", datagrams.size(), o.pcapOut.c_str());
  return 0;
}

int open_sender(const Options& o, struct sockaddr_in* dst) {
  struct in_addr group, iface;
  if (!parse_addresses(o, &group, &iface)) return -1;
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::perror("feedtap_gen: socket");
    return -1;
  }
  const unsigned char ttl = 0;
  const unsigned char loop = 1;
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface)) != 0) {
    std::perror("feedtap_gen: setsockopt");
    ::close(fd);
    return -1;
  }
  std::memset(dst, 0, sizeof(*dst));
  dst->sin_family = AF_INET;
  dst->sin_addr = group;
  dst->sin_port = htons(static_cast<uint16_t>(o.port));
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int rc = parse_args(argc, argv, &o);
  if (rc >= 0) return rc;

  std::vector<feedgen::FeedMessage> msgs;
  for (long r = 0; r < o.rounds; ++r) {
    std::vector<feedgen::FeedMessage> round = feedgen::MakeRound(static_cast<int>(r));
    msgs.insert(msgs.end(), round.begin(), round.end());
  }
  std::vector<std::vector<uint8_t>> datagrams =
      feedgen::PackDatagrams(msgs, static_cast<size_t>(o.perDatagram), kMaxPayload);
  if (o.trailingBytes > 0) {
    datagrams.back().insert(datagrams.back().end(), static_cast<size_t>(o.trailingBytes), 0xEE);
  }

  if (!o.pcapOut.empty()) return write_pcap(o, datagrams);

  if (!o.file.empty()) {
    FILE* fp = std::fopen(o.file.c_str(), "wb");
    if (fp == nullptr) {
      std::fprintf(stderr, "feedtap_gen: cannot create %s: %s\n", o.file.c_str(),
                   std::strerror(errno));
      return 1;
    }
    size_t total = 0;
    for (const auto& d : datagrams) total += std::fwrite(d.data(), 1, d.size(), fp);
    const bool ok = std::fclose(fp) == 0;
    std::printf("wrote %zu messages, %zu bytes to %s\n", msgs.size(), total, o.file.c_str());
    return ok ? 0 : 1;
  }

  struct sockaddr_in dst;
  const int fd = open_sender(o, &dst);
  if (fd < 0) return 1;
  size_t sent = 0;
  for (const auto& d : datagrams) {
    if (::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<struct sockaddr*>(&dst),
                 sizeof(dst)) != static_cast<ssize_t>(d.size())) {
      std::perror("feedtap_gen: sendto");
      ::close(fd);
      return 1;
    }
    ++sent;
    if (o.intervalMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.intervalMs));
  }
  ::close(fd);
  std::printf("sent %zu messages in %zu datagrams to %s:%d\n", msgs.size(), sent, o.group.c_str(),
              o.port);
  return 0;
}
