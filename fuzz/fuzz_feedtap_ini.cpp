// feedtap's INI parser: the input is a configuration file, read through a
// stream on memory. Every section header and key the input names is looked
// up afterwards; what comes back must be a value as the parser promises it
// (one line, no comment, no surrounding blanks).
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "ini_parser.h"

namespace {

bool blank(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

void check_value(const char* v) {
  ZAVO_FUZZ_CHECK(v != nullptr);
  const size_t n = std::strlen(v);
  if (n == 0) return;
  ZAVO_FUZZ_CHECK(std::strpbrk(v, "\r\n#") == nullptr);
  ZAVO_FUZZ_CHECK(!blank(v[0]) && !blank(v[n - 1]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 65536) return 0;  // fmemopen wants a non-empty buffer
  std::vector<char> text(data, data + size);
  FILE* fp = fmemopen(text.data(), text.size(), "r");
  ZAVO_FUZZ_CHECK(fp != nullptr);
  IniParser ini;
  const bool ok = ini.ReadStream(fp);
  std::fclose(fp);
  (void)ok;

  // Every name the input mentions: section headers and the text before each
  // '='. Lines end at '\n' as fgets cuts them, and a NUL ends what is read.
  std::vector<std::string> sections;
  std::vector<std::string> keys;
  size_t start = 0;
  for (unsigned guard = 0; start < size && guard < 70000; ++guard) {
    size_t end = start;
    while (end < size && data[end] != '\n') ++end;
    std::string line(reinterpret_cast<const char*>(data + start), end - start);
    line = line.substr(0, std::strlen(line.c_str()));
    const std::string t = trim(line);
    if (!t.empty() && t[0] == '[') {
      const size_t close = t.find(']');
      if (close != std::string::npos && close > 1) sections.push_back(t.substr(1, close - 1));
    }
    const size_t eq = t.find('=');
    if (eq != std::string::npos) keys.push_back(trim(t.substr(0, eq)));
    start = end + 1;
  }
  for (const std::string& name : sections) {
    const IniParser::Section* s = ini.FindSection(name);
    if (s == nullptr) continue;  // a bad line may have ended the read first
    ZAVO_FUZZ_CHECK(name == s->Name());
    ZAVO_FUZZ_CHECK(name.find_first_of("]#\r\n") == std::string::npos);
    for (const std::string& key : keys) check_value(s->GetValue(key));
    // A key no line can name (it spans two lines) is absent.
    ZAVO_FUZZ_CHECK(std::strcmp(s->GetValue("no such\nkey"), "") == 0);
  }
  ZAVO_FUZZ_CHECK(ini.FindSection("no such\nsection") == nullptr);
  return 0;
}
