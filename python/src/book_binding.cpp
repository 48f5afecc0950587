#include "book_binding.h"

#include <string>
#include <vector>

#include "gil_released.h"
#include "native_book.h"

namespace pyb = pybind11;

namespace zavo {
namespace py {

namespace {

char exchange_char(const std::string& ex) {
  if (ex != "1" && ex != "2") throw pyb::value_error("exchange: '1' (SH) or '2' (SZ)");
  return ex[0];
}

int side_value(int side) {
  if (side != ZAVO_BOOK_BID && side != ZAVO_BOOK_ASK) throw pyb::value_error("side: 0 or 1");
  return side;
}

template <class T>
pyb::bytes as_bytes(const std::vector<T>& v) {
  return pyb::bytes(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

// Every query copies under the book's lock, which the library's thread
// holds only for one apply: the interpreter lock is let go meanwhile so
// other Python threads go on.
class BookCore {
 public:
  BookCore(BookDetach detach, std::shared_ptr<NativeBook> book)
      : detach_(std::move(detach)), book_(std::move(book)) {}

  void detach() {
    if (detach_) detach_(book_.get());
  }

  pyb::bytes levels(const std::string& code, const std::string& ex, int side, size_t n) {
    char e = exchange_char(ex);
    int sd = side_value(side);
    std::vector<zavo_book_level> v;
    {
      GilReleased unlocked;
      v = book_->Levels(code.c_str(), e, sd, n);
    }
    return as_bytes(v);
  }

  pyb::tuple queue(const std::string& code, const std::string& ex, int side, int64_t price,
                   size_t n) {
    char e = exchange_char(ex);
    int sd = side_value(side);
    std::vector<zavo_book_order> v;
    int total = 0;
    {
      GilReleased unlocked;
      v = book_->Queue(code.c_str(), e, sd, price, n, &total);
    }
    return pyb::make_tuple(as_bytes(v), total);
  }

  pyb::object last_trade(const std::string& code, const std::string& ex) {
    char e = exchange_char(ex);
    zavo_book_trade t{};
    int rc;
    {
      GilReleased unlocked;
      rc = book_->LastTrade(code.c_str(), e, &t);
    }
    if (rc != 1) return pyb::none();
    pyb::dict d;
    d["price"] = t.price;
    d["quantity"] = t.quantity;
    d["trade_sequence"] = t.trade_sequence;
    d["ask_sequence"] = t.ask_sequence;
    d["bid_sequence"] = t.bid_sequence;
    d["time"] = t.time;
    d["bs_flag"] = t.bs_flag ? std::string(1, t.bs_flag) : std::string();
    return std::move(d);
  }

  pyb::object check(const std::string& code, const std::string& ex) {
    char e = exchange_char(ex);
    zavo_book_check_info c{};
    int rc;
    {
      GilReleased unlocked;
      rc = book_->Check(code.c_str(), e, &c);
    }
    if (rc != 1) return pyb::none();
    pyb::dict d;
    d["agreements"] = c.agreements;
    d["disagreements"] = c.disagreements;
    d["stale_snapshots"] = c.stale_snapshots;
    d["stale"] = c.stale != 0;
    d["inferred_levels"] = c.inferred_levels;
    if (c.diff_side < 0) {
      d["first_difference"] = pyb::none();
    } else {
      pyb::dict f;
      f["side"] = c.diff_side == ZAVO_BOOK_ASK ? "ask" : "bid";
      f["level"] = c.diff_level;
      f["snap_price"] = c.snap_price;
      f["snap_volume"] = c.snap_volume;
      f["book_price"] = c.book_price;
      f["book_volume"] = c.book_volume;
      f["seq"] = c.diff_seq;
      f["time"] = c.diff_time;
      d["first_difference"] = f;
    }
    return std::move(d);
  }

  pyb::dict totals() {
    zavo_book_totals_info t;
    {
      GilReleased unlocked;
      t = book_->Totals();
    }
    pyb::dict d;
    d["messages"] = t.messages;
    d["details"] = t.details;
    d["snapshots"] = t.snapshots;
    d["untracked"] = t.untracked;
    d["agreements"] = t.agreements;
    d["disagreements"] = t.disagreements;
    d["stale_snapshots"] = t.stale_snapshots;
    d["resyncs"] = t.resyncs;
    d["gaps"] = t.gaps;
    d["missing"] = t.missing;
    d["late"] = t.late;
    d["restarts"] = t.restarts;
    d["filled"] = t.filled;
    d["held"] = t.held;
    d["held_overflows"] = t.held_overflows;
    d["unknown_refs"] = t.unknown_refs;
    d["ignored"] = t.ignored;
    d["securities"] = t.securities;
    d["stale"] = t.stale;
    d["resting_orders"] = t.resting_orders;
    return d;
  }

  pyb::list securities() {
    std::vector<std::pair<std::string, char>> v;
    {
      GilReleased unlocked;
      v = book_->Securities();
    }
    pyb::list out;
    for (const auto& s : v) out.append(pyb::make_tuple(s.first, std::string(1, s.second)));
    return out;
  }

  pyb::object pending_gap() {
    uint64_t b = 0, e = 0;
    bool pending;
    {
      GilReleased unlocked;
      pending = book_->PendingGap(&b, &e);
    }
    if (!pending) return pyb::none();
    return pyb::make_tuple(b, e);
  }

  void drop_gap() {
    GilReleased unlocked;
    book_->DropGap();
  }

 private:
  BookDetach detach_;
  std::shared_ptr<NativeBook> book_;
};

}  // namespace

pyb::object attach_book(const std::shared_ptr<NativeSession>& session, unsigned flags,
                        bool filtered) {
  auto book = std::make_shared<NativeBook>(flags, filtered);
  if (!book->ok()) return pyb::none();
  session->AttachBook(book);
  std::weak_ptr<NativeSession> feeder = session;
  BookDetach detach = [feeder](const NativeBook* b) {
    if (auto s = feeder.lock()) s->DetachBook(b);
  };
  return pyb::cast(BookCore(std::move(detach), std::move(book)));
}

pyb::object wrap_book(std::shared_ptr<NativeBook> book, BookDetach detach) {
  return pyb::cast(BookCore(std::move(detach), std::move(book)));
}

void bind_book(pyb::module_& m) {
  pyb::class_<BookCore>(m, "BookCore")
      .def("detach", &BookCore::detach)
      .def("levels", &BookCore::levels)
      .def("queue", &BookCore::queue)
      .def("last_trade", &BookCore::last_trade)
      .def("check", &BookCore::check)
      .def("totals", &BookCore::totals)
      .def("securities", &BookCore::securities)
      .def("pending_gap", &BookCore::pending_gap)
      .def("drop_gap", &BookCore::drop_gap);
  m.attr("BOOK_NO_SEQ_CHECK") = static_cast<int>(ZAVO_BOOK_NO_SEQ_CHECK);
  m.attr("BOOK_HOLD_GAPS") = static_cast<int>(ZAVO_BOOK_HOLD_GAPS);
}

}  // namespace py
}  // namespace zavo
