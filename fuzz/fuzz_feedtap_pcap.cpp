// feedtap's capture-file reader: the input is a pcap or pcapng file, read
// through a stream on memory. Every datagram it hands on is decoded as a
// live one; every packet is either matched or skipped, and a file that
// cannot be read or is damaged says why.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "output.h"
#include "pcap_input.h"
#include "tool_messages.h"

namespace {

FILE* g_sink = nullptr;
unsigned long long g_bytes = 0;

void on_datagram(const unsigned char* data, size_t len) {
  ZAVO_FUZZ_CHECK(len <= 65536);
  g_bytes += len;
  HarboStoL2FpgaRcv::handleMDMsg(g_sink, data, static_cast<int>(len));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > (1 << 20)) return 0;  // fmemopen wants a non-empty buffer
  if (g_sink == nullptr) g_sink = std::fopen("/dev/null", "w");
  // The walk's warnings about stray bytes would flood the output.
  static FILE* quiet = std::fopen("/dev/null", "w");
  feedtap::MessageStream() = quiet;
  std::vector<char> bytes(data, data + size);
  FILE* fp = fmemopen(bytes.data(), bytes.size(), "rb");
  ZAVO_FUZZ_CHECK(fp != nullptr);
  // The size picks a filter, so both the open and the filtered paths run.
  Qen::TIpFilterInfo filter;
  if (size & 1) {
    filter.enable = true;
    filter.dstIp = "239.1.1.1";
    filter.dstPort = 3000;
  }
  Qen::TPcapSummary sum;
  std::string error;
  g_bytes = 0;
  const Qen::PcapReadResult result = Qen::ReadPcapStream(fp, filter, on_datagram, &sum, &error);
  ZAVO_FUZZ_CHECK(sum.matched + sum.skipped == sum.packets);
  ZAVO_FUZZ_CHECK(result == Qen::PcapReadResult::End || !error.empty());
  // What is handed on comes out of the input: never more than its bytes.
  ZAVO_FUZZ_CHECK(g_bytes <= size);
  return 0;
}
