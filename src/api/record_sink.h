#pragma once
// Where the decoders put what they make of the feed: the records that
// passed the delivery flags and the subscription filter, and the few events
// of the control stream that are not records. A live session's sink calls
// the data handler; an offline decoder's sink calls the tool's handler.
//
// The decoders call a sink on the thread that feeds them and keep no
// reference to it past the call that was given it.
#include <cstdint>

#include "zavo_api.h"

namespace zavo {

class RecordSink {
 public:
  virtual ~RecordSink() = default;

  // One record, `size` bytes of message `kind`, with the packet's time of
  // day and the field's sequence number. The record lives only during the
  // call.
  virtual void OnRecord(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq,
                        const void* record) = 0;
  // Every market-data field the decoder meets, filtered or not, before the
  // filter looks at it; called only for a sink built to see every field
  // (sees_every_field). Whoever watches the sequence for gaps needs the
  // numbers the subscription hides as much as the ones it shows.
  virtual void OnField(uint16_t /*field_id*/, uint64_t /*seq*/) {}
  // The end of the code tables on the control connection.
  virtual void OnBaseInfoFinish(const ZAVO_BaseInfoFinish& /*finish*/) {}
  // A new trading day: the decoder has just emptied its caches and code
  // tables; what else belongs to the old day goes here.
  virtual void OnNewDay() {}

  // Read once per packet, so a sink that does not watch every field costs
  // nothing per field.
  bool sees_every_field() const { return sees_every_field_; }

 protected:
  explicit RecordSink(bool sees_every_field = false) : sees_every_field_(sees_every_field) {}
  RecordSink(const RecordSink&) = default;
  RecordSink& operator=(const RecordSink&) = delete;

 private:
  const bool sees_every_field_;
};

}  // namespace zavo
