#include "zstd_input.h"

#include <errno.h>

#include <cstring>
#include <vector>

#if ZAVO_HAVE_ZSTD
#include <zstd.h>
#endif

namespace zavo {
namespace record {

namespace {

constexpr uint32_t kZstdMagic = 0xFD2FB528u;
// Skippable frames: 0x184D2A50 to 0x184D2A5F.
constexpr uint32_t kSkippableMask = 0xFFFFFFF0u;
constexpr uint32_t kSkippableMagic = 0x184D2A50u;
#if ZAVO_HAVE_ZSTD
// Decoded bytes of one frame held back until its checksum is seen. Our own
// recorder ends a frame well before this; a frame of another writer may
// span a whole file and is then handed on in pieces of this size.
constexpr size_t kHoldBack = 8u << 20;
constexpr size_t kInputChunk = 128u << 10;
#endif

uint32_t le32(const unsigned char* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

bool may_start_zstd(int c) {
  return c == (kZstdMagic & 0xff) || (c & 0xf0) == (kSkippableMagic & 0xf0);
}

}  // namespace

bool LooksZstd(const unsigned char* p, size_t n) {
  if (n < 4) return false;
  const uint32_t m = le32(p);
  return m == kZstdMagic || (m & kSkippableMask) == kSkippableMagic;
}

struct ZstdInput::State {
  FILE* source = nullptr;
  std::vector<char> in;
  size_t in_size = 0;
  size_t in_pos = 0;
  uint64_t in_offset = 0;    // file offset of in[0]
  uint64_t frame_start = 0;  // file offset of the frame being decoded
  bool frame_open = false;
  bool at_eof = false;
  // Verified bytes ready to hand on, and those of the frame still open.
  std::vector<char> ready;
  size_t ready_pos = 0;
  std::vector<char> pending;
  uint64_t handed = 0;
#if ZAVO_HAVE_ZSTD
  ZSTD_DCtx* dctx = nullptr;
#endif
  ~State() {
#if ZAVO_HAVE_ZSTD
    ZSTD_freeDCtx(dctx);
#endif
    if (source != nullptr) std::fclose(source);
  }
};

ZstdInput::ZstdInput() : s_(new State) {}

ZstdInput::~ZstdInput() {
  // The owner closes the stream first; one left open is closed here so
  // that the file is not leaked.
  if (stream_ != nullptr && !stream_closed_) std::fclose(stream_);
}

uint64_t ZstdInput::compressed_offset() const {
  return s_->in_offset + s_->in_pos;
}

uint64_t ZstdInput::decoded_bytes() const {
  return s_->handed;
}

bool ZstdSupported() {
  return ZAVO_HAVE_ZSTD != 0;
}

std::unique_ptr<ZstdInput> ZstdInput::Open(FILE* source, const std::string& prefix,
                                           std::string* error) {
#if !ZAVO_HAVE_ZSTD
  (void)prefix;
  std::fclose(source);
  if (error) *error = "compressed with zstd, and this build has no zstd (install libzstd-dev)";
  return nullptr;
#else
  std::unique_ptr<ZstdInput> z(new ZstdInput);
  State& s = *z->s_;
  s.source = source;
  s.dctx = ZSTD_createDCtx();
  if (s.dctx == nullptr) {
    if (error) *error = "cannot set up the decompressor";
    return nullptr;
  }
  s.in.resize(prefix.size() > kInputChunk ? prefix.size() : kInputChunk);
  std::memcpy(s.in.data(), prefix.data(), prefix.size());
  s.in_size = prefix.size();
  const cookie_io_functions_t io{&ZstdInput::cookie_read, nullptr, nullptr,
                                 &ZstdInput::cookie_close};
  z->stream_ = fopencookie(z.get(), "rb", io);
  if (z->stream_ == nullptr) {
    if (error) *error = std::string("cannot open a decompressing stream: ") + std::strerror(errno);
    return nullptr;
  }
  return z;
#endif
}

ssize_t ZstdInput::cookie_read(void* cookie, char* buf, size_t size) {
  return static_cast<ZstdInput*>(cookie)->read(buf, size);
}

int ZstdInput::cookie_close(void* cookie) {
  ZstdInput* z = static_cast<ZstdInput*>(cookie);
  z->stream_closed_ = true;
  if (z->s_->source != nullptr && std::fclose(z->s_->source) != 0) {
    z->s_->source = nullptr;
    return -1;
  }
  z->s_->source = nullptr;
  return 0;
}

ssize_t ZstdInput::read(char* buf, size_t size) {
  State& s = *s_;
  for (;;) {
    if (s.ready_pos < s.ready.size()) {
      size_t n = s.ready.size() - s.ready_pos;
      if (n > size) n = size;
      std::memcpy(buf, s.ready.data() + s.ready_pos, n);
      s.ready_pos += n;
      s.handed += n;
      return static_cast<ssize_t>(n);
    }
    s.ready.clear();
    s.ready_pos = 0;
    if (!decode_more() && s.ready.empty()) {
      if (damage_.empty()) return 0;
      // Everything before the damage has been read: the reader sees an
      // error now, not a clean end.
      errno = EIO;
      return -1;
    }
  }
}

void ZstdInput::release_pending() {
  State& s = *s_;
  if (s.ready.empty()) {
    s.ready.swap(s.pending);
    s.ready_pos = 0;
  } else {
    s.ready.insert(s.ready.end(), s.pending.begin(), s.pending.end());
  }
  s.pending.clear();
}

void ZstdInput::refill() {
  State& s = *s_;
  s.in_offset += s.in_size;
  s.in_pos = 0;
  s.in_size = std::fread(s.in.data(), 1, s.in.size(), s.source);
  if (s.in_size > 0) return;
  s.at_eof = true;
  if (std::ferror(s.source)) {
    damage_ = "read error at byte " + std::to_string(s.in_offset) + ": " + std::strerror(errno);
  }
}

bool ZstdInput::decode_more() {
#if !ZAVO_HAVE_ZSTD
  return false;
#else
  State& s = *s_;
  if (!damage_.empty()) return false;
  if (s.in_pos == s.in_size && !s.at_eof) {
    refill();
    if (!damage_.empty()) {
      release_pending();  // a read error is a cut, not bad data
      return false;
    }
  }
  const size_t chunk = ZSTD_DStreamOutSize();
  const size_t old = s.pending.size();
  s.pending.resize(old + chunk);
  ZSTD_inBuffer in{s.in.data(), s.in_size, s.in_pos};
  ZSTD_outBuffer out{s.pending.data() + old, chunk, 0};
  const size_t r = ZSTD_decompressStream(s.dctx, &out, &in);
  s.in_pos = in.pos;
  s.pending.resize(old + out.pos);
  if (ZSTD_isError(r)) {
    damage_ = "damaged compressed data at byte " + std::to_string(compressed_offset()) +
              " (in the frame from byte " + std::to_string(s.frame_start) +
              "; zstd: " + ZSTD_getErrorName(r) + "); " + std::to_string(s.pending.size()) +
              " bytes decoded from that frame are not used";
    s.pending.clear();
    return false;
  }
  if (r == 0) {
    // The frame is complete and its checksum held.
    release_pending();
    s.frame_open = false;
    s.frame_start = compressed_offset();
  } else {
    s.frame_open = compressed_offset() > s.frame_start;
    if (s.pending.size() >= kHoldBack) release_pending();
  }
  if (out.pos == 0 && s.in_pos == s.in_size && s.at_eof) {
    if (s.frame_open) {
      damage_ = "truncated compressed file: it ends at byte " +
                std::to_string(compressed_offset()) + " inside the frame from byte " +
                std::to_string(s.frame_start);
      release_pending();  // what the cut frame still gave is good data
    }
    return false;
  }
  return true;
#endif
}

FILE* WrapCaptureStream(FILE* fp, std::unique_ptr<ZstdInput>* compressed, std::string* error) {
  compressed->reset();
  // One byte of look-ahead is all a stream is sure to give back, and no
  // capture format starts with the first byte of a zstd frame.
  const int c = std::getc(fp);
  if (c == EOF || !may_start_zstd(c)) {
    if (c != EOF) std::ungetc(c, fp);
    return fp;
  }
  std::string prefix(1, static_cast<char>(c));
  char rest[3];
  prefix.append(rest, std::fread(rest, 1, sizeof(rest), fp));
  if (!LooksZstd(reinterpret_cast<const unsigned char*>(prefix.data()), prefix.size())) {
    std::fclose(fp);
    if (error) *error = "unknown file format (neither a capture file nor zstd-compressed)";
    return nullptr;
  }
  *compressed = ZstdInput::Open(fp, prefix, error);
  return *compressed ? (*compressed)->stream() : nullptr;
}

FILE* OpenCaptureStream(const std::string& path, std::unique_ptr<ZstdInput>* compressed,
                        std::string* error) {
  FILE* fp = std::fopen(path.c_str(), "rbe");
  if (fp == nullptr) {
    if (error) *error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  std::string why;
  FILE* stream = WrapCaptureStream(fp, compressed, &why);
  if (stream == nullptr && error) *error = path + ": " + why;
  return stream;
}

}  // namespace record
}  // namespace zavo
