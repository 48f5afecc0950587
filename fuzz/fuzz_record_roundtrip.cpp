// Record round trips: the first byte picks a record type, the rest are its
// wire bytes. A decoded record must encode back to the same member bytes,
// travel through a packet unchanged, and fail cleanly on every shorter
// input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_records.h"
#include "proto/struct_packet.h"

using namespace zavo;
using namespace zavo::fuzz;

namespace {

struct round_trip {
  const char* data;
  unsigned int len;
  template <class R>
  void operator()() const {
    R r;
    if (!r.Decode(data, len)) {
      ZAVO_FUZZ_CHECK(len < R::Size());
      return;
    }
    std::vector<char> out(R::Size(), 0);
    ZAVO_FUZZ_CHECK(r.Encode(out.data(), R::Size()));
    // The members are the first bytes of the record (the login reply
    // declares 4 bytes more than its members take).
    const unsigned int members =
        std::is_same<R, RspUserLoginField>::value ? R::Size() - 4 : R::Size();
    ZAVO_FUZZ_CHECK(!r.Encode(out.data(), members - 1));
    ZAVO_FUZZ_CHECK(r.Encode(out.data(), members));
    ZAVO_FUZZ_CHECK(std::memcmp(out.data(), data, members) == 0);
    // Shorter inputs fail without reading past them.
    for (unsigned int cut : {0u, members / 2, members - 1}) {
      std::vector<char> part(data, data + cut);
      R partial;
      ZAVO_FUZZ_CHECK(!partial.Decode(part.empty() ? nullptr : part.data(), cut));
    }
    if constexpr (has_field_id<R>(0)) {
      StructPacket p(8);
      p.ResetForSend();
      ZAVO_FUZZ_CHECK(p.AddField(r));
      p.PacketTime = 1;
      ZAVO_FUZZ_CHECK(p.Serialize());
      StructPacket rx(8);
      const Slice bytes = p.Bytes();
      const StructPacket::ParseResult pr = rx.ParseFrom(bytes.data, bytes.size);
      ZAVO_FUZZ_CHECK(pr.complete && pr.consumed == bytes.size);
      StructPacket::Iterator it(rx);
      ZAVO_FUZZ_CHECK(it.Valid() && it.FieldId == R::kFieldId && it.FieldLength == R::Size());
      R back;
      ZAVO_FUZZ_CHECK(it.Decode(back));
      std::vector<char> again(R::Size(), 0);
      ZAVO_FUZZ_CHECK(back.Encode(again.data(), R::Size()));
      ZAVO_FUZZ_CHECK(again == out);
      ZAVO_FUZZ_CHECK(!it.Next());
    }
    dump_if_any(r);
  }

  template <class R>
  static constexpr bool has_field_id(decltype(R::kFieldId)) {
    return true;
  }
  template <class R>
  static constexpr bool has_field_id(...) {
    return false;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  const unsigned index = data[0] % kRecordCount;
  std::vector<char> rec(reinterpret_cast<const char*>(data + 1),
                        reinterpret_cast<const char*>(data + size));
  with_record(index,
              round_trip{rec.empty() ? nullptr : rec.data(), static_cast<unsigned int>(rec.size())},
              AllRecords{});
  return 0;
}
