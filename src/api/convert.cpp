#include "api/convert.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "api/record_decode.h"

namespace zavo {

namespace {

template <unsigned int N>
inline void copy_code(const String<N>& in, char (&out)[16]) {
  in.CopyTo(out, sizeof(out));
}

template <unsigned int N>
inline void copy_text(const String<N>& in, char (&out)[32]) {
  in.CopyTo(out, sizeof(out));
}

// The four characters of a phase text, never reading past its terminator.
struct phase_chars {
  char c[4] = {0, 0, 0, 0};
  explicit phase_chars(const char* s) {
    if (s == nullptr) return;
    for (int i = 0; i < 4 && s[i] != '\0'; ++i) c[i] = s[i];
  }
};

// Code-info members shared by the security and option tables.
template <class F>
void fill_code_info(const F& in, ZAVO_CODEINFO* out) {
  copy_code(in.Code, out->Code);
  out->ExchangeID = ExchangeChar(in.ExchangeID);
  FillKvelCode(out->KvelCode, out->Code, in.ExchangeID);
  copy_text(in.Text, out->Text);
  out->Value = static_cast<uint32_t>(in.Value.get());
}

}  // namespace

void ConvertField(const SecurityBaseInfoField* in, ZAVO_CODEINFO* out) {
  std::memset(out, 0, sizeof(*out));
  fill_code_info(*in, out);
}

void ConvertField(const OptionBaseInfoField* in, ZAVO_OPTION_CODEINFO* out) {
  std::memset(out, 0, sizeof(*out));
  // The option record starts with the code-info members, laid out alike.
  ZAVO_CODEINFO head;
  std::memset(&head, 0, sizeof(head));
  fill_code_info(*in, &head);
  std::memcpy(out->Code, head.Code, sizeof(out->Code));
  out->ExchangeID = head.ExchangeID;
  std::memcpy(out->KvelCode, head.KvelCode, sizeof(out->KvelCode));
  std::memcpy(out->Text, head.Text, sizeof(out->Text));
  out->Value = head.Value;
  copy_text(in->Text2, out->Text2);
  copy_text(in->Text3, out->Text3);
  out->Flag1 = static_cast<uint8_t>(in->Flag1.get());
  out->Value2 = static_cast<uint32_t>(in->Value2.get());
  out->Flag2 = static_cast<uint8_t>(in->Flag2.get());
  out->Flag3 = static_cast<uint8_t>(in->Flag3.get());
  out->Flag4 = static_cast<uint8_t>(in->Flag4.get());
  out->Value3 = static_cast<uint32_t>(in->Value3.get());
  out->Value4 = in->Value4;
  out->Value5 = static_cast<uint32_t>(in->Value5.get());
  out->Value6 = static_cast<uint32_t>(in->Value6.get());
  out->Value7 = static_cast<uint32_t>(in->Value7.get());
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_SecuritySnapShot* out) {
  if (data == nullptr || len < SecuritySnapShotField::Size()) return false;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  DecodeRecord(data, out, now);
  return true;
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_SecuritySnapShot* out,
                const timespec& now) {
  if (data == nullptr || len < SecuritySnapShotField::Size()) return false;
  DecodeRecord(data, out, now);
  return true;
}

namespace {

template <class Field, class R>
bool decode_checked(const char* data, unsigned int len, R* out) {
  if (data == nullptr || len < Field::Size()) return false;
  DecodeRecord(data, out);
  return true;
}

}  // namespace

bool DecodeInto(const char* data, unsigned int len, ZAVO_IndexSnapShot* out) {
  return decode_checked<IndexSnapShotField>(data, len, out);
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_FutureSnapShot* out) {
  return decode_checked<FutureSnapShotField>(data, len, out);
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_TradeDetail* out) {
  return decode_checked<TradeDetailField>(data, len, out);
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_OrderDetail* out) {
  return decode_checked<OrderDetailField>(data, len, out);
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_OrderQueue* out) {
  return decode_checked<OrderQueueField>(data, len, out);
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_SHOrderDetail* out) {
  return decode_checked<SH_OrderDetailField>(data, len, out);
}

void FillKvelCode(char (&out)[32], const char* code, const CExchangeIDType& exchange) {
  size_t n = 0;
  if (code != nullptr) {
    const void* z = std::memchr(code, 0, 15);
    n = z ? static_cast<size_t>(static_cast<const char*>(z) - code) : 15;
    std::memmove(out, code, n);
  }
  out[n++] = '.';
  if (exchange == 1 || exchange == 2) {
    out[n++] = 'S';
    out[n++] = exchange == 1 ? 'H' : 'Z';
  }
  out[n] = '\0';
}

char SseMarketStatus(const char* phase) {
  const phase_chars p(phase);
  if (p.c[0] == 'P') return 'B';
  char base = 0;
  switch (p.c[0]) {
    case 'B':
    case 'D':
      base = 'P';
      break;
    case 'C':
      base = 'I';
      break;
    case 'E':
    case 'N':
      base = 'V';
      break;
    case 'M':
      base = 'W';
      break;
    case 'S':
      base = 'E';
      break;
    case 'T':
      base = 'O';
      break;
    case 'U':
      base = 'J';
      break;
    default:
      break;
  }
  if (p.c[1] == '0') return 'B';
  if (p.c[3] == '0') return 'W';
  return base;
}

char SseOptionStatus(const char* phase) {
  const phase_chars p(phase);
  if (p.c[1] == '1') return 'B';
  if (p.c[3] == '0') return 'W';
  switch (p.c[0]) {
    case 'B':
      return 'P';
    case 'C':
      return 'I';
    case 'E':
    case 'N':
      return 'V';
    case 'M':
      return 'W';
    case 'P':
      return 'B';
    case 'S':
      return 'E';
    case 'T':
      return 'O';
    case 'U':
      return 'J';
    case 'V':
      return 'Q';
    default:
      return 0;
  }
}

}  // namespace zavo
