// feedtap's walk of one captured payload: the input is the UDP payload the
// gateway sent (messages of a 12-byte header and a body), written as CSV to a
// memory stream. Bodies too short for their record, lengths past the end and
// doubles out of the int range must all be handled without reading past the
// payload or converting out of range.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "output.h"

using namespace HarboStoL2FpgaRcv;

namespace {

// Records the walk may write: whole messages that carry at least a header,
// a field header and the smallest record.
size_t most_records(size_t size) {
  size_t smallest = sizeof(CSSEIndexMDField);
  for (size_t s : {sizeof(CSSESnapMDField), sizeof(CSSEOptionMDField), sizeof(CSSETradeMDField),
                   sizeof(CSSEOrderMDField)}) {
    if (s < smallest) smallest = s;
  }
  return size / (kRecordOffset + smallest);
}

}  // namespace

// Only while fuzzing: the walk reports unhandled trailing bytes on standard
// output, millions of times over. The corpus replay keeps its output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 70000) return 0;
  char* text = nullptr;
  size_t text_len = 0;
  FILE* out = open_memstream(&text, &text_len);
  ZAVO_FUZZ_CHECK(out != nullptr);
  g_recordNewline = (size % 2) == 1;
  const int bufSize = static_cast<int>(size);
  const int written = handleMDMsg(out, data, bufSize);
  std::fclose(out);
  ZAVO_FUZZ_CHECK(written >= 0 && static_cast<size_t>(written) <= most_records(size));
  ZAVO_FUZZ_CHECK((written == 0) == (text_len == 0));
  if (written > 0) {
    // Every record starts with its two-letter kind.
    static const char* const kKinds[] = {"IX,", "SP,", "OP,", "TD,", "OD,"};
    bool known = false;
    for (const char* k : kKinds) known = known || std::strncmp(text, k, 3) == 0;
    ZAVO_FUZZ_CHECK(known);
  }
  std::free(text);
  // A negative size is nothing to walk.
  const int negative = -static_cast<int>(size) - 1;
  ZAVO_FUZZ_CHECK(handleMDMsg(stdout, data, negative) == 0);
  return 0;
}
