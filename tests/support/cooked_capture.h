// Capture files as `tcpdump -i any` writes them on current Linux: link type
// 276, each packet behind a 20-byte cooked (v2) header instead of an
// Ethernet one. Written byte by byte, without libpcap, so that any suite
// can make one.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace zavo {
namespace test {

struct CookedDatagram {
  uint32_t src_ip = 0x0a010203;  // host order
  uint16_t src_port = 40000;
  uint32_t dst_ip = 0xef090909;
  uint16_t dst_port = 9001;
  std::string payload;
};

constexpr uint32_t kLinkTypeLinuxSll2 = 276;

namespace cooked_detail {

inline void put16(std::string* s, uint16_t v) {
  s->push_back(static_cast<char>(v >> 8));
  s->push_back(static_cast<char>(v & 0xff));
}
inline void put32(std::string* s, uint32_t v) {
  put16(s, static_cast<uint16_t>(v >> 16));
  put16(s, static_cast<uint16_t>(v & 0xffff));
}
// The pcap file and record headers are in the writer's byte order; little
// endian here, as on the hosts that run these tests.
inline void le32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
inline void le16(std::string* s, uint16_t v) {
  s->push_back(static_cast<char>(v & 0xff));
  s->push_back(static_cast<char>(v >> 8));
}

}  // namespace cooked_detail

// One packet: cooked v2 header (protocol IPv4, interface 1, ARPHRD_ETHER,
// the given packet type, a 6-byte address), IPv4 and UDP headers, payload.
// `protocol` other than 0x0800 makes a packet that carries no IPv4.
inline std::string CookedPacket(const CookedDatagram& d, uint8_t packet_type = 4,
                                uint16_t protocol = 0x0800) {
  using namespace cooked_detail;
  std::string p;
  put16(&p, protocol);
  put16(&p, 0);  // reserved
  put32(&p, 1);  // interface index
  put16(&p, 1);  // ARPHRD_ETHER
  p.push_back(static_cast<char>(packet_type));
  p.push_back(6);  // address length
  p.append("\x02\x00\x00\x00\x00\x01\x00\x00", 8);
  const uint16_t udp_len = static_cast<uint16_t>(8 + d.payload.size());
  std::string ip;
  put16(&ip, 0x4500);
  put16(&ip, static_cast<uint16_t>(20 + udp_len));
  put16(&ip, 1);  // identification
  put16(&ip, 0);  // no fragment
  ip.push_back(1);
  ip.push_back(17);  // UDP
  put16(&ip, 0);     // checksum: not checked by readers
  put32(&ip, d.src_ip);
  put32(&ip, d.dst_ip);
  put16(&ip, d.src_port);
  put16(&ip, d.dst_port);
  put16(&ip, udp_len);
  put16(&ip, 0);
  ip += d.payload;
  return p + ip;
}

// A whole file (microsecond time stamps) holding the given packets, one
// millisecond apart from `first_s`.
inline std::string CookedCaptureFile(const std::vector<std::string>& packets,
                                     uint32_t first_s = 1700000000) {
  using namespace cooked_detail;
  std::string f;
  le32(&f, 0xa1b2c3d4);
  le16(&f, 2);
  le16(&f, 4);
  le32(&f, 0);
  le32(&f, 0);
  le32(&f, 262144);
  le32(&f, kLinkTypeLinuxSll2);
  uint32_t usec = 0;
  for (const std::string& p : packets) {
    le32(&f, first_s + usec / 1000000);
    le32(&f, usec % 1000000);
    le32(&f, static_cast<uint32_t>(p.size()));
    le32(&f, static_cast<uint32_t>(p.size()));
    f += p;
    usec += 1000;
  }
  return f;
}

inline bool WriteCookedCapture(const std::string& path, const std::vector<CookedDatagram>& ds) {
  std::vector<std::string> packets;
  for (const CookedDatagram& d : ds) packets.push_back(CookedPacket(d));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const std::string bytes = CookedCaptureFile(packets);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace test
}  // namespace zavo
