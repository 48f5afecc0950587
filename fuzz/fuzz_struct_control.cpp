// The struct session's control connection: the input is the byte stream the
// server sends, cut into packets the way the framed session does it, and
// every packet goes to the session's ControlChannel::OnPacket (login replies, base
// information, end of base information, end of retransmission, heartbeats,
// rebuild replies, unknown fields). The session is built without any
// network: a refused login settles the open result first, so a later
// accepted one never tries to join a feed. Every system message is checked
// against its record, and at the end the code tables must answer as the
// final end-of-base-information record said.
//
// Every login reply found in the stream also goes through FillLoginResult
// directly, with and without the reply's items.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/session_support.h"
#include "api/udp_api_imp.h"
#include "fuzz_records.h"
#include "proto/struct_packet.h"
#include "support/session_peer.h"
#include "util/helpers.h"

using namespace zavo;

namespace {

struct Seen {
  const void* handle = nullptr;
  unsigned logins = 0;
  unsigned finishes = 0;
  unsigned rebuild_ends = 0;
  ZAVO_BaseInfoFinish last_finish{};
};
Seen g_seen;

bool terminated(const char* text, size_t cap) {
  return std::memchr(text, 0, cap) != nullptr;
}

void on_system(void* handle, const ZAVO_MSG* msg) {
  ZAVO_FUZZ_CHECK(handle == g_seen.handle);
  ZAVO_FUZZ_CHECK(msg != nullptr && msg->MsgData != nullptr && msg->SeqNum == 0);
  switch (msg->MsgType) {
    case ZAVO_MSG_LOGIN: {
      ZAVO_FUZZ_CHECK(msg->MsgSize == sizeof(ZAVO_LoginResult));
      ZAVO_LoginResult r;
      std::memcpy(&r, msg->MsgData, sizeof r);
      ZAVO_FUZZ_CHECK(terminated(r.Address, sizeof r.Address));
      ZAVO_FUZZ_CHECK(terminated(r.ErrorMsg, sizeof r.ErrorMsg));
      ZAVO_FUZZ_CHECK(r.ItemCount <= 6);
      for (auto& item : r.Items) ZAVO_FUZZ_CHECK(terminated(item, sizeof item));
      if (r.ItemCount > 0) ZAVO_FUZZ_CHECK(std::strcmp(r.ErrorMsg, "success") == 0);
      ++g_seen.logins;
      break;
    }
    case ZAVO_MSG_BASEINFO_FINISH: {
      ZAVO_FUZZ_CHECK(msg->MsgSize == sizeof(ZAVO_BaseInfoFinish));
      ZAVO_BaseInfoFinish f;
      std::memcpy(&f, msg->MsgData, sizeof f);
      ZAVO_FUZZ_CHECK(f.MarketCount <= 2);
      for (uint8_t b : f.Reserved) ZAVO_FUZZ_CHECK(b == 0);
      for (uint32_t i = 0; i < f.MarketCount; ++i) {
        ZAVO_FUZZ_CHECK(std::strcmp(f.Markets[i], "SH") == 0 ||
                        std::strcmp(f.Markets[i], "SZ") == 0);
        ZAVO_FUZZ_CHECK(f.CodeCount[i] > 0);
      }
      if (f.MarketCount == 2) ZAVO_FUZZ_CHECK(std::strcmp(f.Markets[0], "SH") == 0);
      g_seen.last_finish = f;
      ++g_seen.finishes;
      break;
    }
    case ZAVO_MSG_REBUILD_FINISH:
      ZAVO_FUZZ_CHECK(msg->MsgSize == sizeof(ZAVO_RebuildResult));
      ++g_seen.rebuild_ends;
      break;
    default:
      // No connection exists, so nothing else can be reported.
      ZAVO_FUZZ_CHECK(!"unexpected system message");
  }
}

// A session whose system handler is set without Open (which would connect).
class ControlProbe : public UdpStructApiImp {
 public:
  ControlProbe() { system_handler_ = &on_system; }
};

// FillLoginResult against what its contract promises.
void check_login_result(const RspUserLoginField& reply) {
  const int error = reply.ErrorID;
  const std::string text = reply.ErrorMsg.ToString();
  // A server address longer than the record holds must be cut, not overrun.
  const std::string ip = reply.ReplyText.ToString() + reply.ReplyText.ToString() + text;
  for (bool with_items : {false, true}) {
    ZAVO_LoginResult r;
    std::memset(&r, 0x5a, sizeof r);
    const bool accepted = FillLoginResult(reply, ip, 7001, with_items, &r);
    ZAVO_FUZZ_CHECK(accepted == (error == 0));
    ZAVO_FUZZ_CHECK(r.ErrorID == (static_cast<uint32_t>(error) & 0xffffu));
    ZAVO_FUZZ_CHECK(r.Port == 7001);
    ZAVO_FUZZ_CHECK(ip.compare(0, sizeof r.Address - 1, r.Address) == 0);
    ZAVO_FUZZ_CHECK(terminated(r.ErrorMsg, sizeof r.ErrorMsg));
    if (!accepted) {
      ZAVO_FUZZ_CHECK(text == r.ErrorMsg && r.ItemCount == 0);
      continue;
    }
    if (!with_items) {
      ZAVO_FUZZ_CHECK(r.ErrorMsg[0] == '\0' && r.ItemCount == 0);
      continue;
    }
    ZAVO_FUZZ_CHECK(std::strcmp(r.ErrorMsg, "success") == 0);
    // The non-empty ';'-separated pieces, the first six, cut to 7 bytes.
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find(';', start);
      if (end == std::string::npos) end = text.size();
      if (end > start) pieces.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    const size_t kept = pieces.size() < 6 ? pieces.size() : 6;
    ZAVO_FUZZ_CHECK(r.ItemCount == kept);
    for (size_t i = 0; i < kept; ++i) {
      ZAVO_FUZZ_CHECK(pieces[i].substr(0, 7) == r.Items[i]);
    }
    for (size_t i = kept; i < 6; ++i) ZAVO_FUZZ_CHECK(r.Items[i][0] == '\0');
  }
}

// The tables of one market against the last end-of-base-information record.
void check_table(ControlProbe* api, const char* market, uint32_t expected) {
  ZAVO_CODEINFO* table = nullptr;
  unsigned int count = 12345;
  ZAVO_FUZZ_CHECK(api->GetCodeTable(market, &table, &count) == ZAVO_SUCCESS);
  ZAVO_FUZZ_CHECK(count == expected);
  ZAVO_FUZZ_CHECK((table == nullptr) == (count == 0));
  const char exchange = market[1] == 'H' ? '1' : '2';
  for (unsigned int i = 0; i < count; ++i) {
    const ZAVO_CODEINFO& e = table[i];
    ZAVO_FUZZ_CHECK(terminated(e.Code, sizeof e.Code));
    ZAVO_FUZZ_CHECK(terminated(e.KvelCode, sizeof e.KvelCode));
    ZAVO_FUZZ_CHECK(terminated(e.Text, sizeof e.Text));
    ZAVO_FUZZ_CHECK(e.ExchangeID == exchange);
    const std::string kvel = std::string(e.Code) + "." + market;
    ZAVO_FUZZ_CHECK(kvel == e.KvelCode);
    ZAVO_OPTION_CODEINFO info;
    if (api->GetOptionCodeInfo(e.KvelCode, &info) == ZAVO_SUCCESS) {
      ZAVO_FUZZ_CHECK(std::strncmp(info.Code, e.Code, 14) == 0);
      ZAVO_FUZZ_CHECK(terminated(info.Text2, sizeof info.Text2));
      ZAVO_FUZZ_CHECK(terminated(info.Text3, sizeof info.Text3));
    }
  }
  std::free(table);
}

StructPacket packet_of(const char* bytes, size_t len) {
  StructPacket p(64);
  const StructPacket::ParseResult r = p.ParseFrom(bytes, len);
  ZAVO_FUZZ_CHECK(r.complete);
  return p;
}

template <class R>
std::vector<char> wire_packet(const R& record) {
  StructPacket p = StructPacket::ForRecord<R>();
  ZAVO_FUZZ_CHECK(p.AddField(record));
  p.PacketTime = 20210305093000120UL;
  ZAVO_FUZZ_CHECK(p.Serialize());
  const Slice s = p.Bytes();
  return std::vector<char>(s.data, s.data + s.size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 200000) return 0;
  g_seen = Seen();
  ControlProbe* api = new ControlProbe();
  g_seen.handle = static_cast<ApiImp*>(api);

  // Settles the open result as refused: nothing may join a feed afterwards.
  RspUserLoginField refused;
  refused.ErrorID = 1;
  refused.ErrorMsg.Set("refused");
  SessionPeer::Control(api).OnLoginReply(refused);
  ZAVO_FUZZ_CHECK(g_seen.logins == 1);

  StructPacket packet(64);  // small, so growth is exercised
  const char* stream = reinterpret_cast<const char*>(data);
  size_t offset = 0;
  for (unsigned round = 0; offset < size && round < 100000; ++round) {
    const StructPacket::ParseResult r = packet.ParseFrom(stream + offset, size - offset);
    ZAVO_FUZZ_CHECK(r.consumed <= size - offset);
    if (r.consumed == 0) break;
    offset += r.consumed;
    if (!r.complete) continue;
    SessionPeer::Control(api).OnPacket(&packet);
    for (StructPacket::Iterator it(packet); it.Valid(); it.Next()) {
      RspUserLoginField reply;
      if (it.FieldId == RspUserLoginField::kFieldId && it.Decode(reply)) {
        check_login_result(reply);
      }
    }
  }

  // A closing end-of-base-information record describes the tables as they
  // are now.
  BaseInfoSendFinish finish;
  const std::vector<char> last = wire_packet(finish);
  const unsigned finishes = g_seen.finishes;
  const StructPacket closing = packet_of(last.data(), last.size());
  SessionPeer::Control(api).OnPacket(&closing);
  ZAVO_FUZZ_CHECK(g_seen.finishes == finishes + 1);
  uint32_t expected[2] = {0, 0};
  const ZAVO_BaseInfoFinish& f = g_seen.last_finish;
  for (uint32_t i = 0; i < f.MarketCount; ++i)
    expected[f.Markets[i][1] == 'H' ? 0 : 1] = f.CodeCount[i];
  check_table(api, "SH", expected[0]);
  check_table(api, "SZ", expected[1]);

  api->Close();
  api->Join();
  api->Release();
  return 0;
}
