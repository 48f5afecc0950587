// Replays fuzz inputs through a target's entry point without libFuzzer, so
// the committed corpora run as ordinary, deterministic tests. Arguments are
// files or directories (every regular file in them, in name order).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void collect(const std::string& path, std::vector<std::string>* out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return;
  if (S_ISREG(st.st_mode)) {
    out->push_back(path);
    return;
  }
  if (!S_ISDIR(st.st_mode)) return;
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(path + "/" + e->d_name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& n : names) collect(n, out);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], &files);
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s <corpus file or directory>...\n(no input found)\n", argv[0]);
    return 2;
  }
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}
