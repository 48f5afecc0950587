#pragma once
// Raw mode's work on what the server sends, without a thread, a socket or
// a connection: feed datagrams go through the FragmentAssembler and every
// whole message reaches a RecordSink as one ZAVO_RawDataRef (kind 200);
// replayed packets of the control connection are checked against the
// range asked for and delivered the same way.
//
// The live session feeds it from the receiver's read thread (datagrams)
// and its loop thread (replays); an offline decoder from a capture file.
// Not thread-safe for datagrams: one thread at a time feeds them.
#include <cstddef>
#include <cstdint>

#include "api/fragment_assembler.h"
#include "api/record_sink.h"
#include "proto/raw_packet.h"
#include "util/log_throttle.h"

namespace zavo {

class RawDecoder {
 public:
  // `owner` and `class_name` name the writer in log lines.
  RawDecoder(const void* owner, const char* class_name);
  RawDecoder(const RawDecoder&) = delete;
  RawDecoder& operator=(const RawDecoder&) = delete;

  // Takes the exchanges of a list such as "SH;SZ"; false for a list that
  // names none or an unknown one (nothing is enabled then).
  bool EnableMarkets(const char* markets) { return assembler_.EnableMarkets(markets); }
  bool enabled(uint8_t exchange) const { return assembler_.enabled(exchange); }

  // One feed datagram. Returns the bytes consumed (see
  // FragmentAssembler::Consume); a message it completes goes to `sink`.
  size_t ProcessDatagram(const char* data, size_t len, RecordSink& sink);
  // One replayed packet: delivered when its sequence lies in [begin, end)
  // and it names an exchange; logged and dropped otherwise.
  void ProcessRebuildPacket(const RawDataPacket& packet, uint64_t begin, uint64_t end,
                            RecordSink& sink);

  // Whole messages delivered from the feed.
  uint64_t messages() const { return messages_; }
  const FragmentAssembler& assembler() const { return assembler_; }

 private:
  const void* owner_;
  const char* class_name_;
  FragmentAssembler assembler_;
  uint64_t messages_ = 0;
  // Replayed packets the server should not have sent (loop thread).
  LogThrottle replay_log_{LogThrottle::kDefaultIntervalMs, 5};
};

}  // namespace zavo
