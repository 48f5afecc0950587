#include "stream_gaps.h"

#include "pcap_reader.h"
#include "proto/raw_packet.h"
#include "proto/struct_packet.h"
#include "proto/sys_field.h"

namespace zavo {
namespace record {

StreamCounts& StreamGaps::stream(const sockaddr_in& dst, int kind) {
  const Key k{dst.sin_addr.s_addr, dst.sin_port, kind};
  auto it = streams_.find(k);
  if (it != streams_.end()) return it->second;
  StreamCounts& s = streams_[k];
  s.name = AddressText(dst);
  if (kind == 1) s.name += " SH";
  if (kind == 2) s.name += " SZ";
  return s;
}

void StreamGaps::on_seq(StreamCounts& s, uint64_t seq, bool repeats_allowed) {
  if (s.last_seq != 0) {
    if (seq > s.last_seq + 1) {
      ++s.gaps;
      s.missing += seq - s.last_seq - 1;
    } else if (seq < s.last_seq || (seq == s.last_seq && !repeats_allowed)) {
      ++s.backwards;
    }
  }
  if (seq > s.last_seq) s.last_seq = seq;
}

void StreamGaps::OnDatagram(const sockaddr_in& dst, const char* data, size_t len) {
  // The raw feed's sync value first: struct packets are found by a search
  // that would also skip over a raw header.
  if (RawDataPacket::HasMagic(data, len)) {
    RawDataPacket raw(0);
    if (raw.DecodeHeader(data, len) && (raw.ExchangeID == 1 || raw.ExchangeID == 2)) {
      StreamCounts& s = stream(dst, raw.ExchangeID);
      ++s.datagrams;
      s.bytes += len;
      // Fragments after the first repeat their message's number.
      on_seq(s, raw.Sequence, raw.FragmentNo != 0);
      return;
    }
  }
  StreamCounts& s = stream(dst, 0);
  ++s.datagrams;
  s.bytes += len;
  const char* body = nullptr;
  if (!packet_.ParseInPlace(data, len, &body).complete) return;
  for (StructPacket::Iterator it(body, packet_.BodyLength); it.Valid(); it.Next()) {
    // Heartbeats carry no sequence number of the stream.
    if (it.FieldId >= SecuritySnapShotField::kFieldId &&
        it.FieldId <= SH_OrderDetailField::kFieldId)
      on_seq(s, it.FieldSeq, false);
  }
}

std::vector<StreamCounts> StreamGaps::Streams() const {
  std::vector<StreamCounts> out;
  for (const auto& kv : streams_) out.push_back(kv.second);
  return out;
}

std::string StreamGaps::Line() const {
  std::string line;
  for (const auto& kv : streams_) {
    const StreamCounts& s = kv.second;
    if (!line.empty()) line += "; ";
    line += s.name + " " + std::to_string(s.datagrams) + " datagrams " + std::to_string(s.bytes) +
            " B seq " + std::to_string(s.last_seq) + " gaps " + std::to_string(s.gaps) + " (" +
            std::to_string(s.missing) + " missing)";
  }
  return line.empty() ? "nothing received yet" : line;
}

}  // namespace record
}  // namespace zavo
