#pragma once
// The security key (util/security_code.h) and the market texts of the C
// interface that pick an exchange.
#include "util/security_code.h"

namespace zavo {

// The exchange number of a market text: "SH" -> 1, "SZ" -> 2, in any case;
// anything else (null, empty, longer texts such as "SHSZ") -> 0.
inline unsigned char MarketOfText(const char* text) {
  if (text == nullptr || text[0] == '\0' || text[1] == '\0' || text[2] != '\0') return 0;
  if (text[0] != 'S' && text[0] != 's') return 0;
  if (text[1] == 'H' || text[1] == 'h') return 1;
  if (text[1] == 'Z' || text[1] == 'z') return 2;
  return 0;
}

}  // namespace zavo
