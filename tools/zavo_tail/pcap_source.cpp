#include "pcap_source.h"

#include <arpa/inet.h>

#include <memory>

#include "api/feed_decoder.h"
#include "pcap_reader.h"

namespace zavo_tail {

namespace {

bool starts_with(const zavo::record::CapturedDatagram& d, unsigned char sync) {
  return d.len >= 2 && static_cast<unsigned char>(d.data[0]) == sync &&
         static_cast<unsigned char>(d.data[1]) == sync;
}

}  // namespace

bool DecodePcap(const std::string& file, const Options& opt, bool filter_group,
                ZAVO_DataHandler handler, PcapResult* result) {
  *result = PcapResult();
  zavo::record::PcapReader reader;
  if (!reader.Open(file, &result->error)) {
    result->complete = false;
    return false;
  }
  in_addr group{};
  if (filter_group && inet_pton(AF_INET, opt.group.ip.c_str(), &group) != 1) {
    result->error = "bad group address \"" + opt.group.ip + "\"";
    return false;
  }
  const uint16_t group_port = htons(opt.group.port);

  zavo::FeedDecoder::Settings s;
  s.raw = opt.raw;
  s.connect_id = opt.connect_id;
  // Raw mode needs its markets named; both unless told otherwise, as live.
  const std::string markets = opt.raw && opt.markets.empty() ? "SH;SZ" : opt.markets;
  s.markets = markets.c_str();
  s.codes = opt.codes.c_str();
  s.flags = opt.flags;
  s.handler = handler;
  ZAVO_ERROR refused = ZAVO_SUCCESS;
  std::unique_ptr<zavo::FeedDecoder> decoder = zavo::FeedDecoder::Create(s, &refused);
  if (decoder == nullptr) {
    result->error = opt.raw ? "--markets: \"" + markets + "\" is not a market list"
                            : "the markets, codes or flags are refused";
    return false;
  }

  zavo::record::CapturedDatagram d;
  zavo::record::PcapReader::Result r;
  while ((r = reader.Next(&d)) == zavo::record::PcapReader::kDatagram) {
    const bool take = filter_group
                          ? d.dst.sin_addr.s_addr == group.s_addr && d.dst.sin_port == group_port
                          : starts_with(d, opt.raw ? 0xF7 : 0x07);
    if (!take) {
      ++result->passed;
      continue;
    }
    ++result->datagrams;
    // Measured against the capture time, so the same file always decodes
    // to the same records.
    decoder->Feed(d.data, d.len, d.ts_ns);
  }
  if (r == zavo::record::PcapReader::kError) {
    result->complete = false;
    result->error = file + ": " + reader.error();
  }
  result->packets = reader.packets();
  return true;
}

}  // namespace zavo_tail
