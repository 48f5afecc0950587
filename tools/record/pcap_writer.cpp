#include "pcap_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace zavo {
namespace record {

namespace {

constexpr size_t kEthHeader = 14;
constexpr size_t kIpHeader = 20;
constexpr size_t kUdpHeader = 8;
// The file header of a capture file.
constexpr uint64_t kFileHeaderBytes = 24;
// Per-packet record header in the file.
constexpr uint64_t kRecordHeaderBytes = 16;

void put16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

uint16_t ip_checksum(const unsigned char* p, size_t len) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < len; i += 2) sum += (uint32_t{p[i]} << 8) | p[i + 1];
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

}  // namespace

PcapWriter::~PcapWriter() {
  Close();
}

bool PcapWriter::Open(const std::string& path, std::string* error, Mode mode, bool* existed) {
  Close();
  if (existed) *existed = false;
  // Created here rather than by libpcap, so that "only if new" is decided
  // by the system in one step, with no window for another writer.
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mode == Mode::kCreateNew ? O_EXCL : O_TRUNC);
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    const int err = errno;
    if (err == EEXIST && existed) *existed = true;
    if (error) {
      *error =
          err == EEXIST ? path + " exists" : "cannot create " + path + ": " + std::strerror(err);
    }
    return false;
  }
  FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (compressed_) {
    // The compressor owns the file from here on and closes it.
    std::string why;
    zstd_ = ZstdOutput::Open(file, ZstdOutput::kDefaultLevel, &why);
    if (!zstd_) {
      if (error) *error = "cannot create " + path + ": " + why;
      return false;
    }
    file = zstd_->stream();
  }
  pcap_ = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 65535 + kEthHeader,
                                               PCAP_TSTAMP_PRECISION_NANO);
  if (pcap_ == nullptr) {
    if (error) *error = "cannot set up the capture writer";
    std::fclose(file);
    zstd_.reset();
    return false;
  }
  // From here on the dumper owns the stream and closes it.
  dumper_ = pcap_dump_fopen(pcap_, file);
  if (dumper_ == nullptr) {
    if (error) *error = "cannot create " + path + ": " + pcap_geterr(pcap_);
    std::fclose(file);
    zstd_.reset();
    pcap_close(pcap_);
    pcap_ = nullptr;
    return false;
  }
  path_ = path;
  file_bytes_ = kFileHeaderBytes;
  frame_.assign(kEthHeader + kIpHeader + kUdpHeader + kMaxPayload, 0);
  return true;
}

bool PcapWriter::Write(uint64_t ts_ns, const sockaddr_in& src, const sockaddr_in& dst,
                       const char* data, size_t len) {
  if (dumper_ == nullptr) return false;
  if (len > kMaxPayload) len = kMaxPayload;
  unsigned char* f = frame_.data();
  // Ethernet: the group's own multicast MAC as destination; the sender's is
  // not known to a socket, so a locally administered one made of its address.
  const uint32_t group = ntohl(dst.sin_addr.s_addr);
  const uint32_t from = ntohl(src.sin_addr.s_addr);
  const unsigned char dst_mac[6] = {0x01,
                                    0x00,
                                    0x5e,
                                    static_cast<unsigned char>((group >> 16) & 0x7f),
                                    static_cast<unsigned char>(group >> 8),
                                    static_cast<unsigned char>(group)};
  const unsigned char src_mac[6] = {0x02,
                                    0x00,
                                    static_cast<unsigned char>(from >> 24),
                                    static_cast<unsigned char>(from >> 16),
                                    static_cast<unsigned char>(from >> 8),
                                    static_cast<unsigned char>(from)};
  std::memcpy(f, dst_mac, 6);
  std::memcpy(f + 6, src_mac, 6);
  put16(f + 12, 0x0800);

  unsigned char* ip = f + kEthHeader;
  ip[0] = 0x45;
  ip[1] = 0;
  put16(ip + 2, static_cast<uint16_t>(kIpHeader + kUdpHeader + len));
  put16(ip + 4, ip_id_++);
  put16(ip + 6, 0x4000);  // don't fragment: the payload is whole
  ip[8] = 1;              // a multicast feed's usual time-to-live
  ip[9] = IPPROTO_UDP;
  put16(ip + 10, 0);
  std::memcpy(ip + 12, &src.sin_addr.s_addr, 4);
  std::memcpy(ip + 16, &dst.sin_addr.s_addr, 4);
  put16(ip + 10, ip_checksum(ip, kIpHeader));

  unsigned char* udp = ip + kIpHeader;
  std::memcpy(udp, &src.sin_port, 2);
  std::memcpy(udp + 2, &dst.sin_port, 2);
  put16(udp + 4, static_cast<uint16_t>(kUdpHeader + len));
  put16(udp + 6, 0);  // no checksum, which IPv4 allows
  std::memcpy(udp + kUdpHeader, data, len);

  pcap_pkthdr h;
  const size_t caplen = kFrameOverhead + len;
  // With nanosecond precision the dumper writes tv_usec as nanoseconds.
  h.ts.tv_sec = static_cast<time_t>(ts_ns / 1000000000ULL);
  h.ts.tv_usec = static_cast<suseconds_t>(ts_ns % 1000000000ULL);
  h.caplen = static_cast<bpf_u_int32>(caplen);
  h.len = static_cast<bpf_u_int32>(caplen);
  pcap_dump(reinterpret_cast<u_char*>(dumper_), &h, f);
  file_bytes_ += kRecordHeaderBytes + caplen;
  return !ferror(pcap_dump_file(dumper_));
}

bool PcapWriter::Flush() {
  if (dumper_ == nullptr) return true;
  const bool flushed = pcap_dump_flush(dumper_) == 0;
  return zstd_ ? zstd_->EndFrame() && flushed : flushed;
}

bool PcapWriter::Close() {
  bool ok = true;
  if (dumper_ != nullptr) {
    ok = pcap_dump_flush(dumper_) == 0 && !ferror(pcap_dump_file(dumper_));
    // Closing the stream ends the last compressed frame and closes the file.
    pcap_dump_close(dumper_);
    dumper_ = nullptr;
    if (zstd_ && !zstd_->ok()) ok = false;
    zstd_.reset();
  }
  if (pcap_ != nullptr) {
    pcap_close(pcap_);
    pcap_ = nullptr;
  }
  return ok;
}

}  // namespace record
}  // namespace zavo
