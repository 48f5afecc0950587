#include "feedtap_config.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ini_parser.h"
#include "net_ctrl.h"

namespace HarboStoL2FpgaRcv {

namespace {

bool is_blank(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

enum class IntKey { Ok, Missing, NotANumber, OutOfRange };

IntKey read_int(const IniParser::Section& general, const char* key, long lo, long hi, long* out) {
  const char* p = general.GetValue(key);
  while (is_blank(*p)) ++p;
  if (*p == '\0') return IntKey::Missing;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(p, &end, 10);
  if (end == p) return IntKey::NotANumber;
  while (is_blank(*end)) ++end;
  // "3000x" is a typo, not port 3000: reading the number in front of it
  // would capture something other than what the operator meant.
  if (*end != '\0') return IntKey::NotANumber;
  if (errno == ERANGE || v < lo || v > hi) return IntKey::OutOfRange;
  *out = v;
  return IntKey::Ok;
}

// A key the tool cannot start without.
bool required_int(const IniParser::Section& general, const char* key, long lo, long hi, int* out) {
  long v = 0;
  switch (read_int(general, key, lo, hi, &v)) {
    case IntKey::Ok:
      *out = static_cast<int>(v);
      return true;
    case IntKey::Missing:
      std::fprintf(stderr, "Err:key %s missing in section [general]...\n", key);
      return false;
    case IntKey::NotANumber:
      std::fprintf(stderr, "Err:key %s is not a number: %s\n", key, general.GetValue(key));
      return false;
    case IntKey::OutOfRange:
      std::fprintf(stderr, "Err:%s out of range: %s (%ld to %ld)\n", key, general.GetValue(key), lo,
                   hi);
      return false;
  }
  return false;
}

// A key with a default: absent is fine, anything present must be a number.
bool optional_int(const IniParser::Section& general, const char* key, long lo, long hi, long* out,
                  bool* defaulted) {
  *defaulted = false;
  switch (read_int(general, key, lo, hi, out)) {
    case IntKey::Ok:
      return true;
    case IntKey::Missing:
      *defaulted = true;
      return true;
    case IntKey::NotANumber:
      std::fprintf(stderr, "Err:key %s is not a number: %s\n", key, general.GetValue(key));
      return false;
    case IntKey::OutOfRange:
      std::fprintf(stderr, "Err:%s out of range: %s (%ld to %ld)\n", key, general.GetValue(key), lo,
                   hi);
      return false;
  }
  return false;
}

}  // namespace

bool LoadFeedtapConfig(const std::string& path, FeedtapConfig* cfg) {
  FILE* fp = std::fopen(path.c_str(), "r");
  if (fp == nullptr) {
    const int err = errno;
    std::fprintf(stderr, "read config.ini error. Cannot open %s: %s\n", path.c_str(),
                 std::strerror(err));
    return false;
  }
  IniParser ini;
  const bool parsed = ini.ReadStream(fp);
  std::fclose(fp);
  if (!parsed) {
    std::fprintf(stderr, "read config.ini error. %s: a key line comes before the first [section]\n",
                 path.c_str());
    return false;
  }
  const IniParser::Section* general = ini.FindSection("general");
  if (general == nullptr) {
    std::fprintf(stderr, "Err:Cannot find section [general]... in %s%s\n", path.c_str(),
                 ini.Empty() ? " (it holds no section)" : "");
    return false;
  }
  cfg->mcAddr = general->GetValue("MCADDR");
  if (!required_int(*general, "MCPORT", 0, 65535, &cfg->mcPort)) return false;
  cfg->localIp = general->GetValue("LOCALIP");
  if (!required_int(*general, "CSVOUT", INT_MIN, INT_MAX, &cfg->csvOut)) return false;
  long maxLen = 0;
  bool defaulted = false;
  if (!optional_int(*general, "max_recv_buff_size", 0, LONG_MAX, &maxLen, &defaulted)) {
    return false;
  }
  // 0 used to mean reads of 0 bytes, which consume every datagram and keep
  // nothing: it now means the largest datagram, like a missing key.
  cfg->maxRecvBuffSizeDefaulted = defaulted || maxLen == 0;
  cfg->maxRecvBuffSize = cfg->maxRecvBuffSizeDefaulted ? kMaxDatagram : maxLen;
  if (cfg->maxRecvBuffSize > kMaxDatagram) cfg->maxRecvBuffSize = kMaxDatagram;
  if (!required_int(*general, "PROMISC", INT_MIN, INT_MAX, &cfg->promisc)) return false;
  cfg->mcSrcIp = general->GetValue("MCSRCIP");
  long newline = 0;
  if (!optional_int(*general, "CSVNEWLINE", INT_MIN, INT_MAX, &newline, &defaulted)) return false;
  cfg->recordNewline = newline != 0;
  // The destination filter compares addresses numerically: text that is not
  // an address would silently filter out everything.
  uint32_t ip = 0;
  if (!cfg->mcAddr.empty() && !Qen::ParseIpv4(cfg->mcAddr, &ip)) {
    std::fprintf(stderr, "Err:MCADDR is not an IPv4 address: %s\n", cfg->mcAddr.c_str());
    return false;
  }
  return true;
}

}  // namespace HarboStoL2FpgaRcv
