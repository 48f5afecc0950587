#include "api/convert.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

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

}  // namespace zavo
