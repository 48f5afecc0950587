#pragma once
// Capture files compressed with zstd, read as a stream: a stdio stream of
// the decompressed bytes that libpcap reads like a plain file, so that pcap
// and pcapng need nothing of their own. No temporary file is made.
//
// Compression is told by the first bytes of the file, not by its name.
// Decoded data is handed on a frame at a time once the frame's checksum
// holds (up to a bound, for frames of foreign writers that span a whole
// file), so that a damaged frame does not reach the reader as packets. A
// file cut short hands on whatever its last frame still decodes to.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace zavo {
namespace record {

// True when this build can read and write compressed captures.
bool ZstdSupported();
// True when `p` (n bytes, the start of a file) begins a zstd frame,
// skippable frames included.
bool LooksZstd(const unsigned char* p, size_t n);

class ZstdInput {
 public:
  ~ZstdInput();
  ZstdInput(const ZstdInput&) = delete;
  ZstdInput& operator=(const ZstdInput&) = delete;

  // The decompressed bytes of `source`, which the result takes over (and
  // closes when its stream is closed). nullptr when this build cannot
  // decompress, with the reason in *error.
  // `prefix` holds bytes already read from the start of `source`.
  static std::unique_ptr<ZstdInput> Open(FILE* source, const std::string& prefix,
                                         std::string* error);

  // The stream to read from; it stays owned by the caller, who closes it
  // (pcap_close does) before this object goes. Reads end with an error
  // (errno EIO) at damage or a cut, after everything before it was given.
  FILE* stream() const { return stream_; }
  // The damage met, "" while there is none: what it was and where, as a
  // byte offset into the compressed file.
  const std::string& damage() const { return damage_; }
  // Compressed bytes consumed and decompressed bytes handed on so far.
  uint64_t compressed_offset() const;
  uint64_t decoded_bytes() const;

 private:
  struct State;
  ZstdInput();
  static ssize_t cookie_read(void* cookie, char* buf, size_t size);
  static int cookie_close(void* cookie);
  ssize_t read(char* buf, size_t size);
  // Decodes more of the file; false at its end or at damage (whatever
  // that left to hand on is ready then).
  bool decode_more();
  void refill();
  void release_pending();

  std::unique_ptr<State> s_;
  FILE* stream_ = nullptr;
  bool stream_closed_ = false;
  std::string damage_;
};

// Opens a capture file for reading, compressed or not. The returned stream
// is for pcap_fopen_offline; *compressed holds the decompressor of a zstd
// file (empty for a plain one) and must outlive the stream. nullptr with a
// reason naming the file in *error.
FILE* OpenCaptureStream(const std::string& path, std::unique_ptr<ZstdInput>* compressed,
                        std::string* error);
// The same for a stream already open at its start (taken over; closed on
// failure). A plain stream that cannot seek back is refused.
FILE* WrapCaptureStream(FILE* fp, std::unique_ptr<ZstdInput>* compressed, std::string* error);

}  // namespace record
}  // namespace zavo
