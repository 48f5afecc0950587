#pragma once
// FeedRecorder: joins one or more multicast groups and writes every datagram
// received into capture files, with the true source and destination and the
// kernel's nanosecond receive time. Rotates to a new file by size or at
// every change of the local hour. Everything runs on the caller's thread:
// Start, then Poll repeatedly, then Stop (which flushes and closes).
#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pcap_writer.h"
#include "stream_gaps.h"
#include "zavo_defaults.h"

namespace zavo {
namespace record {

struct RecorderConfig {
  std::vector<std::string> groups;  // "IP:PORT" each
  std::string interface_ip = ZAVO_DEFAULT_INTERFACE_IP;
  std::string out;            // capture file; with rotation the first of a series
  uint64_t rotate_bytes = 0;  // 0: no rotation by size
  bool rotate_hourly = false;
  // The first file may replace an existing one (files of a rotation after
  // the first never do: a taken name is passed over).
  bool overwrite = false;
  // zstd-compressed files (out then ends in ".zst").
  bool compress = false;
};

struct RecorderCounts {
  uint64_t datagrams = 0;
  uint64_t bytes = 0;  // payload bytes
  uint64_t files = 0;  // files opened so far
  uint64_t write_errors = 0;
};

// "IP:PORT" into an IPv4 address; false when it is not one.
bool ParseEndpoint(const std::string& text, sockaddr_in* out);

class FeedRecorder {
 public:
  explicit FeedRecorder(const RecorderConfig& cfg);
  ~FeedRecorder();
  FeedRecorder(const FeedRecorder&) = delete;
  FeedRecorder& operator=(const FeedRecorder&) = delete;

  // Opens the first file (refused when it exists, unless cfg.overwrite)
  // and joins every group (address reuse set, so that
  // sessions started with ZAVO_SHARE_FEED=1 take the same groups). False
  // with a reason in *error; nothing stays open then.
  bool Start(std::string* error);
  // Waits up to `timeout_ms` for datagrams and records all that are
  // waiting. Returns false on a failure that ends the recording (the file
  // cannot be written or a new one created), with the reason in *error.
  // A signal interrupts the wait early.
  bool Poll(int timeout_ms, std::string* error);
  // Flushes buffered packets to the file.
  bool Flush();
  // Leaves the groups, flushes and closes the file. Idempotent.
  bool Stop();

  RecorderCounts Counts() const { return counts_; }
  const StreamGaps& gaps() const { return gaps_; }
  // The file being written, and every file written so far in order.
  const std::string& current_file() const { return writer_.path(); }
  const std::vector<std::string>& files() const { return files_; }

  // Name of the n-th file of a rotated series: "feed.pcap" gives
  // "feed.0000.pcap", "feed.0001.pcap", ...; "feed.pcap.zst" gives
  // "feed.0000.pcap.zst".
  static std::string RotatedName(const std::string& out, unsigned n);
  // The first file a recording with `cfg` writes.
  static std::string FirstFile(const RecorderConfig& cfg);

 private:
  // One joined group and the datagram read from it but not yet written.
  struct Member {
    int fd = -1;
    sockaddr_in group{};
    std::vector<char> buffer;
    bool pending = false;
    bool dry = false;  // nothing more waiting on the socket
    size_t len = 0;
    uint64_t ts_ns = 0;
    sockaddr_in from{};
  };
  bool open_next_file(std::string* error);
  bool rotation_due(uint64_t ts_ns) const;
  bool receive(Member& m, std::string* error);
  bool write(Member& m, std::string* error);

  RecorderConfig cfg_;
  std::vector<Member> members_;
  PcapWriter writer_;
  StreamGaps gaps_;
  RecorderCounts counts_;
  std::vector<std::string> files_;
  unsigned next_index_ = 0;  // number of the next file of a rotated series
  int file_hour_ = -1;       // local hour of the current file (hourly rotation)
  uint64_t last_ts_ns_ = 0;
};

}  // namespace record
}  // namespace zavo
