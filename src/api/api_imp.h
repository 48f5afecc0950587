#pragma once
// The API object behind a C handle. The handle is the object's address as an
// ApiImp*, so ApiImp must stay the first base of every concrete class. The
// C interface checks the mode with dynamic_cast and forwards to the virtual
// operations below; their order is fixed, concrete classes only override.
#include <atomic>
#include <cstdint>

#include "api/session_lifecycle.h"
#include "zavo_api.h"

namespace zavo {

class ApiImp {
 public:
  ApiImp() = default;
  ApiImp(const ApiImp&) = delete;
  ApiImp& operator=(const ApiImp&) = delete;

  // After Join: releases what the threads used (connector, stores) and
  // destroys the object.
  virtual void Release() = 0;
  // Signals every thread of the session to end (feed, processing, loop).
  // Any thread, any number of times, also from inside a handler; from
  // outside the session's threads it also waits for the feed to stop.
  virtual void Close() = 0;
  // Closes if nobody did, then joins every thread of the session. Never
  // from a handler of the same session.
  virtual void Join() = 0;
  // Class name used in log lines.
  virtual const char* ClassName() const;
  // ConnectID of the settings the object was opened with.
  virtual int ConnectID() const = 0;
  virtual ~ApiImp();

  // Calls `handler` with `record` of `size` bytes as message `kind`, with
  // the session's ConnectID. Does nothing for a null handler. The message
  // lives only during the call. While it runs, the calling thread counts as
  // inside a handler of this session (see InHandler).
  // Inline: it lies on the per-record path of every data handler call.
  inline void deliver(ZAVO_DataHandler handler, uint32_t kind, uint32_t size, uint32_t msg_time,
                      uint64_t seq, const void* record) const;
  // The one place that builds a ZAVO_MSG and calls a handler, for a caller
  // that holds a HandlerMark for this session (the data path marks its
  // thread once per datagram, not once per record) and has read
  // ConnectID() once for a whole run of records. `handler` is not null.
  inline void deliver_marked(ZAVO_DataHandler handler, int connect_id, uint32_t kind, uint32_t size,
                             uint32_t msg_time, uint64_t seq, const void* record) const;
  // A message for the system handler: local time of day, sequence 0.
  void deliver_system(uint32_t kind, uint32_t size, const void* record) const;
  // Delivers a connection-state message (kind ZAVO_MSG_CONNECT) to the system
  // handler on the calling thread; the message and `result` live only for
  // the duration of the call. Does nothing while no system handler is set.
  void CallBack_SystemHandler(const ZAVO_ConnectResult& result) const;
  // The calling thread is inside a handler call of this session, which
  // must never wait for the session's own threads.
  bool InHandler() const;
  // Inside a catch block of deliver_marked: logs what `handler` threw for a
  // message of `kind`, the first time and then at most once per interval
  // with the number of exceptions left unlogged in between.
  void handler_threw(ZAVO_DataHandler handler, uint32_t kind) const noexcept;
  static constexpr int kHandlerErrorLogIntervalMs = 10000;

  const SessionLifecycle& lifecycle() const { return lifecycle_; }
  ZAVO_DataHandler data_handler() const { return data_handler_; }
  ZAVO_DataHandler system_handler() const { return system_handler_; }

 protected:
  // Open's check of the two required handlers, in this order; stores each
  // one that is given. Logs and returns ZAVO_ERR_INVALID for a null one.
  ZAVO_ERROR take_handlers(ZAVO_DataHandler data, ZAVO_DataHandler system);

  // Both stay null until Open stores the handlers from the settings.
  ZAVO_DataHandler data_handler_ = nullptr;
  ZAVO_DataHandler system_handler_ = nullptr;
  SessionLifecycle lifecycle_;

 private:
  // handler_threw's rate limit, per handler kind (data, system, rebuild):
  // when it last wrote a line (steady clock, ms; -1 never) and how many
  // exceptions it left out since.
  mutable std::atomic<int64_t> handler_error_line_ms_[3] = {{-1}, {-1}, {-1}};
  mutable std::atomic<uint64_t> handler_errors_unlogged_[3] = {{0}, {0}, {0}};
};

// Struct mode: typed records, caches, code tables, subscriptions.
class StructApiImp : public ApiImp {
 public:
  const char* ClassName() const override;

