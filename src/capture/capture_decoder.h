#pragma once
// One capture file decoded offline: the file's datagrams (PcapReader), the
// group they are taken from, the library's decoders behind FeedDecoder and
// the per-stream sequence counts, with the summary that libzavo_capture
// hands out. Used by one thread at a time.
#include <arpa/inet.h>

#include <cstdint>
#include <memory>
#include <string>

#include "api/feed_decoder.h"
#include "pcap_reader.h"
#include "stream_gaps.h"
#include "zavo_capture.h"

namespace zavo {
namespace capture {

class CaptureDecoder {
 public:
  // Null with the reason (naming the file) in *error when the file cannot
  // be read or the settings are refused. `handle` is the handler's first
  // argument when the settings give no context.
  static std::unique_ptr<CaptureDecoder> Open(const std::string& path,
                                              const ZAVO_CaptureSetting& setting, void* handle,
                                              std::string* error);

  // Decodes until `max_records` more records were delivered (0: all);
  // true while the file may hold more.
  bool Read(uint64_t max_records);
  void Summary(ZAVO_CaptureSummary* out) const;

 private:
  CaptureDecoder() = default;
  bool take(const record::CapturedDatagram& d) const;
  void end(bool damaged);

  std::string path_;
  record::PcapReader reader_;
  std::unique_ptr<FeedDecoder> decoder_;
  record::StreamGaps gaps_;
  bool by_group_ = false;
  in_addr group_{};
  uint16_t group_port_ = 0;  // network order
  unsigned char sync_ = 0x07;
  uint64_t passed_ = 0;
  bool ended_ = false;
  bool damaged_ = false;
  uint64_t damage_offset_ = 0;
  std::string error_;
};

}  // namespace capture
}  // namespace zavo
