#include "session_watch.h"

#include <cstdio>
#include <cstring>

namespace zavo_tail {

namespace {

bool same_code(const char* code16, const std::string& code) {
  if (code.size() >= 16) return false;
  for (size_t i = 0; i <= code.size(); ++i) {
    char a = code16[i];
    char b = i < code.size() ? code[i] : '\0';
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
    if (a != b) return false;
  }
  return true;
}

std::string seconds_text(double s) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.0f s", s);
  return text;
}

}  // namespace

SessionWatch::SessionWatch(const Options& opt, Clock::time_point start)
    : opt_(opt), start_(start), last_data_(start) {}

void SessionWatch::OnData(const ZAVO_MSG* msg) {
  messages_.fetch_add(1, std::memory_order_relaxed);
  if (opt_.book_code.empty() || book_kind_.load(std::memory_order_relaxed) != 0) return;
  const char* code = nullptr;
  char exchange = 0;
  if (msg->MsgType == ZAVO_MSG_INDEX_SNAPSHOT) {
    const auto* r = static_cast<const ZAVO_IndexSnapShot*>(msg->MsgData);
    code = r->Code;
    exchange = r->ExchangeID;
  } else if (msg->MsgType == ZAVO_MSG_FUTURE_SNAPSHOT) {
    const auto* r = static_cast<const ZAVO_FutureSnapShot*>(msg->MsgData);
    code = r->Code;
    exchange = r->ExchangeID;
  }
  if (code != nullptr && exchange == opt_.book_exchange && same_code(code, opt_.book_code)) {
    book_kind_.store(msg->MsgType, std::memory_order_relaxed);
  }
}

std::string SessionWatch::where() const {
  return "group " + opt_.group.ToString() + " on interface " + opt_.interface_ip;
}

std::string SessionWatch::Tick(Clock::time_point now) {
  const uint64_t n = messages_.load(std::memory_order_relaxed);
  if (n != seen_) {
    const double quiet = std::chrono::duration<double>(now - last_data_).count();
    seen_ = n;
    last_data_ = now;
    if (quiet_said_) {
      quiet_said_ = false;
      return "zavo_tail: data again from " + where() + " after " + seconds_text(quiet) + " without";
    }
    return "";
  }
  const double quiet = std::chrono::duration<double>(now - last_data_).count();
  if (quiet_said_ || quiet < kQuietSeconds) return "";
  quiet_said_ = true;
  return "zavo_tail: no data for " + seconds_text(quiet) + " from " + where() +
         " (check --group and --interface" +
         (opt_.Filtered() || !opt_.markets.empty() ? "; --markets and --codes may match nothing"
                                                   : "") +
         ")";
}

std::string SessionWatch::SummaryLine(Clock::time_point now) const {
  const uint64_t n = messages_.load(std::memory_order_relaxed);
  const double run = std::chrono::duration<double>(now - start_).count();
  if (n == 0) return "no data received from " + where() + " in " + seconds_text(run);
  // seen_ trails messages_ by at most one tick; what counts is the quiet end.
  const double quiet = n == seen_ ? std::chrono::duration<double>(now - last_data_).count() : 0;
  if (quiet >= kQuietSeconds) {
    return "no data in the last " + seconds_text(quiet) + " from " + where();
  }
  return "";
}

std::string SessionWatch::CheckBookCode(const ZAVO_CODEINFO* table, unsigned count) const {
  for (unsigned i = 0; i < count; ++i) {
    if (table[i].ExchangeID == opt_.book_exchange && same_code(table[i].Code, opt_.book_code)) {
      return "";
    }
  }
  const char* market = opt_.book_exchange == '1' ? "SH" : "SZ";
  return "--book " + opt_.book_code + "." + market + ": the " + market +
         " code table has no such code";
}

std::string SessionWatch::BookKindError() const {
  const uint32_t kind = book_kind_.load(std::memory_order_relaxed);
  if (kind == 0) return "";
  const char* market = opt_.book_exchange == '1' ? "SH" : "SZ";
  return "--book " + opt_.book_code + "." + market + " is " +
         (kind == ZAVO_MSG_INDEX_SNAPSHOT ? "an index" : "a future") +
         ": only a stock has an order book";
}

}  // namespace zavo_tail
