// The C interface of libzavo_capture: a handle is one CaptureDecoder. No
// exception leaves these functions.
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "capture_decoder.h"
#include "zavo_capture.h"

struct ZAVO_CaptureFile {
  std::unique_ptr<zavo::capture::CaptureDecoder> decoder;
};

namespace {

void set_reason(char* reason, size_t size, const std::string& text) {
  if (reason == nullptr || size == 0) return;
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(reason, text.data(), n);
  reason[n] = '\0';
}

}  // namespace

extern "C" {

ZAVO_API ZAVO_CAPTURE ZAVO_CaptureOpen(const char* path, const ZAVO_CaptureSetting* setting,
                                       char* reason, size_t reason_size) {
  set_reason(reason, reason_size, "");
  if (path == nullptr || setting == nullptr) {
    set_reason(reason, reason_size, "no file or no settings");
    return nullptr;
  }
  try {
    auto* c = new ZAVO_CaptureFile();
    std::string why;
    c->decoder = zavo::capture::CaptureDecoder::Open(path, *setting, c, &why);
    if (c->decoder == nullptr) {
      delete c;
      set_reason(reason, reason_size, why);
      return nullptr;
    }
    return c;
  } catch (const std::exception& e) {
    set_reason(reason, reason_size, std::string(path) + ": " + e.what());
    return nullptr;
  }
}

ZAVO_API int ZAVO_CaptureRead(ZAVO_CAPTURE capture, uint64_t max_records) {
  if (capture == nullptr) return ZAVO_ERR_INVALID;
  try {
    return capture->decoder->Read(max_records) ? 1 : 0;
  } catch (const std::exception&) {
    return ZAVO_ERR_INVALID;  // out of memory for the bookkeeping
  }
}

ZAVO_API ZAVO_ERROR ZAVO_CaptureGetSummary(ZAVO_CAPTURE capture, ZAVO_CaptureSummary* out) {
  if (capture == nullptr || out == nullptr) return ZAVO_ERR_INVALID;
  capture->decoder->Summary(out);
  return ZAVO_SUCCESS;
}

ZAVO_API void ZAVO_CaptureClose(ZAVO_CAPTURE capture) {
  delete capture;
}

}  // extern "C"
