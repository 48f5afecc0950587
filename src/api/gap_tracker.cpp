#include "api/gap_tracker.h"

#include <algorithm>

namespace zavo {

GapTracker::Verdict GapTracker::OnField(uint64_t seq, int64_t now_ms, bool recovered) {
  const Verdict seen = recovered ? Verdict::kRedundant : Verdict::kDuplicate;
  if (!started_ || (restart_ && seq < next_ && !recovered)) {
    // A receiver joins a feed in its middle: the first number it meets
    // starts its sequence; after a new day a lower number starts it again.
    // A retransmission cannot start it.
    if (recovered) return Verdict::kRedundant;
    started_ = true;
    restart_ = false;
    next_ = seq + 1;
    max_seen_ = seq;
    return Verdict::kDeliver;
  }
  if (!recovered) restart_ = false;
  if (seq < next_) {
    if (!recovered) ++duplicates_;
    return seen;
  }
  if (missing_.empty()) {
    // No hole, but what filled the last one may not be delivered yet:
    // the numbers continue after max_seen, not after next.
    if (seq <= max_seen_) {
      if (!recovered) ++duplicates_;
      return seen;
    }
    if (recovered) return Verdict::kRedundant;
    if (seq > max_seen_ + 1) add_hole(max_seen_ + 1, seq, now_ms);
    max_seen_ = seq;
    if (seq == next_) {
      next_ = seq + 1;
      return Verdict::kDeliver;
    }
    return Verdict::kHold;
  }
  if (seq > max_seen_) {
    if (recovered) return Verdict::kRedundant;
    if (seq > max_seen_ + 1) add_hole(max_seen_ + 1, seq, now_ms);
    max_seen_ = seq;
    return Verdict::kHold;
  }
  const size_t i = find(seq);
  if (i == missing_.size()) {
    if (!recovered) ++duplicates_;
    return seen;
  }
  // A missing number arrived (a retransmission, or a late datagram): the
  // range shrinks or splits around it.
  ++filled_;
  Range& r = missing_[i];
  if (r.begin == seq && r.end == seq + 1) {
    missing_.erase(missing_.begin() + static_cast<std::ptrdiff_t>(i));
  } else if (r.begin == seq) {
    r.begin = seq + 1;
  } else if (r.end == seq + 1) {
    r.end = seq;
  } else {
    Range tail = r;
    tail.begin = seq + 1;
    r.end = seq;
    missing_.insert(missing_.begin() + static_cast<std::ptrdiff_t>(i) + 1, tail);
  }
  if (seq == next_) {
    next_ = seq + 1;
    return Verdict::kDeliver;
  }
  return Verdict::kHold;
}

void GapTracker::add_hole(uint64_t begin, uint64_t end, int64_t now_ms) {
  missing_.push_back(Range{begin, end, now_ms, 0});
  ++gaps_;
  missing_fields_ += end - begin;
}

size_t GapTracker::find(uint64_t seq) const {
  // The first range ending after seq; it holds seq when it begins at or
  // before it.
  auto it = std::upper_bound(missing_.begin(), missing_.end(), seq,
                             [](uint64_t s, const Range& r) { return s < r.end; });
  if (it == missing_.end() || it->begin > seq) return missing_.size();
  return static_cast<size_t>(it - missing_.begin());
}

void GapTracker::SettleTo(uint64_t seq) {
  if (!missing_.empty() && seq > missing_.front().begin) seq = missing_.front().begin;
  if (seq > next_) next_ = seq;
}

void GapTracker::PopFront() {
  if (missing_.empty()) return;
  next_ = missing_.front().end;
  missing_.erase(missing_.begin());
}

void GapTracker::MarkLost(uint64_t begin, uint64_t end, uint32_t reason) {
  for (size_t i = 0; i < missing_.size(); ++i) {
    Range& r = missing_[i];
    if (r.lost != 0 || r.end <= begin || r.begin >= end) continue;
    // Only the part inside [begin, end) is lost; the rest stays pending.
    if (r.begin < begin) {
      Range head = r;
      head.end = begin;
      r.begin = begin;
      missing_.insert(missing_.begin() + static_cast<std::ptrdiff_t>(i), head);
      continue;  // r is now at i + 1 and is looked at next
    }
    if (r.end > end) {
      Range tail = r;
      tail.begin = end;
      r.end = end;
      missing_.insert(missing_.begin() + static_cast<std::ptrdiff_t>(i) + 1, tail);
    }
    missing_[i].lost = reason;
  }
}

void GapTracker::MarkFoundBefore(int64_t deadline_ms, uint32_t reason) {
  for (Range& r : missing_) {
    if (r.found_ms > deadline_ms) break;  // found in order
    if (r.lost == 0) r.lost = reason;
  }
}

bool GapTracker::PendingSpan(uint64_t* begin, uint64_t* end) const {
  bool any = false;
  for (const Range& r : missing_) {
    if (r.lost != 0) continue;
    if (!any) *begin = r.begin;
    *end = r.end;
    any = true;
  }
  return any;
}

void GapTracker::Restart() {
  // The day's sequence may go on or start again: the next live number
  // decides. One that goes on is checked for holes as ever, so a day change
  // noticed late (on the control connection) hides no loss.
  missing_.clear();
  restart_ = true;
}

}  // namespace zavo
