// Readers of /proc: the process's memory use and the kernel's socket tables.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/diagnostics.h"

namespace zavo {

namespace {

constexpr int kLineMax = 512;

// /proc/self rather than /proc/<pid>: a path formed once with the pid would
// keep reading the parent's figures in a forked child.
constexpr const char* kStatusPath = "/proc/self/status";

// Reads one line of at most kLineMax-1 characters into `buf` without its line
// end; the rest of an overlong line is skipped so it is not mistaken for a
// line of its own. False at end of file.
bool read_line(FILE* file, char (&buf)[kLineMax]) {
  if (std::fgets(buf, sizeof buf, file) == nullptr) return false;
  size_t len = std::strlen(buf);
  if (len > 0 && buf[len - 1] == '\n') {
    buf[--len] = '\0';
  } else {
    int c;
    while ((c = std::fgetc(file)) != EOF && c != '\n') {
    }
  }
  if (len > 0 && buf[len - 1] == '\r') buf[--len] = '\0';
  return true;
}

uint32_t hex_u32(const std::string& s) {
  return static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 16));
}

uint32_t dec_u32(const std::string& s) {
  return static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 10));
}

}  // namespace

std::string process_mem_info() {
  std::string info;
  FILE* file = std::fopen(kStatusPath, "r");
  if (file == nullptr) return info;
  char line[kLineMax];
  while (read_line(file, line)) {
    const char* colon = std::strchr(line, ':');
    if (colon == nullptr) continue;
    const std::string key(line, static_cast<size_t>(colon - line));
    if (key != "VmSize" && key != "VmRSS") continue;
    info += key;
    info += '=';
    for (const char* p = colon + 1; *p != '\0'; ++p) {
      if (*p != ' ' && *p != '\t') info += *p;
    }
    info += "  ";
  }
  std::fclose(file);
  return info;
}

uint32_t get_process_vmrss() {
  FILE* file = std::fopen(kStatusPath, "r");
  if (file == nullptr) return 0;
  uint32_t rss = 0;
  char line[kLineMax];
  while (read_line(file, line)) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) {
      rss = static_cast<uint32_t>(std::strtoul(line + 6, nullptr, 10));
      break;
    }
  }
  std::fclose(file);
  return rss;
}

bool get_netstat_bypos(const char* path, sys_netstat* out, const char* addr, unsigned int pos) {
  if (path == nullptr || out == nullptr || addr == nullptr) return false;
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  bool found = false;
  char line[kLineMax];
  while (!found && read_line(file, line)) {
    // Tabs count as blanks too, so normalise them before splitting.
    for (char* p = line; *p != '\0'; ++p) {
      if (*p == '\t') *p = ' ';
    }
    const std::vector<std::string> cols = StringSplit(line, ' ');
    if (cols.size() <= 6 || pos >= cols.size()) continue;
    if (cols[pos] != addr) continue;
    if (cols[3] != "01" && cols[3] != "07") continue;

    const std::string& queues = cols[4];  // "tx_queue:rx_queue", hexadecimal
    const std::string::size_type colon = queues.find(':');
    if (colon == std::string::npos) continue;
    *out = sys_netstat{};
    out->tx_queue = hex_u32(queues.substr(0, colon));
    out->rx_queue = hex_u32(queues.substr(colon + 1));
    out->retransmits = hex_u32(cols[6]);
    // TCP lines go on past the socket pointer with rto, ato, quick/pingpong,
    // cwnd and ssthresh; UDP lines end at the drop count.
    if (cols.size() > 15) {
      out->rto = dec_u32(cols[12]);
      out->ato = dec_u32(cols[13]);
      out->snd_cwnd = dec_u32(cols[15]);
    }
    found = true;
  }
  std::fclose(file);
  return found;
}

bool get_netstat_tcp_bylocal(sys_netstat* out, const char* ip, int port) {
  return get_netstat_bypos("/proc/net/tcp", out, convert_addr_to_hex(ip, port).c_str(), 1);
}

bool get_netstat_tcp_byremote(sys_netstat* out, const char* ip, int port) {
  return get_netstat_bypos("/proc/net/tcp", out, convert_addr_to_hex(ip, port).c_str(), 2);
}

bool get_netstat_udp_bylocal(sys_netstat* out, const char* ip, int port) {
  return get_netstat_bypos("/proc/net/udp", out, convert_addr_to_hex(ip, port).c_str(), 1);
}

}  // namespace zavo
