// zavo._native: the compiled half of the Python package. The Python half
// (zavo/__init__.py) gives the API its shape and documentation; this file
// only moves bytes and waits, always with the interpreter lock released
// while it waits and never holding it on the library's threads.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "book_binding.h"
#include "capture_core.h"
#include "gil_released.h"
#include "layouts.h"
#include "native_session.h"
#include "row_batch.h"
#include "zavo_api.h"
#include "zavo_defaults.h"

namespace pyb = pybind11;
using zavo::py::GilReleased;
using zavo::py::NativeSession;
using zavo::py::SessionSettings;

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// How long one wait sleeps at most before looking for Ctrl-C.
constexpr Ms kSlice{50};

pyb::object& error_class() {
  static pyb::object* cls = nullptr;
  if (!cls) cls = new pyb::object(pyb::module_::import("zavo._errors").attr("Error"));
  return *cls;
}

pyb::object& closed_class() {
  static pyb::object* cls = nullptr;
  if (!cls) cls = new pyb::object(pyb::module_::import("zavo._errors").attr("ClosedError"));
  return *cls;
}

[[noreturn]] void raise_with(pyb::object& cls, int code, const std::string& text) {
  pyb::object e = cls(code, text);
  PyErr_SetObject(cls.ptr(), e.ptr());
  throw pyb::error_already_set();
}

std::string error_text(int code) {
  switch (code) {
    case ZAVO_SUCCESS:
      return "success";
    case ZAVO_ERR_BUSY:
      return "a retransmission of this session is still in progress";
    case ZAVO_ERR_INVALID:
      return "invalid argument, handle or subscription text";
    case ZAVO_ERR_NETWORK:
      return "network failure: no connection, refused login or failed join";
    default:
      return "error " + std::to_string(code);
  }
}

[[noreturn]] void raise_error(int code, const std::string& what) {
  raise_with(error_class(), code, what + ": " + error_text(code));
}

// Waits for `ready(slice)` with the interpreter lock released, in slices so
// that Ctrl-C (and any other Python signal handler) runs within a fraction
// of a second: a handler that raises ends the wait with its exception.
// `timeout` None waits without limit. True when ready.
template <class F>
bool wait_interruptible(const pyb::object& timeout, F ready) {
  bool forever = timeout.is_none();
  double seconds = forever ? 0.0 : std::max(0.0, timeout.cast<double>());
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(forever ? 0.0 : seconds));
  for (;;) {
    Ms slice = kSlice;
    if (!forever) {
      auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
      if (left < Ms(0)) left = Ms(0);
      slice = std::min(slice, left);
    }
    bool ok;
    {
      GilReleased unlocked;
      ok = ready(slice);
    }
    if (ok) return true;
    if (PyErr_CheckSignals() != 0) throw pyb::error_already_set();
    if (!forever && Clock::now() >= deadline) return false;
  }
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

std::string c_text(const char* p, size_t cap) {
  return std::string(p, strnlen(p, cap));
}

