#pragma once
// Parses one line of the library's log file:
// "[YYYYMMDD hh:mm:ss.mmm] [L] text" with L one of D, I, E, -.
#include <cctype>
#include <string>

namespace zavo_test {

struct LogLine {
  std::string date;  // YYYYMMDD
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  char letter = 0;
  std::string text;
};

inline bool parse_log_line(const std::string& line, LogLine* out = nullptr) {
  static const char kShape[] = "[dddddddd dd:dd:dd.ddd] [L] ";
  const size_t n = sizeof kShape - 1;
  if (line.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    const char c = line[i];
    switch (kShape[i]) {
      case 'd':
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        break;
      case 'L':
        if (c != 'D' && c != 'I' && c != 'E' && c != '-') return false;
        break;
      default:
        if (c != kShape[i]) return false;
    }
  }
  LogLine l;
  l.date = line.substr(1, 8);
  l.hour = std::stoi(line.substr(10, 2));
  l.minute = std::stoi(line.substr(13, 2));
  l.second = std::stoi(line.substr(16, 2));
  l.millisecond = std::stoi(line.substr(19, 3));
  l.letter = line[25];
  l.text = line.substr(n);
  if (l.hour > 23 || l.minute > 59 || l.second > 60) return false;
  if (out != nullptr) *out = l;
  return true;
}

}  // namespace zavo_test
