// Helpers shared by the feedtap tests: payload assembly, decoding into a
// string, temporary directories.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "feed_builder.h"
#include "output.h"

namespace feedtap_test {

inline std::vector<uint8_t> Join(const std::vector<feedgen::FeedMessage>& msgs) {
  std::vector<uint8_t> out;
  for (const auto& m : msgs) out.insert(out.end(), m.Bytes().begin(), m.Bytes().end());
  return out;
}

// Decodes a payload through the walker and returns the text written.
inline std::string Decode(const std::vector<uint8_t>& payload, int* records = nullptr) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* fp = open_memstream(&buf, &len);
  const int size = static_cast<int>(payload.size());
  const int n = HarboStoL2FpgaRcv::handleMDMsg(fp, payload.data(), size);
  std::fclose(fp);
  std::string text(buf, len);
  std::free(buf);
  if (records != nullptr) *records = n;
  return text;
}

inline std::string ReadFile(const std::string& path) {
  std::string out;
  FILE* fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), fp)) > 0) out.append(buf, n);
  std::fclose(fp);
  return out;
}

inline void WriteFile(const std::string& path, const std::string& text) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  if (fp == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), fp);
  std::fclose(fp);
}

// A fresh directory under /tmp, removed with its content at scope end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/feedtap_test_XXXXXX";
    const char* p = mkdtemp(tmpl);
    path_ = p != nullptr ? p : "";
  }
  ~TempDir() {
    if (path_.empty()) return;
    const int rc = std::system(("rm -rf '" + path_ + "'").c_str());
    (void)rc;
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace feedtap_test