  virtual ZAVO_ERROR Open(const ZAVO_OpenSetting& setting) = 0;
  virtual ZAVO_ERROR GetCodeTable(const char* market, ZAVO_CODEINFO** table,
                                  unsigned int* count) = 0;
  virtual ZAVO_ERROR GetOptionCodeInfo(const char* code, ZAVO_OPTION_CODEINFO* info) = 0;
  virtual ZAVO_ERROR UpdateSubscription(ZAVO_SUBSCRIPTION_UPDATE mode, const char* codes) = 0;
  virtual ZAVO_ERROR GetLastMarketData(const char* market, ZAVO_SecuritySnapShot** data,
                                       int* count) = 0;
  virtual ZAVO_ERROR GetLastIndexData(const char* market, ZAVO_IndexSnapShot** data,
                                      int* count) = 0;
  virtual ZAVO_ERROR GetLastFutureData(const char* market, ZAVO_FutureSnapShot** data,
                                       int* count) = 0;
  // Resends fields [begin_seq, end_seq) to `handler`.
  virtual ZAVO_ERROR Rebuild(uint64_t begin_seq, uint64_t end_seq, ZAVO_DataHandler handler) = 0;
};

// Raw mode: the exchanges' own messages, reassembled.
class RawApiImp : public ApiImp {
 public:
  const char* ClassName() const override;

  virtual ZAVO_ERROR Open(const ZAVO_RawOpenSetting& setting) = 0;
  // Resends the messages [begin_seq, end_seq) of `market` ('1' or '2').
  virtual ZAVO_ERROR Rebuild(char market, uint64_t begin_seq, uint64_t end_seq,
                             ZAVO_DataHandler handler) = 0;
};

// The session whose handler the current thread is running, if any. A plain
// thread-local word (no C++ initialisation wrapper). Initial-exec: inside
// the shared object the general model costs a call to __tls_get_addr per
// access; these eight bytes fit the static TLS that the loader keeps for
// libraries loaded later, as with dlopen.
#if defined(__ELF__)
#define ZAVO_TLS_INITIAL_EXEC __attribute__((tls_model("initial-exec")))
#else
#define ZAVO_TLS_INITIAL_EXEC
#endif
extern __thread const ApiImp* t_in_handler ZAVO_TLS_INITIAL_EXEC;

// Marks the calling thread as inside a handler of `api` for the scope's
// lifetime. The previous mark is restored, not cleared: a handler of one
// session may run a nested call that delivers for another.
class HandlerMark {
 public:
  explicit HandlerMark(const ApiImp* api) : outer_(t_in_handler) { t_in_handler = api; }
  ~HandlerMark() { t_in_handler = outer_; }
  HandlerMark(const HandlerMark&) = delete;
  HandlerMark& operator=(const HandlerMark&) = delete;

 private:
  const ApiImp* outer_;
};

void ApiImp::deliver(ZAVO_DataHandler handler, uint32_t kind, uint32_t size, uint32_t msg_time,
                     uint64_t seq, const void* record) const {
  if (handler == nullptr) return;
  HandlerMark mark(this);
  deliver_marked(handler, ConnectID(), kind, size, msg_time, seq, record);
}

// The one place that builds a ZAVO_MSG and calls a handler with it, as
// `handle`'s. The one guarded handler call: a C++ exception thrown by user
// code must neither end the calling thread nor stop the delivery that
// follows; `on_throw` runs inside the catch block (so it may rethrow to
// learn what was thrown).
template <class OnThrow>
inline void CallHandler(void* handle, ZAVO_DataHandler handler, int connect_id, uint32_t kind,
                        uint32_t size, uint32_t msg_time, uint64_t seq, const void* record,
                        OnThrow&& on_throw) {
  ZAVO_MSG msg;
  msg.MsgType = kind;
  msg.MsgSize = size;
  msg.MsgTime = msg_time;
  msg.ConnectID = connect_id;
  msg.SeqNum = seq;
  msg.MsgData = record;
  try {
    handler(handle, &msg);
  } catch (...) {
    on_throw();
  }
}

void ApiImp::deliver_marked(ZAVO_DataHandler handler, int connect_id, uint32_t kind, uint32_t size,
                            uint32_t msg_time, uint64_t seq, const void* record) const {
  CallHandler(const_cast<void*>(static_cast<const void*>(this)), handler, connect_id, kind, size,
              msg_time, seq, record, [&] { handler_threw(handler, kind); });
}

// The process-wide one-time start-up: creates the library's Logger (console
// off), makes it the instance and starts it on "./logs/<start time>.log".
// Runs once per process however often it is called, from any thread.
void api_initer();
// The library's end (unload or process exit): the logger's worker is
// joined and what it holds written; later lines are discarded.
void api_finish();

// The logger the start-up created; null before it ran. Never cleared.
class Logger;
Logger* ApiLogger();

// Local time of day as hhmmssmmm.
uint32_t local_time_of_day_ms();

}  // namespace zavo
