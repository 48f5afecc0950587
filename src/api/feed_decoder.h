#pragma once
// Offline decoding for tools: datagrams of a capture go in with the moment
// they were captured, and the records a live session with the same
// markets, codes and flags would deliver come out through a C handler, on
// the calling thread. No session, no thread, no socket, no connection.
//
// The capture time stands where a live session reads the wall clock: the
// LocalDelay of a snapshot is measured against it, so one capture always
// decodes to the same records, whenever and however often it is decoded.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "zavo_api.h"

namespace zavo {

class FeedDecoder {
 public:
  struct Settings {
    bool raw = false;  // raw mode: reassembled exchange messages (kind 200)
    int connect_id = 0;
    // As in the open settings: struct mode's market and code lists (null
    // or empty for all); raw mode's market list (required, e.g. "SH;SZ").
    const char* markets = nullptr;
    const char* codes = nullptr;
    uint32_t flags = 0;  // ZAVO_SUBSCRIBE_FLAG bits (struct mode)
    ZAVO_DataHandler handler = nullptr;
    // The handler's first argument; null passes the decoder's address.
    void* handle = nullptr;
  };

  struct Counters {
    uint64_t datagrams = 0;       // handed to Feed
    uint64_t refused = 0;         // struct mode: not one whole packet
    uint64_t records = 0;         // delivered to the handler
    uint64_t handler_errors = 0;  // handler calls that threw (caught)
  };

  // Null with *error set (ZAVO_ERR_INVALID) when the handler is missing or
  // the markets or codes are refused as the open call would refuse them.
  static std::unique_ptr<FeedDecoder> Create(const Settings& settings, ZAVO_ERROR* error);
  virtual ~FeedDecoder() = default;

  // One datagram, captured `captured_ns` nanoseconds after the epoch.
  virtual void Feed(const char* data, size_t size, uint64_t captured_ns) = 0;
  virtual Counters counters() const = 0;

 protected:
  FeedDecoder() = default;
  FeedDecoder(const FeedDecoder&) = delete;
  FeedDecoder& operator=(const FeedDecoder&) = delete;
};

}  // namespace zavo
