// The raw-mode control connection: a byte stream mixing struct packets
// (login replies, end of a replay) and raw data packets (replayed messages),
// with garbage in between. Bytes arrive in pieces whose sizes come from the
// first two input bytes and are framed the way the transport does it (call
// again while bytes are consumed, keep the rest for the next read). The third
// byte decides whether a replay is in progress and over which range.
//
// The session must never sit on enough bytes to make progress while asking
// for more, and everything it delivers must be within bounds: replayed
// messages inside the requested range and read whole, system records as
// declared.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "api/raw_rebuild_session.h"
#include "api/udp_raw_api_imp.h"
#include "fuzz_check.h"
#include "proto/sys_field.h"
#include "support/session_peer.h"

using namespace zavo;

namespace {

struct State {
  const void* handle = nullptr;
  RebuildState::Request req;
  bool ended = false;  // the replay's end record came
  unsigned replayed = 0;
  unsigned logins = 0;
};
State g_state;

bool terminated(const char* text, size_t cap) {
  return std::memchr(text, 0, cap) != nullptr;
}

void on_replay(void* handle, const ZAVO_MSG* msg) {
  ZAVO_FUZZ_CHECK(handle == g_state.handle && !g_state.ended);
  ZAVO_FUZZ_CHECK(msg->MsgType == ZAVO_MSG_RAW_DATA && msg->MsgSize == sizeof(ZAVO_RawDataRef));
  ZAVO_FUZZ_CHECK(msg->SeqNum >= g_state.req.begin && msg->SeqNum < g_state.req.end);
  ZAVO_RawDataRef ref;
  std::memcpy(&ref, msg->MsgData, sizeof ref);
  ZAVO_FUZZ_CHECK(ref.ExchangeID == '1' || ref.ExchangeID == '2');
  ZAVO_FUZZ_CHECK(ref.Length == 0 || ref.Data != nullptr);
  const std::string bytes(static_cast<const char*>(ref.Data), ref.Length);
  ++g_state.replayed;
}

void on_system(void* handle, const ZAVO_MSG* msg) {
  ZAVO_FUZZ_CHECK(handle == g_state.handle && msg->MsgData != nullptr);
  switch (msg->MsgType) {
    case ZAVO_MSG_LOGIN: {
      ZAVO_FUZZ_CHECK(msg->MsgSize == sizeof(ZAVO_LoginResult));
      ZAVO_LoginResult r;
      std::memcpy(&r, msg->MsgData, sizeof r);
      ZAVO_FUZZ_CHECK(terminated(r.Address, sizeof r.Address));
      ZAVO_FUZZ_CHECK(terminated(r.ErrorMsg, sizeof r.ErrorMsg));
      // Items as in struct mode: at most six, none on a refusal.
      ZAVO_FUZZ_CHECK(r.ItemCount <= 6 && (r.ErrorID == 0 || r.ItemCount == 0));
      ++g_state.logins;
      break;
    }
    case ZAVO_MSG_REBUILD_FINISH: {
      ZAVO_FUZZ_CHECK(msg->MsgSize == sizeof(ZAVO_RebuildResult));
      ZAVO_RebuildResult r;
      std::memcpy(&r, msg->MsgData, sizeof r);
      if (!g_state.ended) {
        ZAVO_FUZZ_CHECK(r.BeginSeq == g_state.req.begin && r.EndSeq == g_state.req.end);
      } else {
        // A second end record finds no request any more.
        ZAVO_FUZZ_CHECK(r.BeginSeq == 0 && r.EndSeq == 0);
      }
      g_state.ended = true;
      break;
    }
    default:
      ZAVO_FUZZ_CHECK(!"unexpected system message");
  }
}

class RawProbe : public UdpRawApiImp {
 public:
  RawProbe() { system_handler_ = &on_system; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > 200000) return 0;
  const unsigned step_a = 1u + data[0];
  const unsigned step_b = 1u + data[1];
  const uint8_t mode = data[2];
  const char* stream = reinterpret_cast<const char*>(data + 3);
  const size_t total = size - 3;

  g_state = State();
  RawProbe* api = new RawProbe();
  g_state.handle = static_cast<ApiImp*>(api);
  // A refused login settles the open result: no later answer joins a feed.
  RspUserLoginField refused;
  refused.ErrorID = 3;
  SessionPeer::Control(api).OnLoginReply(refused);
  ZAVO_FUZZ_CHECK(g_state.logins == 1);
  if (mode & 1) {
    g_state.req.begin = (mode & 2) ? 100 : 0;
    g_state.req.end = (mode & 2) ? 200 : UINT64_MAX;
    g_state.req.handler = &on_replay;
    ZAVO_FUZZ_CHECK(SessionPeer::Rebuild(api).TryStart(g_state.req.begin, g_state.req.end,
                                                       &on_replay) == ZAVO_SUCCESS);
  } else {
    g_state.ended = true;  // nothing may be replayed
  }

  RawDataRebuildSession* session =
      new RawDataRebuildSession(SessionPeer::Loop(api), &SessionPeer::Control(api));
  std::string pending;
  size_t fed = 0;
  for (unsigned round = 0; fed < total && round < 200000; ++round) {
    const size_t piece = (round % 2) ? step_b : step_a;
    const size_t n = piece < total - fed ? piece : total - fed;
    pending.append(stream + fed, n);
    fed += n;
    for (int guard = 0; guard < 200000 && !pending.empty(); ++guard) {
      const TcpIO::DataResult r = session->OnData(pending.data(), pending.size());
      ZAVO_FUZZ_CHECK(r.first <= pending.size());
      if (r.first == 0) {
        // Waiting for more bytes is only right when they are not there.
        ZAVO_FUZZ_CHECK(r.second > pending.size());
        break;
      }
      pending.erase(0, r.first);
    }
  }
  TcpConnector::Release(session);
  api->Close();
  api->Join();
  api->Release();
  return 0;
}
