// Struct session: what the control connection carries besides the login
// (heartbeats, base information, retransmission replies) and the rebuild
// request. Everything here but Rebuild runs on the event loop thread.
#include <ctime>

#include "api/udp_api_imp.h"
#include "util/logger.h"
#include "util/timestamp.h"

namespace zavo {

void UdpStructApiImp::OnControlField(const StructPacket::Iterator& it) {
  HandlerSink sink(this, nullptr);
  decoder_.OnControlField(it, sink);
}

ZAVO_ERROR UdpStructApiImp::Rebuild(uint64_t begin_seq, uint64_t end_seq,
                                    ZAVO_DataHandler handler) {
  ReqRetransmitField req;
  req.BeginSeq = begin_seq;
  req.EndSeq = end_seq;
  req.Scope = Timestamp::Now().Date();
  StructPacket packet = StructPacket::ForRecord<ReqRetransmitField>();
  if (!packet.AddField(req)) return ZAVO_ERR_NETWORK;
  packet.PacketType = StructPacket::kRebuildPacketType;
  return control_.Rebuild(begin_seq, end_seq, handler, &packet);
}

void UdpStructApiImp::OnRebuildPacket(const StructPacket& packet,
                                      const RebuildState::Request& req) {
  if (recovery_ && req.handler == FeedRecovery::ReplyHandler) {
    // Recovery's own request: merged into the feed on its thread.
    recovery_->OnReplyPacket(packet);
    return;
  }
  // As on the feed: one clock reading and one handler mark per packet.
  timespec taken_at;
  clock_gettime(CLOCK_REALTIME, &taken_at);
  HandlerMark mark(this);
  HandlerSink sink(this, req.handler);
  decoder_.ProcessRebuildPacket(packet, taken_at, sink);
}

}  // namespace zavo

namespace zavo {

bool UdpStructApiImp::OnRebuildEnded(const RebuildState::Request& req, uint32_t status) {
  if (!recovery_ || req.handler != FeedRecovery::ReplyHandler) return false;
  recovery_->OnReplyEnd(status);
  return true;
}

}  // namespace zavo
