#pragma once
// What the soak measures about its own process and reads from the library's
// log file.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zavo_soak {

int ThreadCount();      // entries of /proc/self/task
int DescriptorCount();  // open descriptors, without the one used to count
int64_t ResidentKb();   // VmRSS of /proc/self/status, -1 if unreadable

// The newest "*.log" file in `dir`, or "" when there is none.
std::string NewestLogFile(const std::string& dir);

// Counts the lines of `path` that contain each of `needles` (a line counts
// once per needle it contains). Missing file: every count is -1.
std::map<std::string, int64_t> CountLogLines(const std::string& path,
                                             const std::vector<std::string>& needles);

}  // namespace zavo_soak
