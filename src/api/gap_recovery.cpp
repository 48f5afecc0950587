#include "api/gap_recovery.h"

#include <cerrno>
#include <cstdlib>

#include "util/logger.h"
#include "zavo_api.h"

namespace zavo {

namespace {

uint64_t PositiveFromEnvironment(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value == 0 || text[0] == '-') {
    ZAVO_LOG("%s=%s is not a positive number; using %llu", name, text,
             static_cast<unsigned long long>(fallback));
    return fallback;
  }
  return value;
}

}  // namespace

GapRecovery::Limits GapRecovery::Limits::FromEnvironment() {
  Limits l;
  l.hold_bytes = PositiveFromEnvironment("ZAVO_RECOVER_HOLD_BYTES", kDefaultHoldBytes);
  l.hold_ms = static_cast<int64_t>(
      PositiveFromEnvironment("ZAVO_RECOVER_HOLD_MS", static_cast<uint64_t>(kDefaultHoldMs)));
  return l;
}

GapRecovery::GapRecovery(const Limits& limits, Output* out) : limits_(limits), out_(out) {}

void GapRecovery::OnField(uint64_t seq, bool recovered, int64_t now_ms) {
  // What the previous field made deliverable goes first, so the order of
  // the output is the order of the numbers.
  if (tracker_.holding() || !hold_.empty()) release();
  if (!recovered) ++fields_;
  verdict_ = tracker_.OnField(seq, now_ms, recovered);
  verdict_seq_ = seq;
  if (verdict_ == GapTracker::Verdict::kDeliver || verdict_ == GapTracker::Verdict::kHold) {
    ++accepted_;
  }
}

void GapRecovery::OnRecord(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq,
                           const void* record) {
  if (seq != verdict_seq_) return;  // not the field just told
  switch (verdict_) {
    case GapTracker::Verdict::kDeliver:
      ++delivered_;
      out_->Deliver(kind, size, msg_time, seq, record);
      break;
    case GapTracker::Verdict::kHold:
      hold_.Add(seq, kind, size, msg_time, record);
      enforce_byte_bound();
      break;
    case GapTracker::Verdict::kDuplicate:
    case GapTracker::Verdict::kRedundant:
      break;
  }
}

void GapRecovery::enforce_byte_bound() {
  // The bound may be passed by the one record just added; then the oldest
  // holes go, each releasing what it blocked, until the rest fits.
  while (hold_.bytes() > limits_.hold_bytes && tracker_.holding()) {
    const GapTracker::Range& f = tracker_.front();
    tracker_.MarkLost(f.begin, f.end, ZAVO_LOST_HOLD_FULL);
    release();
  }
}

void GapRecovery::deliver_held_below(uint64_t limit) {
  while (!hold_.empty() && hold_.front().seq < limit) {
    const HoldQueue::Record& r = hold_.front();
    ++delivered_;
    out_->Deliver(r.kind, r.size, r.msg_time, r.seq, r.data);
    hold_.PopFront();
  }
}

void GapRecovery::release() {
  for (;;) {
    if (!tracker_.holding()) {
      deliver_held_below(UINT64_MAX);
      tracker_.SettleTo(tracker_.max_seen() + 1);
      return;
    }
    const GapTracker::Range f = tracker_.front();
    deliver_held_below(f.begin);
    tracker_.SettleTo(f.begin);
    if (f.lost == 0) return;
    lost_ += f.end - f.begin;
    tracker_.PopFront();
    out_->Lost(f.begin, f.end, f.lost);
  }
}

void GapRecovery::Flush(int64_t now_ms) {
  if (!tracker_.holding()) {
    if (!hold_.empty()) release();
    return;
  }
  tracker_.MarkFoundBefore(now_ms - limits_.hold_ms, ZAVO_LOST_TIMEOUT);
  release();
  maybe_request(now_ms);
}

void GapRecovery::maybe_request(int64_t now_ms) {
  if (request_out_ || now_ms < retry_at_ms_) return;
  uint64_t begin = 0;
  uint64_t end = 0;
  if (!tracker_.PendingSpan(&begin, &end)) return;
  request_begin_ = begin;
  request_end_ = end;
  request_out_ = true;
  if (!out_->Request(begin, end)) OnRequestFailed(now_ms);
}

void GapRecovery::OnRequestEnd(uint32_t reason, int64_t now_ms) {
  if (!request_out_) return;
  request_out_ = false;
  tracker_.MarkLost(request_begin_, request_end_, reason);
  Flush(now_ms);
}

void GapRecovery::OnRequestFailed(int64_t now_ms) {
  request_out_ = false;
  retry_at_ms_ = now_ms + kRetryMs;
}

void GapRecovery::EndAll(uint32_t reason) {
  if (tracker_.holding()) {
    tracker_.MarkLost(0, UINT64_MAX, reason);
    release();
  }
  tracker_.Restart();
}

size_t GapRecovery::Discard() {
  const size_t held = hold_.size();
  hold_.Clear();
  return held;
}

GapRecovery::Counters GapRecovery::counters() const {
  Counters c;
  c.fields = fields_;
  c.accepted = accepted_;
  c.delivered = delivered_;
  c.gaps = tracker_.gaps();
  c.missing = tracker_.missing_fields();
  c.recovered = tracker_.filled();
  c.lost = lost_;
  c.duplicates = tracker_.duplicates();
  c.held_peak_bytes = hold_.peak_bytes();
  return c;
}

}  // namespace zavo
