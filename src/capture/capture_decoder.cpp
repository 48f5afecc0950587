#include "capture_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace zavo {
namespace capture {

namespace {

template <size_t N>
void copy_text(char (&to)[N], const std::string& from) {
  const size_t n = std::min(from.size(), N - 1);
  std::memcpy(to, from.data(), n);
  to[n] = '\0';
}

}  // namespace

std::unique_ptr<CaptureDecoder> CaptureDecoder::Open(const std::string& path,
                                                     const ZAVO_CaptureSetting& s, void* handle,
                                                     std::string* error) {
  std::unique_ptr<CaptureDecoder> c(new (std::nothrow) CaptureDecoder());
  if (c == nullptr) {
    *error = path + ": out of memory";
    return nullptr;
  }
  c->path_ = path;
  if (s.DataHandler == nullptr) {
    *error = "no data handler";
    return nullptr;
  }
  if (!c->reader_.Open(path, error)) return nullptr;
  if (s.GroupIP != nullptr && s.GroupIP[0] != '\0') {
    if (inet_pton(AF_INET, s.GroupIP, &c->group_) != 1) {
      *error = "bad group address \"" + std::string(s.GroupIP) + "\"";
      return nullptr;
    }
    c->by_group_ = true;
    c->group_port_ = htons(s.GroupPort);
  }
  const bool raw = s.RawMode != 0;
  c->sync_ = raw ? 0xF7 : 0x07;

  FeedDecoder::Settings fs;
  fs.raw = raw;
  fs.connect_id = s.ConnectID;
  // Raw mode needs its markets named; both unless told otherwise, as live.
  const bool no_markets = s.SubscribedMarkets == nullptr || s.SubscribedMarkets[0] == '\0';
  const std::string markets = raw && no_markets ? "SH;SZ" : no_markets ? "" : s.SubscribedMarkets;
  fs.markets = markets.c_str();
  fs.codes = s.SubscribedCodes;
  fs.flags = s.SubscribeFlags;
  fs.handler = s.DataHandler;
  fs.handle = s.Context != nullptr ? s.Context : handle;
  ZAVO_ERROR refused = ZAVO_SUCCESS;
  c->decoder_ = FeedDecoder::Create(fs, &refused);
  if (c->decoder_ == nullptr) {
    *error = raw ? "markets: \"" + markets + "\" is not a market list"
                 : "the markets, codes or flags are refused";
    return nullptr;
  }
  return c;
}

bool CaptureDecoder::take(const record::CapturedDatagram& d) const {
  if (by_group_) return d.dst.sin_addr.s_addr == group_.s_addr && d.dst.sin_port == group_port_;
  return d.len >= 2 && static_cast<unsigned char>(d.data[0]) == sync_ &&
         static_cast<unsigned char>(d.data[1]) == sync_;
}

bool CaptureDecoder::Read(uint64_t max_records) {
  if (ended_) return false;
  const uint64_t limit = max_records == 0 ? UINT64_MAX : decoder_->counters().records + max_records;
  record::CapturedDatagram d;
  record::PcapReader::Result r;
  while ((r = reader_.Next(&d)) == record::PcapReader::kDatagram) {
    if (!take(d)) {
      ++passed_;
      continue;
    }
    gaps_.OnDatagram(d.dst, d.data, d.len);
    // Measured against the capture time, so the same file always decodes
    // to the same records.
    decoder_->Feed(d.data, d.len, d.ts_ns);
    if (decoder_->counters().records >= limit) return true;
  }
  end(r == record::PcapReader::kError);
  return false;
}

void CaptureDecoder::end(bool damaged) {
  ended_ = true;
  damaged_ = damaged;
  if (!damaged) return;
  damage_offset_ = reader_.file_offset();
  error_ = path_ + ": " + reader_.error();
  // The decompressor names the byte; a plain file says only what was cut.
  if (!reader_.compressed()) error_ += " (at byte " + std::to_string(damage_offset_) + ")";
}

void CaptureDecoder::Summary(ZAVO_CaptureSummary* out) const {
  std::memset(out, 0, sizeof *out);
  const FeedDecoder::Counters c = decoder_->counters();
  out->Packets = reader_.packets();
  out->Skipped = reader_.skipped();
  out->Datagrams = c.datagrams;
  out->Passed = passed_;
  out->Refused = c.refused;
  out->Records = c.records;
  out->HandlerErrors = c.handler_errors;
  out->FileOffset = reader_.file_offset();
  out->DamageOffset = damage_offset_;
  out->Ended = ended_ ? 1 : 0;
  out->Damaged = damaged_ ? 1 : 0;
  out->Compressed = reader_.compressed() ? 1 : 0;
  for (const record::StreamCounts& s : gaps_.Streams()) {
    out->Gaps += s.gaps;
    out->Missing += s.missing;
    if (out->StreamCount == ZAVO_CAPTURE_MAX_STREAMS) continue;
    ZAVO_CaptureStream& o = out->Streams[out->StreamCount++];
    copy_text(o.Name, s.name);
    o.Datagrams = s.datagrams;
    o.Bytes = s.bytes;
    o.LastSeq = s.last_seq;
    o.Gaps = s.gaps;
    o.Missing = s.missing;
    o.Backwards = s.backwards;
  }
  copy_text(out->Error, error_);
}

}  // namespace capture
}  // namespace zavo
