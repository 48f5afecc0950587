#include "soak_probe.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace zavo_soak {

namespace {
int count_entries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}
}  // namespace

int ThreadCount() {
  return count_entries("/proc/self/task");
}

int DescriptorCount() {
  const int n = count_entries("/proc/self/fd");
  return n < 0 ? n : n - 1;  // opendir's own descriptor was listed too
}

int64_t ResidentKb() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  int64_t kb = -1;
  while (std::fgets(line, sizeof(line), f) != nullptr) {
    long long v = 0;
    if (std::sscanf(line, "VmRSS: %lld kB", &v) == 1) {
      kb = v;
      break;
    }
  }
  std::fclose(f);
  return kb;
}

std::string NewestLogFile(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return "";
  std::string best;
  while (dirent* e = readdir(d)) {
    const size_t len = std::strlen(e->d_name);
    if (len < 5 || std::strcmp(e->d_name + len - 4, ".log") != 0) continue;
    // Names are the start time YYYYMMDDhhmmssmmm: the largest is the newest.
    if (best.empty() || std::strcmp(e->d_name, best.c_str()) > 0) best = e->d_name;
  }
  closedir(d);
  return best.empty() ? "" : dir + "/" + best;
}

std::map<std::string, int64_t> CountLogLines(const std::string& path,
                                             const std::vector<std::string>& needles) {
  std::map<std::string, int64_t> counts;
  std::ifstream in(path);
  for (const std::string& n : needles) counts[n] = in ? 0 : -1;
  if (!in) return counts;
  std::string line;
  while (std::getline(in, line)) {
    for (const std::string& n : needles) {
      if (line.find(n) != std::string::npos) ++counts[n];
    }
  }
  return counts;
}

}  // namespace zavo_soak
