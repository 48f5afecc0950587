#pragma once
// The tests' one door into the sessions' internals: the data path without a
// feed, the settings without a connection, and the raw session's control
// connection. Declared a friend by UdpStructApiImp and UdpRawApiImp, so
// production code carries no accessors that exist only for tests.
#include <cstddef>
#include <cstring>
#include <ctime>

#include "api/raw_rebuild_session.h"
#include "api/session_support.h"
#include "api/udp_api_imp.h"
#include "api/udp_raw_api_imp.h"

namespace zavo {

struct SessionPeer {
  // Open gives up waiting for the login answer after this long (0 or less
  // restores the default).
  static void SetLoginTimeout(int timeout_ms) { SetLoginTimeoutMs(timeout_ms); }

  // ---- struct mode ----

  // Takes the handlers, the delivery flags and the subscriptions of
  // `setting` exactly as Open does, without connecting or joining.
  static ZAVO_ERROR SetDataPath(UdpStructApiImp* api, const ZAVO_OpenSetting& setting) {
    api->setting_ = setting;
    return api->take_data_settings();
  }
  // The processing thread's work for one datagram, on the calling thread;
  // only for a session that receives no feed. Without `taken_at`, the wall
  // clock is read as the processing thread reads it.
  static void ProcessDatagram(UdpStructApiImp* api, const char* data, size_t size) {
    api->process_datagram(data, size);
  }
  static void ProcessDatagram(UdpStructApiImp* api, const char* data, size_t size,
                              const timespec& taken_at) {
    api->process_datagram(data, size, taken_at);
  }
  static StructDecoder& Decoder(UdpStructApiImp* api) { return api->decoder_; }

  // ---- raw mode ----

  // Enables the markets of a list such as "SH;SZ" as Open does (false for a
  // list Open refuses).
  static bool EnableMarkets(UdpRawApiImp* api, const char* markets) {
    return api->decoder_.EnableMarkets(markets);
  }
  // The read thread's work for one datagram; the bytes consumed.
  static size_t ConsumeDatagram(UdpRawApiImp* api, const char* data, size_t len) {
    return api->consume_datagram(data, len);
  }
  // The loop the control connection lives on, the connection itself (null
  // when not open) and the replay request state Rebuild fills.
  static EvLoop* Loop(const UdpRawApiImp* api) { return api->control_.loop(); }
  static RawDataRebuildSession* Session(const UdpRawApiImp* api) {
    return static_cast<RawDataRebuildSession*>(api->control_.connector());
  }
  static RebuildState& Rebuild(UdpRawApiImp* api) { return api->control_.rebuild_state(); }

  // ---- both modes ----

  // The control channel, for driving the loop side as the connectors do.
  static ControlChannel& Control(UdpStructApiImp* api) { return api->control_; }
  static ControlChannel& Control(UdpRawApiImp* api) { return api->control_; }
};

}  // namespace zavo
