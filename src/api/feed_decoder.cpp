// Offline decoding: the mode's decoder behind a sink that calls the tool's
// handler and counts.
#include "api/feed_decoder.h"

#include <ctime>
#include <new>

#include "api/api_imp.h"
#include "api/raw_decoder.h"
#include "api/record_sink.h"
#include "api/struct_decoder.h"

namespace zavo {

namespace {

const char kClassName[] = "FeedDecoder";

class CountingSink final : public RecordSink {
 public:
  CountingSink(void* handle, ZAVO_DataHandler handler, int connect_id)
      : handle_(handle), handler_(handler), connect_id_(connect_id) {}

  void OnRecord(uint32_t kind, uint32_t size, uint32_t msg_time, uint64_t seq,
                const void* record) override {
    ++records;
    CallHandler(handle_, handler_, connect_id_, kind, size, msg_time, seq, record,
                [this] { ++handler_errors; });
  }

  uint64_t records = 0;
  uint64_t handler_errors = 0;

 private:
  void* handle_;
  ZAVO_DataHandler handler_;
  int connect_id_;
};

class StructFeedDecoder final : public FeedDecoder {
 public:
  explicit StructFeedDecoder(const Settings& s)
      : decoder_(this, kClassName),
        sink_(s.handle != nullptr ? s.handle : this, s.handler, s.connect_id) {}

  bool Configure(const Settings& s) {
    decoder_.SetFlags(s.flags);
    return decoder_.subscription().SetMarketSubscription(s.markets) &&
           decoder_.subscription().SetCodeSubscription(s.codes);
  }

  void Feed(const char* data, size_t size, uint64_t captured_ns) override {
    ++datagrams_;
    timespec at;
    at.tv_sec = static_cast<time_t>(captured_ns / 1000000000u);
    at.tv_nsec = static_cast<long>(captured_ns % 1000000000u);
    if (!decoder_.ProcessDatagram(data, size, at, sink_)) ++refused_;
  }

  Counters counters() const override {
    return Counters{datagrams_, refused_, sink_.records, sink_.handler_errors};
  }

 private:
  StructDecoder decoder_;
  CountingSink sink_;
  uint64_t datagrams_ = 0;
  uint64_t refused_ = 0;
};

class RawFeedDecoder final : public FeedDecoder {
 public:
  explicit RawFeedDecoder(const Settings& s)
      : decoder_(this, kClassName),
        sink_(s.handle != nullptr ? s.handle : this, s.handler, s.connect_id) {}

  bool Configure(const Settings& s) { return decoder_.EnableMarkets(s.markets); }

  void Feed(const char* data, size_t size, uint64_t) override {
    // Raw records carry the sender's time only; the capture time has no
    // place in them.
    ++datagrams_;
    decoder_.ProcessDatagram(data, size, sink_);
  }

  Counters counters() const override {
    return Counters{datagrams_, 0, sink_.records, sink_.handler_errors};
  }

 private:
  RawDecoder decoder_;
  CountingSink sink_;
  uint64_t datagrams_ = 0;
};

template <class T>
std::unique_ptr<FeedDecoder> make(const FeedDecoder::Settings& s) {
  std::unique_ptr<T> d(new (std::nothrow) T(s));
  if (d == nullptr || !d->Configure(s)) return nullptr;
  return d;
}

}  // namespace

std::unique_ptr<FeedDecoder> FeedDecoder::Create(const Settings& settings, ZAVO_ERROR* error) {
  std::unique_ptr<FeedDecoder> d;
  if (settings.handler != nullptr) {
    d = settings.raw ? make<RawFeedDecoder>(settings) : make<StructFeedDecoder>(settings);
  }
  if (error != nullptr) *error = d != nullptr ? ZAVO_SUCCESS : ZAVO_ERR_INVALID;
  return d;
}

}  // namespace zavo
