// feedtap's promiscuous capture: the input is one Ethernet frame as a packet
// socket returns it, preceded by 7 bytes that make the filter (enable, match
// address, match port, address, port). The payload the parser reports must
// lie within the captured bytes and agree with the filter; a UDP payload then
// goes through the payload walk as the capture loop does it.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "net_ctrl.h"
#include "output.h"

using namespace Qen;

// Only while fuzzing: the walk reports unhandled trailing bytes on standard
// output, millions of times over. The corpus replay keeps its output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7 || size > 70000) return 0;
  TFrameFilter filter;
  filter.enable = (data[0] & 1) != 0;
  filter.matchIp = filter.enable && (data[0] & 2) != 0;
  filter.matchPort = filter.enable && (data[0] & 4) != 0;
  std::memcpy(&filter.dstIpNet, data + 1, 4);
  filter.dstPort = (data[5] << 8) | data[6];
  // An exact-size copy, so any read past the frame is caught.
  const size_t len = size - 7;
  std::vector<unsigned char> frame(data + 7, data + size);
  const unsigned char* f = len ? frame.data() : nullptr;

  const TFrameInfo info = ParsePromiscFrame(f, len, filter);
  switch (info.kind) {
    case TFrameInfo::Udp:
    case TFrameInfo::Tcp:
      ZAVO_FUZZ_CHECK(info.payloadOffset <= len);
      ZAVO_FUZZ_CHECK(info.payloadLength <= len - info.payloadOffset);
      ZAVO_FUZZ_CHECK(info.payloadOffset >=
                      ETH_HDR_SIZE + (info.kind == TFrameInfo::Udp ? UDP_HDR_SIZE : size_t{20}));
      if (filter.matchIp) ZAVO_FUZZ_CHECK(info.dstIp == ntohl(filter.dstIpNet));
      if (filter.matchPort && info.kind == TFrameInfo::Udp) {
        ZAVO_FUZZ_CHECK(info.dstPort == filter.dstPort);
      }
      break;
    case TFrameInfo::Skip:
    case TFrameInfo::Other:
      ZAVO_FUZZ_CHECK(info.payloadOffset == 0 && info.payloadLength == 0);
      break;
  }
  if (info.kind == TFrameInfo::Udp) {
    FILE* out = std::fopen("/dev/null", "w");
    ZAVO_FUZZ_CHECK(out != nullptr);
    HarboStoL2FpgaRcv::handleMDMsg(out, f + info.payloadOffset,
                                   static_cast<int>(info.payloadLength));
    std::fclose(out);
  }
  return 0;
}
