#pragma once
// Puts the raw feed's fragments back together, per exchange.
//
// Each exchange (1 Shanghai, 2 Shenzhen) has one channel holding at most
// one message in progress. A message is taken only whole and in order:
// fragment 0 starts it, each next fragment must carry the next number, and
// the one with MoreFragments 0 completes it. Anything else (a lost or
// reordered fragment, a message that would grow past kMaxMessageBytes)
// drops the message in progress and resets the channel.
//
// A message whose sequence is not above the last one delivered for its
// exchange is never delivered, whether the channel was reset meanwhile or
// not: the feed repeats datagrams, and a repeat must not reach the user
// twice. (An exchange that starts numbering again from the beginning is
// therefore not heard until it passes its old numbers: a new session
// starts from scratch.)
//
// Copies: a fragment's payload is copied once, from the datagram into its
// channel's buffer; a message that fits one fragment is not copied at all
// but handed out where it lies in the datagram.
//
// Memory: a channel's buffer grows with the messages it assembles, never
// past kMaxMessageBytes, and is given back once idle when it grew beyond
// kKeepBytes, so one unusual message does not pin its memory.
//
// Not thread-safe: one thread (the receiver's read thread) feeds it.
#include <cstddef>
#include <cstdint>

#include "proto/raw_packet.h"
#include "util/log_throttle.h"

namespace zavo {

class FragmentAssembler {
 public:
  // Largest message assembled; a longer one is dropped with one log line.
  static constexpr size_t kMaxMessageBytes = 4u << 20;
  // A buffer larger than this is given back when its channel is idle.
  static constexpr size_t kKeepBytes = 64u << 10;
  static constexpr size_t kInitialBuffer = 128;

  // A complete message, valid until the next call of Consume and no longer
  // than the datagram it completed in (a single fragment points into it).
  struct Message {
    char exchange = 0;  // '1' or '2', as handed to the user
    uint64_t sequence = 0;
    uint32_t send_time = 0;  // of the last fragment
    const char* data = nullptr;
    size_t length = 0;
  };

  // `owner` and `owner_name` start the assembler's log lines.
  FragmentAssembler(const void* owner, const char* owner_name);

  // Takes the exchanges of a list such as "SH;SZ" (case does not matter).
  // False for an empty list or an unknown market; nothing is enabled then.
  bool EnableMarkets(const char* markets);
  bool enabled(uint8_t exchange) const;

  // One datagram: finds the first raw packet in it and takes it. Returns
  // the bytes consumed (up to the end of that packet; bytes before the
  // sync value count, bytes after the packet are left). When the packet
  // completed a message, *complete is set to true and *out describes it.
  size_t Consume(const char* data, size_t len, Message* out, bool* complete);

  // For tests: the buffer capacity an exchange's channel holds now.
  size_t HeldCapacity(uint8_t exchange) const;

 private:
  struct Channel {
    explicit Channel(char id) : exchange(id), packet(kInitialBuffer) {}
    char exchange;
    bool holding = false;        // a message is in progress
    bool delivered_any = false;  // last_delivered means something
    uint64_t last_delivered = 0;
    RawDataPacket packet;  // header of the last fragment taken, message so far
  };

  // Takes the fragment whose header is in header_ and whose payload is at
  // `payload` (header_.PayloadLength bytes).
  bool accept(Channel& ch, const char* payload, Message* out);
  void reset(Channel& ch);
  static void trim(Channel& ch);

  const void* owner_;
  const char* owner_name_;
  RawDataPacket header_;  // the members only: its buffer stays empty
  Channel sh_{'1'};
  Channel sz_{'2'};
  bool sh_enabled_ = false;
  bool sz_enabled_ = false;
  // A broken or hostile feed repeats these without end: a few lines per
  // interval, then a count.
  LogThrottle exchange_log_{LogThrottle::kDefaultIntervalMs, 5};
  LogThrottle too_long_log_{LogThrottle::kDefaultIntervalMs, 5};
};

}  // namespace zavo