pyb::str py_text(const char* p, size_t cap) {
  std::string s = c_text(p, cap);
  return pyb::reinterpret_steal<pyb::str>(
      PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

template <class T>
T load(const std::string& bytes) {
  T v;
  std::memset(&v, 0, sizeof v);
  std::memcpy(&v, bytes.data(), std::min(bytes.size(), sizeof v));
  return v;
}

pyb::dict event_dict(const zavo::py::SystemEvent& e) {
  pyb::dict d;
  d["index"] = e.index;
  d["time"] = e.time;
  switch (e.kind) {
    case ZAVO_MSG_CONNECT: {
      auto r = load<ZAVO_ConnectResult>(e.record);
      d["kind"] = "connect";
      d["address"] = py_text(r.Address, sizeof r.Address);
      d["port"] = r.Port;
      d["state"] = r.State;
      break;
    }
    case ZAVO_MSG_DISCONNECT: {
      auto r = load<ZAVO_DisconnectResult>(e.record);
      d["kind"] = "disconnect";
      d["address"] = py_text(r.Address, sizeof r.Address);
      d["port"] = r.Port;
      break;
    }
    case ZAVO_MSG_LOGIN: {
      auto r = load<ZAVO_LoginResult>(e.record);
      d["kind"] = "login";
      d["address"] = py_text(r.Address, sizeof r.Address);
      d["port"] = r.Port;
      d["error_id"] = r.ErrorID;
      d["error_msg"] = py_text(r.ErrorMsg, sizeof r.ErrorMsg);
      pyb::list items;
      for (unsigned i = 0; i < std::min<unsigned>(r.ItemCount, 6); ++i) {
        items.append(py_text(r.Items[i], sizeof r.Items[i]));
      }
      d["items"] = items;
      break;
    }
    case ZAVO_MSG_BASEINFO_FINISH: {
      auto r = load<ZAVO_BaseInfoFinish>(e.record);
      d["kind"] = "code_tables";
      pyb::dict markets;
      for (unsigned i = 0; i < std::min<unsigned>(r.MarketCount, 8); ++i) {
        pyb::dict m;
        m["codes"] = r.CodeCount[i];
        m["update"] = r.LastUpdate[i];
        markets[py_text(r.Markets[i], sizeof r.Markets[i])] = m;
      }
      d["markets"] = markets;
      break;
    }
    case ZAVO_MSG_REBUILD_FINISH: {
      auto r = load<ZAVO_RebuildResult>(e.record);
      d["kind"] = "rebuild_finish";
      d["begin"] = r.BeginSeq;
      d["end"] = r.EndSeq;
      d["status"] = r.Status;
      break;
    }
    case ZAVO_MSG_LOST_RANGE: {
      auto r = load<ZAVO_LostRange>(e.record);
      static const char* const kReasons[] = {"unknown",   "refused",   "unavailable", "timeout",
                                             "hold_full", "abandoned", "new_day"};
      d["kind"] = "lost";
      d["begin"] = r.BeginSeq;
      d["end"] = r.EndSeq;
      d["reason"] = kReasons[r.Reason <= 6 ? r.Reason : 0];
      break;
    }
    case ZAVO_MSG_OPEN_FAILED: {
      auto r = load<ZAVO_OpenFailure>(e.record);
      d["kind"] = "open_failed";
      d["step"] = r.Step;
      d["system_error"] = r.SystemError;
      d["reason"] = py_text(r.Reason, sizeof r.Reason);
      break;
    }
    default:
      d["kind"] = "unknown";
      d["type"] = e.kind;
      break;
  }
  return d;
}

uint32_t event_kind(const std::string& name) {
  if (name.empty() || name == "any") return 0;
  if (name == "connect") return ZAVO_MSG_CONNECT;
  if (name == "disconnect") return ZAVO_MSG_DISCONNECT;
  if (name == "login") return ZAVO_MSG_LOGIN;
  if (name == "code_tables") return ZAVO_MSG_BASEINFO_FINISH;
  if (name == "rebuild_finish") return ZAVO_MSG_REBUILD_FINISH;
  if (name == "open_failed") return ZAVO_MSG_OPEN_FAILED;
  if (name == "lost") return ZAVO_MSG_LOST_RANGE;
  throw pyb::value_error(
      "unknown event kind '" + name +
      "' (connect, disconnect, login, code_tables, rebuild_finish, open_failed, lost)");
}

// Takes up to `max` struct records out of `q` into rows grouped by kind
// (see RowBatch).
pyb::tuple take_struct(zavo::py::RecordQueue& q, size_t max) {
  zavo::py::RowBatch batch;
  {
    GilReleased unlocked;
    q.Take(max, [&](const zavo::py::QueuedRecord& r) {
      batch.Add(r.kind, r.data, r.size, r.seq, r.time);
    });
  }
  return batch.Release();
}

// Raw messages: a list of (exchange character, seq, time, bytes).
pyb::list take_raw(zavo::py::RecordQueue& q, size_t max) {
  pyb::list out;
  q.Take(max, [&](const zavo::py::QueuedRecord& r) {
    char ex = static_cast<char>((r.kind >> 16) & 0xff);
    out.append(pyb::make_tuple(std::string(1, ex), r.seq, r.time, pyb::bytes(r.data, r.size)));
  });
  return out;
}

class Core {
 public:
  Core(bool raw, std::string server_ip, uint16_t server_port, std::string group_ip,
       uint16_t group_port, std::string local_ip, std::string user, std::string password,
       std::string markets, std::string codes, uint32_t flags, int32_t cpu, size_t queue_records,
       size_t queue_bytes) {
    SessionSettings s;
    s.raw = raw;
    s.server_ip = std::move(server_ip);
    s.server_port = server_port;
    s.group_ip = std::move(group_ip);
    s.group_port = group_port;
    s.local_ip = std::move(local_ip);
    s.user = std::move(user);
    s.password = std::move(password);
    s.markets = std::move(markets);
    s.codes = std::move(codes);
    s.flags = flags;
    s.cpu = cpu;
    s.queue_records = queue_records;
    s.queue_bytes = queue_bytes;
    s_ = std::make_shared<NativeSession>(s);
  }

  // Garbage collection of an open session closes it. ZAVO_Wait joins the
  // library's threads, which never need the interpreter lock, so the lock is
  // let go for it, except while the interpreter itself is shutting down,
  // when no other Python thread may run again anyway.
  ~Core() {
    if (interpreter_finalizing()) {
      s_.reset();
      return;
    }
    GilReleased unlocked;
    s_.reset();
  }
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  void open(const pyb::object& timeout) {
    s_->StartOpen();
    int err = 0;
    bool done = false;
    try {
      done = wait_interruptible(timeout, [&](Ms slice) { return s_->WaitOpen(slice, &err); });
    } catch (...) {
      s_->Abandon();
      throw;
    }
    if (!done) {
      s_->Abandon();
      raise_with(error_class(), ZAVO_ERR_NETWORK,
                 "open: no answer from the server within the open timeout");
    }
    if (err != ZAVO_SUCCESS) {
      // The library says which step failed and why just before the open
      // returns; the error carries its words.
      for (const zavo::py::SystemEvent& e : s_->Events(0)) {
        if (e.kind != ZAVO_MSG_OPEN_FAILED || e.record.size() < sizeof(ZAVO_OpenFailure)) continue;
        ZAVO_OpenFailure f;
        std::memcpy(&f, e.record.data(), sizeof f);
        raise_with(error_class(), err,
                   "open: " + std::string(f.Reason, strnlen(f.Reason, sizeof f.Reason)));
      }
      raise_error(err, "open");
    }
  }

  void close() {
    {
      GilReleased unlocked;
      s_->Close();
    }
    // Another thread may be closing it right now: wait for that to end.
    wait_interruptible(pyb::none(), [&](Ms slice) { return s_->WaitClosed(slice); });
  }

  bool closed() const {
    auto st = s_->state();
    return st == NativeSession::State::kClosed || st == NativeSession::State::kClosing ||
           st == NativeSession::State::kFailed;
  }

  // (records, order, closed): closed is true when the session is closed and
  // nothing was left to take.
  pyb::tuple read(const pyb::object& timeout, size_t max) {
    auto& q = s_->queue();
    wait_interruptible(timeout, [&](Ms slice) { return q.Wait(slice); });
    if (s_->settings().raw) {
      pyb::list msgs = take_raw(q, max);
      bool ended = msgs.empty() && q.closed() && q.size() == 0;
      return pyb::make_tuple(msgs, pyb::none(), ended);
    }
    pyb::tuple t = take_struct(q, max);
    bool ended = pyb::len(t[1]) == 0 && q.closed() && q.size() == 0;
    return pyb::make_tuple(t[0], t[1], ended);
  }

  pyb::list events(uint64_t since) const {
    pyb::list out;
    for (const auto& e : s_->Events(since)) out.append(event_dict(e));
    return out;
  }

  pyb::object wait_event(const std::string& kind, uint64_t since, const pyb::object& timeout) {
    uint32_t k = event_kind(kind);
    zavo::py::SystemEvent e;
    bool got =
        wait_interruptible(timeout, [&](Ms slice) { return s_->WaitEvent(k, since, slice, &e); });
    if (!got) return pyb::none();
    return event_dict(e);
  }

  pyb::tuple rebuild(const std::string& market, uint64_t begin, uint64_t end,
                     const pyb::object& timeout) {
    char m = market.empty() ? '0' : market[0];
    int e;
    {
      GilReleased unlocked;
      e = s_->StartRebuild(m, begin, end);
    }
    if (e != ZAVO_SUCCESS) raise_error(e, "rebuild");
    uint32_t status = 0;
    bool done;
    try {
      done = wait_interruptible(timeout, [&](Ms slice) { return s_->WaitRebuild(slice, &status); });
    } catch (...) {
      s_->CancelRebuild();
      throw;
    }
    if (!done) {
      s_->CancelRebuild();
      PyErr_SetString(PyExc_TimeoutError, "rebuild: the end of the retransmission did not arrive");
      throw pyb::error_already_set();
    }
    auto& q = s_->rebuild_queue();
    if (closed() && q.size() == 0) {
      raise_with(closed_class(), ZAVO_ERR_INVALID, "rebuild: the session was closed");
    }
    pyb::object records = s_->settings().raw ? pyb::object(take_raw(q, SIZE_MAX))
                                             : pyb::object(take_struct(q, SIZE_MAX));
    return pyb::make_tuple(records, status);
  }

  pyb::bytes code_table(const std::string& market) {
    std::string out;
    int e;
    {
      GilReleased unlocked;
      e = s_->CodeTable(market, &out);
    }
    if (e != ZAVO_SUCCESS) raise_error(e, "code table of '" + market + "'");
    return pyb::bytes(out);
  }

  pyb::object option_info(const std::string& code) {
    std::string out;
    int e;
    {
      GilReleased unlocked;
      e = s_->OptionInfo(code, &out);
    }
    if (e == ZAVO_ERR_INVALID && !closed()) return pyb::none();  // unknown or malformed code
    if (e != ZAVO_SUCCESS) raise_error(e, "option code '" + code + "'");
    return pyb::bytes(out);
  }

  pyb::bytes last(uint32_t kind, const std::string& market) {
    std::string out;
    int e;
    {
      GilReleased unlocked;
      e = s_->LastData(kind, market, &out);
    }
    if (e != ZAVO_SUCCESS) raise_error(e, "last snapshots of '" + market + "'");
    return pyb::bytes(out);
  }

  void update_subscription(int mode, const std::string& codes) {
    int e;
    {
      GilReleased unlocked;
      e = s_->UpdateSubscription(mode, codes);
    }
    if (e != ZAVO_SUCCESS) raise_error(e, "update_subscription");
  }

  // A book fed from this session's data handler (struct mode only).
  pyb::object attach_book(unsigned flags, bool filtered) {
    if (s_->settings().raw) {
      raise_with(error_class(), ZAVO_ERR_INVALID, "a book needs a struct-mode session");
    }
    pyb::object b = zavo::py::attach_book(s_, flags, filtered);
    if (b.is_none()) throw std::bad_alloc();
    return b;
  }

  pyb::dict stats() const {
    zavo::py::SessionCounters c = s_->Counters();
    pyb::dict by_type;
    for (int k = 0; k < 7; ++k) by_type[pyb::int_(ZAVO_MSG_INDEX_SNAPSHOT + k)] = c.by_kind[k];
    by_type[pyb::int_(static_cast<int>(ZAVO_MSG_RAW_DATA))] = c.by_kind[7];
    pyb::dict d;
    d["by_type"] = by_type;
    d["raw_sh"] = c.raw_by_exchange[0];
    d["raw_sz"] = c.raw_by_exchange[1];
    d["gaps"] = c.gaps;
    d["missing"] = c.missing;
    d["dropped"] = c.dropped;
    d["rebuild_dropped"] = c.rebuild_dropped;
    d["queued"] = c.queued;
    if (c.have_feed) {
      const ZAVO_FeedStats& f = c.feed;
      pyb::dict feed;
      feed["datagrams"] = f.Datagrams;
      feed["bytes"] = f.Bytes;
      feed["fields"] = f.Fields;
      feed["delivered"] = f.Delivered;
      feed["filtered"] = f.Filtered;
      feed["gaps"] = f.Gaps;
      feed["missing"] = f.Missing;
      feed["recovered"] = f.Recovered;
      feed["lost"] = f.Lost;
      feed["duplicates"] = f.Duplicates;
      feed["queue_drops"] = f.QueueDrops;
      feed["queue_peak_bytes"] = f.QueuePeakBytes;
      feed["takeovers"] = f.TakeOvers;
      feed["kernel_drops"] = f.KernelDrops;
      feed["reconnects"] = f.Reconnects;
      feed["held_peak_bytes"] = f.HeldPeakBytes;
      if (f.LastDatagramAgeMs != 0xFFFFFFFFu) {
        feed["last_datagram_age_ms"] = f.LastDatagramAgeMs;
      } else {
        feed["last_datagram_age_ms"] = pyb::none();
      }
      d["feed"] = feed;
    }
    return d;
  }

 private:
  std::shared_ptr<NativeSession> s_;
};

pyb::dict layouts() {
  pyb::dict out;
  for (const auto& l : zavo::py::RecordLayouts()) {
    pyb::list names, formats, offsets;
    for (const auto& f : l.fields) {
      names.append(f.name);
      formats.append(f.format);
      offsets.append(f.offset);
    }
    pyb::dict d;
    d["names"] = names;
    d["formats"] = formats;
    d["offsets"] = offsets;
    d["itemsize"] = l.itemsize;
    d["msg_type"] = l.msg_type;
    d["row_record_bytes"] = zavo::py::RowRecordBytes(l.itemsize);
    out[pyb::str(l.kind)] = d;
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "Compiled core of the zavo package; use the zavo module instead.";
  m.def("version", [] { return std::string(ZAVO_Version()); });
  // The addresses the simulator and every other program use by default, so
  // that a Session with no arguments meets a zavo_sim started with none.
  pyb::dict defaults;
  auto addr = [](const char* ip, int port) { return std::string(ip) + ":" + std::to_string(port); };
  defaults["server"] = addr(ZAVO_DEFAULT_SERVER_IP, ZAVO_DEFAULT_SERVER_PORT);
  defaults["group"] = addr(ZAVO_DEFAULT_GROUP_IP, ZAVO_DEFAULT_STRUCT_PORT);
  defaults["raw_group"] = addr(ZAVO_DEFAULT_GROUP_IP, ZAVO_DEFAULT_RAW_PORT);
  defaults["interface"] = ZAVO_DEFAULT_INTERFACE_IP;
  defaults["user"] = ZAVO_DEFAULT_USER;
  defaults["password"] = ZAVO_DEFAULT_PASSWORD;
  m.attr("DEFAULTS") = defaults;
  m.def("layouts", &layouts);
  m.def("wait_abandoned", [](double seconds) {
    GilReleased unlocked;
    NativeSession::WaitAbandoned(Ms(static_cast<int64_t>(seconds * 1000)));
  });
  pyb::class_<Core>(m, "Core")
      .def(pyb::init<bool, std::string, uint16_t, std::string, uint16_t, std::string, std::string,
                     std::string, std::string, std::string, uint32_t, int32_t, size_t, size_t>())
      .def("open", &Core::open)
      .def("close", &Core::close)
      .def_property_readonly("closed", &Core::closed)
      .def("read", &Core::read)
      .def("events", &Core::events)
      .def("wait_event", &Core::wait_event)
      .def("rebuild", &Core::rebuild)
      .def("code_table", &Core::code_table)
      .def("option_info", &Core::option_info)
      .def("last", &Core::last)
      .def("update_subscription", &Core::update_subscription)
      .def("attach_book", &Core::attach_book)
      .def("stats", &Core::stats);
  zavo::py::bind_book(m);
  zavo::py::bind_capture(m);
}
