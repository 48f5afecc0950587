#include "soak_report.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace zavo_soak {

namespace {
const auto g_start = std::chrono::steady_clock::now();
}

std::string Format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  return buf;
}

void SoakReport::Figure(const std::string& name, const std::string& value) {
  rows_.push_back({name, value, ""});
}

bool SoakReport::Check(const std::string& name, bool ok, const std::string& value) {
  Row* row = nullptr;
  for (Row& r : rows_) {
    if (r.checks > 0 && r.name == name) row = &r;
  }
  if (row == nullptr) {
    rows_.push_back({name, value, ok ? "ok" : "FAIL", 0, 0});
    row = &rows_.back();
  } else if (row->passed == row->checks) {
    // No failure yet: show the latest value, or this first failure.
    row->value = value;
    if (!ok) row->verdict = "FAIL";
  }
  ++row->checks;
  if (ok) ++row->passed;
  if (!ok) {
    ++failures_;
    Progress("CHECK FAILED: %s: %s", name.c_str(), value.c_str());
  }
  return ok;
}

void SoakReport::Progress(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  const double t =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - g_start).count();
  std::printf("[soak %7.2f s] %s\n", t, buf);
  std::fflush(stdout);
}

void SoakReport::Print(const std::string& title) const {
  size_t w = 0;
  for (const Row& r : rows_) w = r.name.size() > w ? r.name.size() : w;
  std::printf("\n== %s ==\n", title.c_str());
  std::printf("%-*s  %-4s  %s\n", static_cast<int>(w), "figure", "", "value");
  for (const Row& r : rows_) {
    if (r.checks > 1) {
      std::printf("%-*s  %-4s  %d of %d held; %s\n", static_cast<int>(w), r.name.c_str(), r.verdict,
                  r.passed, r.checks, r.value.c_str());
    } else {
      std::printf("%-*s  %-4s  %s\n", static_cast<int>(w), r.name.c_str(), r.verdict,
                  r.value.c_str());
    }
  }
  if (failures_ == 0) {
    std::printf("soak result: PASS\n");
  } else {
    std::printf("soak result: FAIL (%d check%s failed)\n", failures_, failures_ == 1 ? "" : "s");
  }
  std::fflush(stdout);
}

}  // namespace zavo_soak
