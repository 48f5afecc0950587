#include "feedtap_config.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "ini_parser.h"
#include "net_ctrl.h"

namespace HarboStoL2FpgaRcv {

namespace {

// A decimal integer as std::stoi reads it: leading blanks and a sign are
// allowed and trailing text is ignored, but there must be a number.
bool required_int(const IniParser::Section& general, const char* key, int* out) {
  const char* text = general.GetValue(key);
  try {
    *out = std::stoi(text);
    return true;
  } catch (const std::exception&) {
    if (*text == '\0') {
      std::printf("Err:key %s missing in section [general]...\n", key);
    } else {
      std::printf("Err:key %s is not a number: %s\n", key, text);
    }
    return false;
  }
}

}  // namespace

bool LoadFeedtapConfig(const std::string& path, FeedtapConfig* cfg) {
  IniParser ini;
  if (!ini.Read(path)) {
    std::printf("read config.ini error.\n");
    return false;
  }
  const IniParser::Section* general = ini.FindSection("general");
  if (general == nullptr) {
    std::printf("Err:Cannot find section [general]...\n");
    return false;
  }
  cfg->mcAddr = general->GetValue("MCADDR");
  if (!required_int(*general, "MCPORT", &cfg->mcPort)) return false;
  if (cfg->mcPort < 0 || cfg->mcPort > 65535) {
    std::printf("Err:MCPORT out of range: %d\n", cfg->mcPort);
    return false;
  }
  cfg->localIp = general->GetValue("LOCALIP");
  if (!required_int(*general, "CSVOUT", &cfg->csvOut)) return false;
  cfg->maxRecvBuffSize = std::strtol(general->GetValue("max_recv_buff_size"), nullptr, 10);
  if (cfg->maxRecvBuffSize < 0) cfg->maxRecvBuffSize = 0;
  if (cfg->maxRecvBuffSize > kMaxDatagram) cfg->maxRecvBuffSize = kMaxDatagram;
  if (!required_int(*general, "PROMISC", &cfg->promisc)) return false;
  cfg->mcSrcIp = general->GetValue("MCSRCIP");
  cfg->recordNewline = std::strtol(general->GetValue("CSVNEWLINE"), nullptr, 10) != 0;
  // The promiscuous filter compares addresses numerically: text that is not
  // an address would silently filter out everything.
  uint32_t ip = 0;
  if (cfg->promisc != 0 && !cfg->mcAddr.empty() && !Qen::ParseIpv4(cfg->mcAddr, &ip)) {
    std::printf("Err:MCADDR is not an IPv4 address: %s\n", cfg->mcAddr.c_str());
    return false;
  }
  return true;
}

}  // namespace HarboStoL2FpgaRcv
