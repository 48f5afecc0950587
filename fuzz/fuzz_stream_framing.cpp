// Stream framing of struct packets: the input is a TCP byte stream delivered
// in pieces whose sizes come from the first bytes. Bytes are framed the way
// the transport does it (call again while bytes are consumed, keep the rest
// for the next read) and every complete packet's fields are walked.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_records.h"
#include "proto/struct_packet.h"

using namespace zavo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // Piece sizes 1..256 cycle through the first two bytes.
  const unsigned step_a = 1u + data[0];
  const unsigned step_b = 1u + data[1];
  const char* stream = reinterpret_cast<const char*>(data + 2);
  const size_t total = size - 2;

  StructPacket packet(64);  // small, so growth is exercised
  std::string pending;
  size_t fed = 0;
  size_t packets = 0;
  for (unsigned round = 0; fed < total && round < 100000; ++round) {
    const size_t piece = (round % 2) ? step_b : step_a;
    const size_t n = piece < total - fed ? piece : total - fed;
    pending.append(stream + fed, n);
    fed += n;
    for (int guard = 0; guard < 100000 && !pending.empty(); ++guard) {
      const StructPacket::ParseResult r = packet.ParseFrom(pending.data(), pending.size());
      ZAVO_FUZZ_CHECK(r.consumed <= pending.size());
      if (r.complete) {
        ++packets;
        ZAVO_FUZZ_CHECK(packet.BodySize() == packet.BodyLength);
        ZAVO_FUZZ_CHECK(packet.Buffer().capacity() >= packet.BodyLength);
        ZAVO_FUZZ_CHECK(r.consumed >= StructPacket::kHeaderSize + packet.BodyLength);
        unsigned fields = 0;
        for (StructPacket::Iterator it(packet); it.Valid(); it.Next()) {
          ZAVO_FUZZ_CHECK(it.Data() >= packet.Body());
          ZAVO_FUZZ_CHECK(it.Data() + it.Remaining() == packet.Body() + packet.BodySize());
          ZAVO_FUZZ_CHECK(++fields <= packet.BodySize() / StructPacket::kFieldHeaderSize);
        }
      } else if (r.needed > 0) {
        // Waiting for more: the wish always exceeds what is there.
        ZAVO_FUZZ_CHECK(r.needed > pending.size() - r.consumed);
      }
      pending.erase(0, r.consumed);
      if (r.consumed == 0) break;
    }
  }
  // What is left can never hold a complete packet.
  StructPacket probe(16);
  const StructPacket::ParseResult last = probe.ParseFrom(pending.data(), pending.size());
  ZAVO_FUZZ_CHECK(!last.complete);
  (void)packets;
  return 0;
}
