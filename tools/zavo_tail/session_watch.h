#pragma once
// What zavo_tail watches in a live session besides the records themselves:
//   - silence: a wrong group or port, a wrong interface or a filter that
//     matches nothing all look the same from here (the session is open and
//     nothing arrives), so after kQuietSeconds without data it says so
//     once, naming the group and interface it listens on;
//   - --book: the code must be one the code tables know, and a stock: an
//     index or a future has no order book to show.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "options.h"
#include "zavo_api.h"

namespace zavo_tail {

class SessionWatch {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr double kQuietSeconds = 5.0;

  // Watches the session of `opt` from `start` on (when it opened).
  SessionWatch(const Options& opt, Clock::time_point start);

  // Data handler: every message of the session (any thread).
  void OnData(const ZAVO_MSG* msg);

  // Main thread, often. Returns a note to print when a quiet spell has
  // just passed kQuietSeconds or data has just come back after one, else "".
  std::string Tick(Clock::time_point now);
  // For the summary: a line about silence when there was any worth a word
  // (nothing at all, or nothing in the last kQuietSeconds), else "".
  std::string SummaryLine(Clock::time_point now) const;

  // --book: "" when the code is in `table` (the code table of the book's
  // market), else why it cannot be shown.
  std::string CheckBookCode(const ZAVO_CODEINFO* table, unsigned count) const;
  // --book: why the code cannot be shown, once its records showed that it is
  // an index or a future; "" until then.
  std::string BookKindError() const;

 private:
  std::string where() const;

  const Options& opt_;
  std::atomic<uint64_t> messages_{0};
  std::atomic<uint32_t> book_kind_{0};  // kind of a snapshot that showed --book is no stock
  // Main thread only.
  Clock::time_point start_;
  uint64_t seen_ = 0;            // messages_ at the last change
  Clock::time_point last_data_;  // when messages_ last moved (start_ at first)
  bool quiet_said_ = false;      // the note of this quiet spell was given
};

}  // namespace zavo_tail
