#pragma once
// Writes UDP datagrams into a capture file with nanosecond time stamps, each
// wrapped in the Ethernet, IPv4 and UDP headers it travelled under, so that
// ordinary packet analysers open the file as it is.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zstd_output.h"

typedef struct pcap pcap_t;
typedef struct pcap_dumper pcap_dumper_t;

namespace zavo {
namespace record {

class PcapWriter {
 public:
  // Largest UDP payload an IPv4 packet can carry.
  static constexpr size_t kMaxPayload = 65535 - 20 - 8;
  // Bytes of framing written in front of every payload.
  static constexpr size_t kFrameOverhead = 14 + 20 + 8;

  PcapWriter() = default;
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Files opened from now on are zstd-compressed (a complete stream each,
  // readable while it grows up to the last Flush) or plain.
  void set_compressed(bool on) { compressed_ = on; }
  bool compressed() const { return compressed_; }

  // kReplace truncates an existing file; kCreateNew fails on one and then
  // sets *existed (the file is left as it was).
  enum class Mode { kReplace, kCreateNew };
  // Creates `path`. False with a reason in *error.
  bool Open(const std::string& path, std::string* error, Mode mode = Mode::kReplace,
            bool* existed = nullptr);
  bool IsOpen() const { return dumper_ != nullptr; }
  // Appends one datagram received at `ts_ns` (nanoseconds since the epoch)
  // from `src` for `dst`. A payload above kMaxPayload is cut to it (the IPv4
  // length field cannot say more). False when the file cannot be written.
  bool Write(uint64_t ts_ns, const sockaddr_in& src, const sockaddr_in& dst, const char* data,
             size_t len);
  // Pushes buffered packets to the file (for a compressed file, ends a
  // frame: everything so far decodes from it). False on a write error.
  bool Flush();
  // Flushes and closes; false when the last bytes could not be written.
  bool Close();

  // Bytes in the file so far, header included (compressed bytes for a
  // compressed file: what has left the compressor).
  uint64_t FileBytes() const { return zstd_ ? zstd_->file_bytes() : file_bytes_; }
  const std::string& path() const { return path_; }

 private:
  pcap_t* pcap_ = nullptr;
  pcap_dumper_t* dumper_ = nullptr;
  std::unique_ptr<ZstdOutput> zstd_;
  bool compressed_ = false;
  std::string path_;
  uint64_t file_bytes_ = 0;
  uint16_t ip_id_ = 0;
  std::vector<unsigned char> frame_;
};

}  // namespace record
}  // namespace zavo
