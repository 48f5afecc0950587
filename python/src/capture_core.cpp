#include "capture_core.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "book_binding.h"
#include "gil_released.h"
#include "native_book.h"
#include "row_batch.h"
#include "zavo_capture.h"

namespace pyb = pybind11;

namespace zavo {
namespace py {

namespace {

class CaptureCore : public std::enable_shared_from_this<CaptureCore> {
 public:
  CaptureCore(const std::string& path, const std::string& markets, const std::string& codes,
              uint32_t flags, const std::string& group_ip, uint16_t group_port) {
    ZAVO_CaptureSetting s{};
    s.SubscribedMarkets = markets.c_str();
    s.SubscribedCodes = codes.c_str();
    s.SubscribeFlags = flags;
    s.DataHandler = &CaptureCore::on_data;
    s.Context = this;
    s.GroupIP = group_ip.c_str();
    s.GroupPort = group_port;
    char reason[512];
    {
      GilReleased unlocked;
      c_ = ZAVO_CaptureOpen(path.c_str(), &s, reason, sizeof reason);
    }
    if (c_ == nullptr) throw std::runtime_error(reason);
  }
  ~CaptureCore() { ZAVO_CaptureClose(c_); }
  CaptureCore(const CaptureCore&) = delete;
  CaptureCore& operator=(const CaptureCore&) = delete;

  // (rows, order, more): up to about `max` records (0: the rest of the
  // file) grouped by kind as Session.read's; with `keep` false the records
  // only feed the books and the rows stay empty.
  pyb::tuple read(uint64_t max, bool keep) {
    int more = -1;
    std::unique_ptr<RowBatch> mine(new RowBatch());
    {
      GilReleased unlocked;
      std::lock_guard<std::mutex> lk(mu_);
      if (c_ != nullptr) {
        keep_ = keep;
        more = ZAVO_CaptureRead(c_, max);
        std::swap(mine, batch_);
      }
    }
    if (more < 0) throw std::runtime_error("the capture is closed");
    pyb::tuple t = mine->Release();
    return pyb::make_tuple(t[0], t[1], more > 0);
  }

  pyb::dict summary() const {
    ZAVO_CaptureSummary s;
    {
      GilReleased unlocked;
      std::lock_guard<std::mutex> lk(mu_);
      if (c_ != nullptr) ZAVO_CaptureGetSummary(c_, &summary_);
      s = summary_;
    }
    pyb::dict d;
    d["packets"] = s.Packets;
    d["skipped"] = s.Skipped;
    d["datagrams"] = s.Datagrams;
    d["passed"] = s.Passed;
    d["refused"] = s.Refused;
    d["records"] = s.Records;
    d["handler_errors"] = s.HandlerErrors;
    d["gaps"] = s.Gaps;
    d["missing"] = s.Missing;
    d["file_offset"] = s.FileOffset;
    d["ended"] = s.Ended != 0;
    d["damaged"] = s.Damaged != 0;
    d["damage_offset"] = s.DamageOffset;
    d["compressed"] = s.Compressed != 0;
    d["error"] = std::string(s.Error);
    pyb::list streams;
    for (int i = 0; i < s.StreamCount; ++i) {
      const ZAVO_CaptureStream& x = s.Streams[i];
      pyb::dict one;
      one["name"] = std::string(x.Name);
      one["datagrams"] = x.Datagrams;
      one["bytes"] = x.Bytes;
      one["last_seq"] = x.LastSeq;
      one["gaps"] = x.Gaps;
      one["missing"] = x.Missing;
      one["backwards"] = x.Backwards;
      streams.append(one);
    }
    d["streams"] = streams;
    return d;
  }

  // The summary stays readable after the close.
  void close() {
    GilReleased unlocked;
    std::lock_guard<std::mutex> lk(mu_);
    if (c_ == nullptr) return;
    ZAVO_CaptureGetSummary(c_, &summary_);
    ZAVO_CaptureClose(c_);
    c_ = nullptr;
  }

  // A book fed by this capture's records from the next read on.
  pyb::object attach_book(unsigned flags, bool filtered) {
    auto book = std::make_shared<NativeBook>(flags, filtered);
    if (!book->ok()) throw std::bad_alloc();
    {
      GilReleased unlocked;
      std::lock_guard<std::mutex> lk(mu_);
      books_.push_back(book);
    }
    std::weak_ptr<CaptureCore> feeder = shared_from_this();
    return wrap_book(std::move(book), [feeder](const NativeBook* b) {
      if (auto c = feeder.lock()) c->detach_book(b);
    });
  }

 private:
  static void on_data(void* context, const ZAVO_MSG* m) {
    auto* self = static_cast<CaptureCore*>(context);
    for (const auto& b : self->books_) b->Apply(*m);
    if (self->keep_) self->batch_->Add(m->MsgType, m->MsgData, m->MsgSize, m->SeqNum, m->MsgTime);
  }

  void detach_book(const NativeBook* b) {
    GilReleased unlocked;
    std::lock_guard<std::mutex> lk(mu_);
    books_.erase(std::remove_if(books_.begin(), books_.end(),
                                [b](const std::shared_ptr<NativeBook>& x) { return x.get() == b; }),
                 books_.end());
  }

  // One reader at a time: reads run with the interpreter lock released.
  mutable std::mutex mu_;
  ZAVO_CAPTURE c_ = nullptr;
  mutable ZAVO_CaptureSummary summary_{};
  std::unique_ptr<RowBatch> batch_{new RowBatch()};
  bool keep_ = true;
  std::vector<std::shared_ptr<NativeBook>> books_;
};

}  // namespace

void bind_capture(pyb::module_& m) {
  pyb::class_<CaptureCore, std::shared_ptr<CaptureCore>>(m, "CaptureCore")
      .def(pyb::init<std::string, std::string, std::string, uint32_t, std::string, uint16_t>())
      .def("read", &CaptureCore::read)
      .def("summary", &CaptureCore::summary)
      .def("close", &CaptureCore::close)
      .def("attach_book", &CaptureCore::attach_book);
}

}  // namespace py
}  // namespace zavo
