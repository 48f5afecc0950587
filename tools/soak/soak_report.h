#pragma once
// The soak's findings: figures and checks, printed as one table at the end
// (the last lines of the output), progress lines as they happen.
#include <string>
#include <vector>

namespace zavo_soak {

class SoakReport {
 public:
  // A figure without a verdict.
  void Figure(const std::string& name, const std::string& value);
  // A figure with a verdict; returns `ok`. A failed check also prints a
  // progress line at once, so the moment it happened is visible. A check
  // made again under the same name (once per round) stays one row: how
  // many times it held, and the value of its first failure or else its
  // latest value.
  bool Check(const std::string& name, bool ok, const std::string& value);
  // A progress line, printed at once with the seconds since the start.
  void Progress(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  bool ok() const { return failures_ == 0; }
  int failures() const { return failures_; }
  void Print(const std::string& title) const;

 private:
  struct Row {
    std::string name;
    std::string value;
    const char* verdict;  // "ok", "FAIL" or ""
    int checks = 0;       // times checked
    int passed = 0;
  };
  std::vector<Row> rows_;
  int failures_ = 0;
};

// printf into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zavo_soak
