#pragma once
// The API object behind a C handle. The handle is the object's address as an
// ApiImp*, so ApiImp must stay the first base of every concrete class. The
// C interface checks the mode with dynamic_cast and forwards to the virtual
// operations below; their order is fixed, concrete classes only override.
#include <cstdint>

#include "zavo_api.h"

namespace zavo {

class ApiImp {
 public:
  ApiImp() = default;
  ApiImp(const ApiImp&) = delete;
  ApiImp& operator=(const ApiImp&) = delete;

  // Releases the session's network parts and destroys the object.
  virtual void Release() = 0;
  // Stops receiving and stops the event loop; does not wait for it.
  virtual void Close() = 0;
  // Waits until the event loop thread has ended.
  virtual void Join() = 0;
  // Class name used in log lines.
  virtual const char* ClassName() const;
  // ConnectID of the settings the object was opened with.
  virtual int ConnectID() const = 0;
  virtual ~ApiImp();

  // Delivers a connection-state message (kind ZAVO_MSG_CONNECT) to the system
  // handler on the calling thread; the message and `result` live only for
  // the duration of the call. Does nothing while no system handler is set.
  void CallBack_SystemHandler(const ZAVO_ConnectResult& result) const;

  ZAVO_DataHandler data_handler() const { return data_handler_; }
  ZAVO_DataHandler system_handler() const { return system_handler_; }

 protected:
  // Open's check of the two required handlers, in this order; stores each
  // one that is given. Logs and returns ZAVO_ERR_INVALID for a null one.
  ZAVO_ERROR take_handlers(ZAVO_DataHandler data, ZAVO_DataHandler system);

  // Both stay null until Open stores the handlers from the settings.
  ZAVO_DataHandler data_handler_ = nullptr;
  ZAVO_DataHandler system_handler_ = nullptr;
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

// The process-wide one-time start-up: creates the library's Logger (console
// off), makes it the instance and starts it on "./logs/<start time>.log".
// Runs once per process however often it is called, from any thread.
void api_initer();

// The logger the start-up created; null before it ran. Never cleared.
class Logger;
Logger* ApiLogger();

// Local time of day as hhmmssmmm.
uint32_t local_time_of_day_ms();

}  // namespace zavo
