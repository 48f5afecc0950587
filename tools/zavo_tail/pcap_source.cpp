#include "pcap_source.h"

#include "zavo_capture.h"

namespace zavo_tail {

bool DecodePcap(const std::string& file, const Options& opt, bool filter_group,
                ZAVO_DataHandler handler, PcapResult* result) {
  *result = PcapResult();
  ZAVO_CaptureSetting s{};
  s.RawMode = opt.raw ? 1 : 0;
  s.ConnectID = opt.connect_id;
  s.SubscribedMarkets = opt.markets.c_str();
  s.SubscribedCodes = opt.codes.c_str();
  s.SubscribeFlags = opt.flags;
  s.DataHandler = handler;
  if (filter_group) {
    s.GroupIP = opt.group.ip.c_str();
    s.GroupPort = opt.group.port;
  }
  char reason[512];
  ZAVO_CAPTURE c = ZAVO_CaptureOpen(file.c_str(), &s, reason, sizeof reason);
  if (c == nullptr) {
    result->complete = false;
    result->error = reason;
    return false;
  }
  while (ZAVO_CaptureRead(c, 0) > 0) {
  }
  ZAVO_CaptureSummary sum;
  ZAVO_CaptureGetSummary(c, &sum);
  ZAVO_CaptureClose(c);
  result->packets = sum.Packets;
  result->datagrams = sum.Datagrams;
  result->passed = sum.Passed;
  if (sum.Damaged != 0) {
    result->complete = false;
    result->error = sum.Error;
  }
  return true;
}

}  // namespace zavo_tail
