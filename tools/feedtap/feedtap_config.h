// Settings of one feedtap run, read from the [general] section.
#pragma once

#include <string>

#include "exit_status.h"

namespace HarboStoL2FpgaRcv {

// The largest datagram a socket can deliver; larger read sizes only waste memory.
constexpr long kMaxDatagram = 65536;

struct FeedtapConfig {
  std::string mcAddr;                    // MCADDR: group, or the destination filtered on
  int mcPort = 0;                        // MCPORT
  std::string localIp;                   // LOCALIP
  int csvOut = 0;                        // CSVOUT: non-zero writes under ./data/
  long maxRecvBuffSize = kMaxDatagram;   // max_recv_buff_size (multicast mode)
  bool maxRecvBuffSizeDefaulted = true;  // missing or 0 in the file
  int promisc = 0;                       // PROMISC
  std::string mcSrcIp;                   // MCSRCIP (optional): source-specific membership
  bool recordNewline = false;            // CSVNEWLINE (optional): one record per line
};

// Exit statuses (the table every program follows, exit_status.h): a
// configuration or capture file that cannot be used is an input error, a
// capture that cannot be set up or read to its end a failure.
constexpr int kConfigErrorStatus = zavo::kExitUsage;
constexpr int kCaptureErrorStatus = zavo::kExitFailure;

// Reads and checks the configuration file. On failure prints why (naming the
// file or the key) on standard error and returns false.
bool LoadFeedtapConfig(const std::string& path, FeedtapConfig* cfg);

}  // namespace HarboStoL2FpgaRcv
