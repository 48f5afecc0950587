// The end-of-run checks of what each long session received: every sequence
// number of its span accounted for, by a record, a reported gap or a
// reported lost range.
#include "soak_run.h"
#include "soak_sessions.h"

namespace zavo_soak {

void SoakRun::check_accounting(const SessionState& st, int stream, const char* name,
                               uint64_t at_least_missing) {
  const uint64_t first = st.FirstSeq(stream);
  const uint64_t last = st.LastSeq(stream);
  const uint64_t delivered = st.Delivered(stream);
  const uint64_t missing = st.Missing(stream);
  const uint64_t range = last >= first && first > 0 ? last - first + 1 : 0;
  rep_->Check(
      Format("%s: delivered + reported gaps == range", name),
      range > 0 && delivered + missing == range,
      Format("%llu + %llu == %llu [%llu, %llu]", static_cast<unsigned long long>(delivered),
             static_cast<unsigned long long>(missing), static_cast<unsigned long long>(range),
             static_cast<unsigned long long>(first), static_cast<unsigned long long>(last)));
  if (at_least_missing > 0) {
    rep_->Check(Format("%s: every skipped field reported", name), missing >= at_least_missing,
                Format("%llu reported missing, %llu skipped by the server",
                       static_cast<unsigned long long>(missing),
                       static_cast<unsigned long long>(at_least_missing)));
  }
}

void SoakRun::check_recovered_stream(uint64_t skipped_by_server) {
  const SessionState& st = *recovering_;
  const zavo_tail::FeedStats& stats = st.stats();
  rep_->Figure(
      "recovering struct: records / lost ranges / lost fields / gaps / backwards",
      Format("%llu / %llu / %llu / %llu / %llu", static_cast<unsigned long long>(stats.Total()),
             static_cast<unsigned long long>(stats.LostRanges()),
             static_cast<unsigned long long>(st.Lost()),
             static_cast<unsigned long long>(stats.Gaps()),
             static_cast<unsigned long long>(stats.Backwards())));
  // The one promise of recovery: no hole the stream does not name, and
  // every record once, in order.
  rep_->Check("recovering struct: no gap in the stream", stats.Gaps() == 0,
              Format("%llu gaps, %llu fields", static_cast<unsigned long long>(stats.Gaps()),
                     static_cast<unsigned long long>(stats.Missing())));
  rep_->Check("recovering struct: no record twice or out of order", stats.Backwards() == 0,
              Format("%llu", static_cast<unsigned long long>(stats.Backwards())));
  const uint64_t first = st.FirstSeq(0);
  const uint64_t last = st.LastSeq(0);
  const uint64_t span = last >= first && first > 0 ? last - first + 1 : 0;
  rep_->Check(
      "recovering struct: delivered + lost == span",
      span > 0 && st.Delivered(0) + st.Lost() == span,
      Format("%llu + %llu == %llu", static_cast<unsigned long long>(st.Delivered(0)),
             static_cast<unsigned long long>(st.Lost()), static_cast<unsigned long long>(span)));
  // The server keeps what it skipped, so most of it comes back; a range is
  // lost when a dropped connection cut its request (a figure, not a check:
  // how much a drop takes depends on the moment it comes).
  rep_->Figure("recovering struct: fields lost / skipped by the server",
               Format("%llu / %llu", static_cast<unsigned long long>(st.Lost()),
                      static_cast<unsigned long long>(skipped_by_server)));
}

}  // namespace zavo_soak
