// Raw fragment reassembly from a sequence of datagrams. The first input byte
// picks the enabled markets; the rest is a list of datagrams, each a 2-byte
// big-endian length and its bytes, handed to the raw session one by one as
// the multicast read thread does. Every delivered message is read whole and
// must belong to the packet that completed it: same exchange, sequence and
// send time, ending with that packet's payload (being exactly it when the
// packet was a first fragment). Afterwards a clean three-fragment message
// must still come through once, whatever came before.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "api/udp_raw_api_imp.h"
#include "fuzz_check.h"
#include "proto/field_codec.h"
#include "proto/raw_packet.h"
#include "support/session_peer.h"

using namespace zavo;

namespace {

struct Delivered {
  char exchange = 0;
  uint64_t seq = 0;
  uint32_t time = 0;
  std::string bytes;
};

struct State {
  const void* handle = nullptr;
  std::vector<Delivered> got;
};
State g_state;

void on_data(void* handle, const ZAVO_MSG* msg) {
  ZAVO_FUZZ_CHECK(handle == g_state.handle);
  ZAVO_FUZZ_CHECK(msg->MsgType == ZAVO_MSG_RAW_DATA && msg->MsgSize == sizeof(ZAVO_RawDataRef));
  ZAVO_RawDataRef ref;
  std::memcpy(&ref, msg->MsgData, sizeof ref);
  ZAVO_FUZZ_CHECK(ref.ExchangeID == '1' || ref.ExchangeID == '2');
  ZAVO_FUZZ_CHECK(ref.Length == 0 || ref.Data != nullptr);
  Delivered d;
  d.exchange = ref.ExchangeID;
  d.seq = msg->SeqNum;
  d.time = msg->MsgTime;
  // Every byte is read, so a length past the buffer is caught.
  d.bytes.assign(static_cast<const char*>(ref.Data), ref.Length);
  g_state.got.push_back(std::move(d));
}

class RawProbe : public UdpRawApiImp {
 public:
  RawProbe() { data_handler_ = &on_data; }
};

std::string raw_packet(uint8_t exchange, uint64_t seq, uint16_t frag, uint8_t more,
                       const std::string& payload) {
  RawDataPacket p;
  p.SendTime = 93000123;
  p.ExchangeID = static_cast<CExchangeIDType>(exchange);
  p.Sequence = seq;
  p.FragmentNo = frag;
  p.MoreFragments = more;
  ZAVO_FUZZ_CHECK(p.Build(payload.data(), payload.size()));
  const Slice s = p.Bytes();
  return std::string(s.data, s.size);
}

// Hands one datagram over and checks what it delivered.
void feed(RawProbe* api, const char* dgram, size_t len, bool sh, bool sz, uint64_t* max_seq) {
  // An exact-size copy, so reads past the datagram are caught.
  std::vector<char> copy(dgram, dgram + len);
  const char* d = len ? copy.data() : nullptr;
  const size_t before = g_state.got.size();
  const size_t consumed = SessionPeer::ConsumeDatagram(api, d, len);
  ZAVO_FUZZ_CHECK(consumed <= len);

  // The packet the session looked at: the first sync value, if whole.
  size_t p = 0;
  while (p + 1 < len && LoadBigEndian<unsigned short>(d + p) != RawDataPacket::kMagic) ++p;
  RawDataPacket hdr;
  const bool whole = p + 1 < len && hdr.DecodeHeader(d + p, len - p) &&
                     len - p >= RawDataPacket::kHeaderSize + hdr.PayloadLength;
  if (!whole) {
    ZAVO_FUZZ_CHECK(g_state.got.size() == before);
    return;
  }
  ZAVO_FUZZ_CHECK(consumed == p + RawDataPacket::kHeaderSize + hdr.PayloadLength);
  const unsigned char ex = static_cast<unsigned char>(hdr.ExchangeID);
  if ((ex == 1 && sh) || (ex == 2 && sz)) {
    if (hdr.Sequence > *max_seq) *max_seq = hdr.Sequence;
  }
  if (g_state.got.size() == before) return;
  ZAVO_FUZZ_CHECK(g_state.got.size() == before + 1);
  const Delivered& m = g_state.got.back();
  ZAVO_FUZZ_CHECK(hdr.MoreFragments == 0);
  ZAVO_FUZZ_CHECK((ex == 1 && sh && m.exchange == '1') || (ex == 2 && sz && m.exchange == '2'));
  ZAVO_FUZZ_CHECK(m.seq == hdr.Sequence && m.time == hdr.SendTime);
  const std::string payload(d + p + RawDataPacket::kHeaderSize, hdr.PayloadLength);
  ZAVO_FUZZ_CHECK(m.bytes.size() >= payload.size());
  ZAVO_FUZZ_CHECK(m.bytes.compare(m.bytes.size() - payload.size(), payload.size(), payload) == 0);
  if (hdr.FragmentNo == 0) ZAVO_FUZZ_CHECK(m.bytes == payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 200000) return 0;
  static const char* const kMarkets[] = {"SH", "SZ", "sh;sz", "SH;SZ;SH"};
  const unsigned pick = data[0] % 4;
  const bool sh = pick != 1;
  const bool sz = pick != 0;

  g_state = State();
  RawProbe* api = new RawProbe();
  g_state.handle = static_cast<ApiImp*>(api);
  ZAVO_FUZZ_CHECK(SessionPeer::EnableMarkets(api, kMarkets[pick]));

  uint64_t max_seq = 0;
  size_t off = 1;
  for (unsigned n = 0; off + 2 <= size && n < 10000; ++n) {
    const size_t want = (static_cast<size_t>(data[off]) << 8) | data[off + 1];
    off += 2;
    const size_t len = want < size - off ? want : size - off;
    feed(api, reinterpret_cast<const char*>(data + off), len, sh, sz, &max_seq);
    off += len;
  }

  // A clean message after whatever came before: delivered once, whole; its
  // repeated fragments are not delivered again.
  if (max_seq < UINT64_MAX) {
    const uint8_t ex = sh ? 1 : 2;
    const uint64_t seq = max_seq + 1;
    const std::string parts[3] = {std::string(300, 'a'), std::string(1, 'b'), "end"};
    const size_t before = g_state.got.size();
    for (int round = 0; round < 2; ++round) {
      for (uint16_t f = 0; f < 3; ++f) {
        const std::string pk = raw_packet(ex, seq, f, f < 2 ? 1 : 0, parts[f]);
        feed(api, pk.data(), pk.size(), sh, sz, &max_seq);
      }
    }
    ZAVO_FUZZ_CHECK(g_state.got.size() == before + 1);
    ZAVO_FUZZ_CHECK(g_state.got.back().bytes == parts[0] + parts[1] + parts[2]);
    ZAVO_FUZZ_CHECK(g_state.got.back().seq == seq);
  }

  api->Close();
  api->Join();
  api->Release();
  return 0;
}
