// Settings of one feedtap run, read from the [general] section.
#pragma once

#include <string>

namespace HarboStoL2FpgaRcv {

struct FeedtapConfig {
  std::string mcAddr;          // MCADDR: group, or the destination filtered on
  int mcPort = 0;              // MCPORT
  std::string localIp;         // LOCALIP
  int csvOut = 0;              // CSVOUT: non-zero writes under ./data/
  long maxRecvBuffSize = 0;    // max_recv_buff_size (multicast mode)
  int promisc = 0;             // PROMISC
  std::string mcSrcIp;         // MCSRCIP (optional): source-specific membership
  bool recordNewline = false;  // CSVNEWLINE (optional): one record per line
};

// Exit status of a configuration that cannot be used.
constexpr int kConfigErrorStatus = 1;

// Reads and checks the configuration file. On failure prints why on
// standard output and returns false.
bool LoadFeedtapConfig(const std::string& path, FeedtapConfig* cfg);

// The largest datagram a socket can deliver; larger read sizes only waste memory.
constexpr long kMaxDatagram = 65536;

}  // namespace HarboStoL2FpgaRcv
