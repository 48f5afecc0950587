// Capture files on a build without libpcap (the Windows one): --pcap is
// refused with a reason; live sessions are unaffected.
#include "pcap_source.h"

namespace zavo_tail {

bool DecodePcap(const std::string& file, const Options&, bool, ZAVO_DataHandler,
                PcapResult* result) {
  result->error = file + ": capture files are not supported by this build (no libpcap)";
  return false;
}

}  // namespace zavo_tail
