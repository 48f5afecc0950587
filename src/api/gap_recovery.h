#pragma once
// GapRecovery: one receiver's repair of its feed, without a thread, a
// socket or a connection. Fields come in as the decoder meets them (live,
// or from a retransmission), each number before the filter (OnField) and
// then its record if the filter lets it through (OnRecord). Out go the
// records in strictly increasing sequence order, the ranges that cannot be
// recovered in their place, and requests for what is missing.
//
// While a hole is open the records behind it are held (HoldQueue); a
// number that fills the first hole is delivered at once, then what was
// held up to the next hole. Holes found while a request is out are asked
// for together when it ends: one request at a time. A hole not filled
// within the hold time, the held copies passing their bound in bytes, a
// request refused, answered short, or cut off: the range is reported lost
// and delivery goes on.
//
// Bounds: ZAVO_RECOVER_HOLD_BYTES and ZAVO_RECOVER_HOLD_MS (Limits).
#include <cstdint>

#include "api/gap_tracker.h"
#include "api/hold_queue.h"

namespace zavo {

class GapRecovery {
 public:
  static constexpr uint64_t kDefaultHoldBytes = 64ull << 20;
  static constexpr int64_t kDefaultHoldMs = 3000;
  // A request that could not be sent is tried again this much later.
  static constexpr int64_t kRetryMs = 100;

  struct Limits {
    uint64_t hold_bytes = kDefaultHoldBytes;
    int64_t hold_ms = kDefaultHoldMs;
    // The defaults, replaced by each environment variable that holds a
    // positive number (anything else is logged and ignored).
    static Limits FromEnvironment();
  };

  class Output {
   public:
    virtual void Deliver(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq,
                         const void* record) = 0;
    virtual void Lost(uint64_t begin, uint64_t end, uint32_t reason) = 0;
    // Asks for [begin, end). True when the request went out: its end comes
    // back through OnRequestEnd (or OnRequestFailed).
    virtual bool Request(uint64_t begin, uint64_t end) = 0;

   protected:
    ~Output() = default;
  };

  struct Counters {
    uint64_t fields = 0;     // live fields
    uint64_t accepted = 0;   // fields taken in: live or recovered, not seen before
    uint64_t delivered = 0;  // records delivered (the rest of accepted was filtered out)
    uint64_t gaps = 0;
    uint64_t missing = 0;
    uint64_t recovered = 0;
    uint64_t lost = 0;
    uint64_t duplicates = 0;
    uint64_t held_peak_bytes = 0;
  };

  GapRecovery(const Limits& limits, Output* out);
  GapRecovery(const GapRecovery&) = delete;
  GapRecovery& operator=(const GapRecovery&) = delete;

  // One market-data field, before the filter; `recovered` for one of a
  // retransmission. Its record, if any, follows through OnRecord.
  void OnField(uint64_t seq, bool recovered, int64_t now_ms);
  void OnRecord(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq, const void* record);
  // After a packet: settles what can be, applies the time bound, asks for
  // what is missing.
  void Flush(int64_t now_ms);
  // The request out ended; what of its range is still missing is lost for
  // `reason` (a ZAVO_LOST_REASON).
  void OnRequestEnd(uint32_t reason, int64_t now_ms);
  // The request could not be sent; it is asked again kRetryMs later.
  void OnRequestFailed(int64_t now_ms);
  // A new day: every missing range is reported for `reason`, every held
  // record delivered; a next number below the last starts the sequence
  // afresh.
  void EndAll(uint32_t reason);
  // The session closes: held records are dropped. How many were.
  size_t Discard();

  // Holding records, or a request out: the owner should call Flush (with
  // the time) even while the feed is quiet.
  bool active() const { return tracker_.holding() || request_out_ || !hold_.empty(); }
  bool request_out() const { return request_out_; }
  Counters counters() const;
  const GapTracker& tracker() const { return tracker_; }
  uint64_t held_bytes() const { return hold_.bytes(); }

 private:
  // Delivers what no open hole blocks, and the lost ranges in their place.
  void release();
  void deliver_held_below(uint64_t limit);
  void enforce_byte_bound();
  void maybe_request(int64_t now_ms);

  Limits limits_;
  Output* out_;
  GapTracker tracker_;
  HoldQueue hold_;
  GapTracker::Verdict verdict_ = GapTracker::Verdict::kDuplicate;
  uint64_t verdict_seq_ = 0;
  bool request_out_ = false;
  uint64_t request_begin_ = 0;
  uint64_t request_end_ = 0;
  int64_t retry_at_ms_ = 0;
  uint64_t fields_ = 0;
  uint64_t accepted_ = 0;
  uint64_t delivered_ = 0;
  uint64_t lost_ = 0;
};

}  // namespace zavo
