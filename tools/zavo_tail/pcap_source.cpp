#include "pcap_source.h"

#include <arpa/inet.h>

#include <cstring>

#include "api/udp_api_imp.h"
#include "api/udp_raw_api_imp.h"
#include "pcap_reader.h"

namespace zavo_tail {

namespace {

void ignore_system(void*, const ZAVO_MSG*) {}

// The raw session's data path with the handler set as Open would set it.
class RawDecoder : public zavo::UdpRawApiImp {
 public:
  RawDecoder(ZAVO_DataHandler handler, int connect_id) : connect_id_(connect_id) {
    data_handler_ = handler;
  }
  int ConnectID() const override { return connect_id_; }

 private:
  const int connect_id_;
};

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

  zavo::UdpStructApiImp* api = nullptr;
  RawDecoder* raw = nullptr;
  if (opt.raw) {
    raw = new RawDecoder(handler, opt.connect_id);
    const std::string markets = opt.markets.empty() ? "SH;SZ" : opt.markets;
    if (!raw->EnableMarketsForTesting(markets.c_str())) {
      raw->Release();
      result->error = "--markets: \"" + markets + "\" is not a market list";
      return false;
    }
  } else {
    api = new zavo::UdpStructApiImp();
    ZAVO_OpenSetting s;
    std::memset(&s, 0, sizeof(s));
    s.ConnectID = opt.connect_id;
    s.SubscribedMarkets = opt.markets.c_str();
    s.SubscribedCodes = opt.codes.c_str();
    s.SubscribeFlags = opt.flags;
    s.DataHandler = handler;
    s.SystemHandler = ignore_system;
    if (api->SetDataPath(s) != ZAVO_SUCCESS) {
      api->Release();
      result->error = "the markets, codes or flags are refused";
      return false;
    }
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
    if (raw != nullptr) {
      raw->OnData(d.data, d.len);
    } else {
      api->ProcessDatagram(d.data, d.len);
    }
  }
  if (r == zavo::record::PcapReader::kError) {
    result->complete = false;
    result->error = file + ": " + reader.error();
  }
  result->packets = reader.packets();
  if (raw != nullptr) raw->Release();
  if (api != nullptr) api->Release();
  return true;
}

}  // namespace zavo_tail
