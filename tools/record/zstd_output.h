#pragma once
// A stdio stream that compresses with zstd into a file as it is written:
// libpcap's dumper writes to it like to a plain file. The data is cut into
// frames, each with its checksum, at every EndFrame and after a few MiB, so
// that a file whose writer died decodes up to its last complete frame and a
// reader can hold back a frame until it is verified.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace zavo {
namespace record {

class ZstdOutput {
 public:
  // Level used by the recorder: fast enough for a busy feed on one core.
  // A full market's feed compresses to 0.21 of its size here and to 0.197
  // at 6, but 6 needs about 0.5 of a core at the open's peak, where a
  // recorder on a loaded host falls behind and loses datagrams.
  static constexpr int kDefaultLevel = 3;
  // Input after which a frame is ended even without EndFrame.
  static constexpr size_t kMaxFrameInput = 4u << 20;

  ~ZstdOutput();
  ZstdOutput(const ZstdOutput&) = delete;
  ZstdOutput& operator=(const ZstdOutput&) = delete;

  // Compresses into `sink`, which the result takes over (closed with the
  // stream). nullptr with the reason in *error, `sink` closed then.
  static std::unique_ptr<ZstdOutput> Open(FILE* sink, int level, std::string* error);

  // The stream to write to; the caller closes it before this object goes
  // (pcap_dump_close does), which ends the last frame and closes the sink.
  FILE* stream() const { return stream_; }
  // Ends the frame of what reached the stream so far (flush the stream
  // first) and pushes it to the file. False on a write error.
  bool EndFrame();
  // False once anything could not be compressed or written, closing
  // included.
  bool ok() const { return ok_; }
  // Compressed bytes in the file so far.
  uint64_t file_bytes() const { return file_bytes_; }

 private:
  struct State;
  ZstdOutput();
  static ssize_t cookie_write(void* cookie, const char* buf, size_t size);
  static int cookie_close(void* cookie);
  size_t write(const char* buf, size_t size);
  // One pass of the compressor over `buf` with the given end directive.
  bool compress(const char* buf, size_t size, int directive);
  bool drain(size_t produced);

  std::unique_ptr<State> s_;
  FILE* sink_ = nullptr;
  FILE* stream_ = nullptr;
  bool stream_closed_ = false;
  bool ok_ = true;
  uint64_t file_bytes_ = 0;
  size_t frame_input_ = 0;
};

}  // namespace record
}  // namespace zavo
