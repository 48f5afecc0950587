#pragma once
// Opening a session, the same for both modes once the mode has taken its
// own settings (handlers, filters):
//
//   OpenSession      pins the read thread, connects the control channel
//                    with the mode's connector, starts the loop, waits for
//                    the login's outcome and marks the session open;
//   JoinSessionFeed  on the first accepted login (loop thread), joins the
//                    multicast group of the settings.
//
// Shutting a session down is the other half (session_shutdown.h).
#include <cstdint>
#include <string>

#include "api/session_lifecycle.h"
#include "api/session_support.h"
#include "net/feed_receiver.h"
#include "zavo_api.h"

namespace zavo {

class ApiImp;
class ControlChannel;
class TcpConnector;

// Where a session's server and feed are, as its settings name them. Read
// once by Open, so nothing reads the caller's record afterwards.
struct SessionAddress {
  std::string server_ip;
  uint16_t server_port = 0;
  std::string user;
  std::string password;
  std::string group;
  uint16_t group_port = 0;
  std::string local_ip;
  int cpu_id = -1;  // the read thread's CPU; negative: not pinned
};

// Both settings records (ZAVO_OpenSetting, ZAVO_RawOpenSetting) name the
// same members.
template <class Setting>
SessionAddress AddressOf(const Setting& setting) {
  SessionAddress a;
  a.server_ip = SettingText(setting.ServerIP);
  a.server_port = setting.ServerPort;
  a.user = SettingText(setting.UserName);
  a.password = SettingText(setting.Password);
  a.group = SettingText(setting.MulticastIP);
  a.group_port = setting.MulticastPort;
  a.local_ip = SettingText(setting.LocalIP);
#ifndef _WIN32
  a.cpu_id = setting.CpuID;
#endif
  return a;
}

// The rest of Open after the mode's settings were taken. `connector` is
// the mode's connector, made on control->loop(); the channel owns it from
// here on, also when this fails. ZAVO_ERR_NETWORK when the first attempt
// cannot even start; otherwise the login's outcome (ControlChannel::Start).
ZAVO_ERROR OpenSession(ApiImp* api, SessionLifecycle* lifecycle, FeedReceiver* receiver,
                       ControlChannel* control, TcpConnector* connector,
                       const SessionAddress& address);

// Joins the feed of `address`; 0, or a negative code with *why saying what
// failed and what usually causes it.
int JoinSessionFeed(FeedReceiver* receiver, const SessionAddress& address, std::string* why);

}  // namespace zavo
