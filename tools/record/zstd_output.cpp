#include "zstd_output.h"

#include <errno.h>

#include <cstring>

#if ZAVO_HAVE_ZSTD
#include <zstd.h>
#endif

namespace zavo {
namespace record {

struct ZstdOutput::State {
  std::vector<char> out;
#if ZAVO_HAVE_ZSTD
  ZSTD_CCtx* cctx = nullptr;
  ~State() {
    ZSTD_freeCCtx(cctx);
  }
#endif
};

ZstdOutput::ZstdOutput() : s_(new State) {}

ZstdOutput::~ZstdOutput() {
  if (stream_ != nullptr && !stream_closed_) std::fclose(stream_);
  if (sink_ != nullptr) std::fclose(sink_);
}

std::unique_ptr<ZstdOutput> ZstdOutput::Open(FILE* sink, int level, std::string* error) {
#if !ZAVO_HAVE_ZSTD
  (void)level;
  std::fclose(sink);
  if (error) *error = "this build has no zstd compression (install libzstd-dev and rebuild)";
  return nullptr;
#else
  std::unique_ptr<ZstdOutput> z(new ZstdOutput);
  z->sink_ = sink;
  State& s = *z->s_;
  s.cctx = ZSTD_createCCtx();
  // The checksum lets a reader tell a damaged frame from a good one.
  if (s.cctx == nullptr ||
      ZSTD_isError(ZSTD_CCtx_setParameter(s.cctx, ZSTD_c_compressionLevel, level)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(s.cctx, ZSTD_c_checksumFlag, 1))) {
    if (error) *error = "cannot set up the compressor";
    return nullptr;
  }
  s.out.resize(ZSTD_CStreamOutSize());
  const cookie_io_functions_t io{nullptr, &ZstdOutput::cookie_write, nullptr,
                                 &ZstdOutput::cookie_close};
  z->stream_ = fopencookie(z.get(), "wb", io);
  if (z->stream_ == nullptr) {
    if (error) *error = std::string("cannot open a compressing stream: ") + std::strerror(errno);
    return nullptr;
  }
  return z;
#endif
}

ssize_t ZstdOutput::cookie_write(void* cookie, const char* buf, size_t size) {
  return static_cast<ssize_t>(static_cast<ZstdOutput*>(cookie)->write(buf, size));
}

int ZstdOutput::cookie_close(void* cookie) {
  ZstdOutput* z = static_cast<ZstdOutput*>(cookie);
  z->stream_closed_ = true;
  // stdio has handed over its last bytes by now.
  if (!z->EndFrame()) z->ok_ = false;
  if (z->sink_ != nullptr && std::fclose(z->sink_) != 0) z->ok_ = false;
  z->sink_ = nullptr;
  return z->ok_ ? 0 : -1;
}

size_t ZstdOutput::write(const char* buf, size_t size) {
#if !ZAVO_HAVE_ZSTD
  (void)buf;
  (void)size;
  (void)frame_input_;
  return 0;
#else
  // Zero tells stdio that nothing could be written: the stream's error
  // flag is set, and the writer reports it.
  if (!ok_ || !compress(buf, size, ZSTD_e_continue)) return 0;
  frame_input_ += size;
  if (frame_input_ >= kMaxFrameInput && !EndFrame()) return 0;
  return size;
#endif
}

bool ZstdOutput::EndFrame() {
#if !ZAVO_HAVE_ZSTD
  return false;
#else
  if (!ok_ || sink_ == nullptr) return false;
  if (frame_input_ > 0 && !compress(nullptr, 0, ZSTD_e_end)) return false;
  frame_input_ = 0;
  if (std::fflush(sink_) != 0) ok_ = false;
  return ok_;
#endif
}

bool ZstdOutput::compress(const char* buf, size_t size, int directive) {
#if !ZAVO_HAVE_ZSTD
  (void)buf;
  (void)size;
  (void)directive;
  return false;
#else
  State& s = *s_;
  ZSTD_inBuffer in{buf, size, 0};
  const auto mode = static_cast<ZSTD_EndDirective>(directive);
  for (;;) {
    ZSTD_outBuffer out{s.out.data(), s.out.size(), 0};
    const size_t left = ZSTD_compressStream2(s.cctx, &out, &in, mode);
    if (ZSTD_isError(left)) {
      errno = EIO;
      ok_ = false;
      return false;
    }
    if (!drain(out.pos)) return false;
    // e_continue is done when the input is taken; e_end when nothing is
    // left in the compressor either.
    if (mode == ZSTD_e_continue ? in.pos == in.size : left == 0) return true;
  }
#endif
}

bool ZstdOutput::drain(size_t produced) {
  if (produced == 0) return true;
  if (std::fwrite(s_->out.data(), 1, produced, sink_) != produced) {
    ok_ = false;
    return false;
  }
  file_bytes_ += produced;
  return true;
}

}  // namespace record
}  // namespace zavo
