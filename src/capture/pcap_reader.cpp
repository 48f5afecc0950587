#include "pcap_reader.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>

namespace zavo {
namespace record {

namespace {

uint16_t get16(const unsigned char* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Linux cooked v2, what `tcpdump -i any` writes on current systems. Named
// here because older libpcap headers do not know it.
constexpr int kLinkLinuxSll2 = 276;
// Cooked headers: v1 puts the protocol at 14 of 16 bytes, v2 at 0 of 20.
constexpr size_t kSllHeader = 16;
constexpr size_t kSll2Header = 20;

}  // namespace

std::string AddressText(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof(ip));
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

PcapReader::~PcapReader() {
  Close();
}

void PcapReader::Close() {
  if (pcap_ != nullptr) pcap_close(pcap_);  // closes the decompressing stream too
  pcap_ = nullptr;
  zstd_.reset();
}

bool PcapReader::Open(const std::string& path, std::string* error) {
  Close();
  packets_ = skipped_ = 0;
  error_.clear();
  FILE* fp = OpenCaptureStream(path, &zstd_, &error_);
  if (fp == nullptr) {
    if (error) *error = error_;
    return false;
  }
  char errbuf[PCAP_ERRBUF_SIZE] = {0};
  pcap_ = pcap_fopen_offline_with_tstamp_precision(fp, PCAP_TSTAMP_PRECISION_NANO, errbuf);
  if (pcap_ == nullptr) {
    std::fclose(fp);
    const std::string damage = damage_text();
    error_ = path + ": " + (damage.empty() ? std::string(errbuf) : damage);
    zstd_.reset();
    if (error) *error = error_;
    return false;
  }
  link_type_ = pcap_datalink(pcap_);
  if (link_type_ != DLT_EN10MB && link_type_ != DLT_LINUX_SLL && link_type_ != kLinkLinuxSll2 &&
      link_type_ != DLT_RAW && link_type_ != DLT_IPV4) {
    error_ = path + ": link type " + std::to_string(link_type_) + " carries no IPv4 datagrams";
    if (error) *error = error_;
    Close();
    return false;
  }
  return true;
}

PcapReader::Result PcapReader::Next(CapturedDatagram* out) {
  if (pcap_ == nullptr) return kEnd;
  for (;;) {
    pcap_pkthdr* h = nullptr;
    const u_char* p = nullptr;
    const int rc = pcap_next_ex(pcap_, &h, &p);
    if (rc == PCAP_ERROR_BREAK) return kEnd;
    if (rc != 1) {
      // The decompressor knows better than "error reading dump file".
      error_ = damage_text();
      if (error_.empty()) error_ = pcap_geterr(pcap_);
      return kError;
    }
    ++packets_;
    out->ts_ns =
        static_cast<uint64_t>(h->ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(h->ts.tv_usec);
    if (decode(p, h->caplen, out)) return kDatagram;
    ++skipped_;
  }
}

uint64_t PcapReader::file_offset() const {
  if (zstd_) return zstd_->compressed_offset();
  if (pcap_ == nullptr) return 0;
  const long at = std::ftell(pcap_file(pcap_));
  return at < 0 ? 0 : static_cast<uint64_t>(at);
}

std::string PcapReader::damage_text() const {
  if (!zstd_ || zstd_->damage().empty()) return "";
  return zstd_->damage() + ", after " + std::to_string(zstd_->decoded_bytes()) +
         " decoded bytes and " + std::to_string(packets_) + " packets";
}

bool PcapReader::decode(const unsigned char* p, size_t caplen, CapturedDatagram* out) {
  size_t off = 0;
  uint16_t ether_type = 0x0800;
  if (link_type_ == DLT_EN10MB) {
    if (caplen < 14) return false;
    ether_type = get16(p + 12);
    off = 14;
    while (ether_type == 0x8100 || ether_type == 0x88a8) {  // VLAN tags
      if (caplen < off + 4) return false;
      ether_type = get16(p + off + 2);
      off += 4;
    }
  } else if (link_type_ == DLT_LINUX_SLL) {
    if (caplen < kSllHeader) return false;
    ether_type = get16(p + 14);
    off = kSllHeader;
  } else if (link_type_ == kLinkLinuxSll2) {
    if (caplen < kSll2Header) return false;
    ether_type = get16(p);
    off = kSll2Header;
  }
  if (ether_type != 0x0800 || caplen < off + 20) return false;
  const unsigned char* ip = p + off;
  const size_t ihl = static_cast<size_t>(ip[0] & 0x0f) * 4;
  if ((ip[0] >> 4) != 4 || ihl < 20 || ip[9] != IPPROTO_UDP) return false;
  // A fragment holds part of a datagram only: passed over.
  if ((get16(ip + 6) & 0x3fff) != 0) return false;
  const size_t ip_len = get16(ip + 2);
  if (ip_len < ihl + 8 || caplen < off + ihl + 8) return false;
  const unsigned char* udp = ip + ihl;
  const size_t udp_len = get16(udp + 4);
  if (udp_len < 8 || udp_len > ip_len - ihl || caplen < off + ihl + udp_len) return false;
  out->src = sockaddr_in{};
  out->dst = sockaddr_in{};
  out->src.sin_family = out->dst.sin_family = AF_INET;
  std::memcpy(&out->src.sin_addr.s_addr, ip + 12, 4);
  std::memcpy(&out->dst.sin_addr.s_addr, ip + 16, 4);
  std::memcpy(&out->src.sin_port, udp, 2);
  std::memcpy(&out->dst.sin_port, udp + 2, 2);
  out->data = reinterpret_cast<const char*>(udp + 8);
  out->len = udp_len - 8;
  return true;
}

}  // namespace record
}  // namespace zavo
