#include "api/session_skeleton.h"

#include "api/api_imp.h"
#include "api/control_channel.h"
#include "net/tcp_io.h"
#include "util/logger.h"

namespace zavo {

ZAVO_ERROR OpenSession(ApiImp* api, SessionLifecycle* lifecycle, FeedReceiver* receiver,
                       ControlChannel* control, TcpConnector* connector,
                       const SessionAddress& address) {
  const void* handle = api;
  if (address.cpu_id >= 0) receiver->set_cpu_id(address.cpu_id);
  const int rc = control->Connect(connector, address.server_ip, address.server_port, address.user,
                                  address.password);
  if (rc != 0) {
    ZAVO_LOG("%p[%s] Open TCP Session Error. %s", handle, api->ClassName(),
             get_uv_err_string(rc).c_str());
    return ZAVO_ERR_NETWORK;
  }
  ZAVO_LOG("%p[%s] Idle strategy: %s", handle, api->ClassName(),
           IdleModeName(receiver->idle_mode()));

  const ZAVO_ERROR result = control->Start();
  if (result == ZAVO_SUCCESS) lifecycle->MarkOpen();
  return result;
}

int JoinSessionFeed(FeedReceiver* receiver, const SessionAddress& address, std::string* why) {
  const int rc =
      receiver->JoinMulticase(address.group.c_str(), address.group_port, address.local_ip.c_str());
  if (rc != 0) *why = DescribeJoinFailure(address.group, address.group_port, address.local_ip, rc);
  return rc;
}

}  // namespace zavo
