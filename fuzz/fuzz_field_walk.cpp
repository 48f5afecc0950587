// The field walk with every record's decode: the input is a packet body.
// Each field is decoded as every record type (as a confused peer might
// label it), with the remaining body bytes as the limit, and dumped.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_records.h"
#include "proto/struct_packet.h"

using namespace zavo;
using namespace zavo::fuzz;

namespace {

struct decode_all {
  const StructPacket::Iterator* it;
  template <class R>
  void operator()() const {
    R r;
    const bool ok = it->Decode(r);
    // Decoding succeeds exactly when the members fit in what remains.
    R probe;
    char scratch[1024];
    const bool fits = probe.Encode(scratch, it->Remaining() < sizeof scratch
                                                ? it->Remaining()
                                                : static_cast<unsigned>(sizeof scratch));
    ZAVO_FUZZ_CHECK(ok == fits);
    if (ok) dump_if_any(r);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 70000) return 0;
  // A copy of exactly the input size, so reads past it are caught.
  char* body = new char[size ? size : 1];
  if (size) std::memcpy(body, data, size);
  unsigned walked = 0;
  for (StructPacket::Iterator it(body, static_cast<unsigned int>(size)); it.Valid(); it.Next()) {
    for_each_record(decode_all{&it}, AllRecords{});
    ZAVO_FUZZ_CHECK(++walked <= size / StructPacket::kFieldHeaderSize);
  }
  delete[] body;
  return 0;
}
