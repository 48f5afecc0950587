#include "pcap_input.h"

#include <pcap/pcap.h>

#include <cstring>
#include <memory>
#include <vector>

#include "zstd_input.h"

namespace Qen {

namespace {

constexpr size_t kEthHdr = 14;
constexpr uint16_t kEtherTypeIpv4 = 0x0800;
// BSD loopback address families of IPv4 in either byte order.
constexpr uint32_t kAfInet = 2;

uint16_t be16(const unsigned char* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

bool is_ipv4(const unsigned char* pkt, size_t len, size_t at) {
  return len > at && (pkt[at] >> 4) == 4;
}

bool supported_link_type(int linkType) {
  switch (linkType) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
#ifdef DLT_LINUX_SLL2
    case DLT_LINUX_SLL2:
#endif
    case DLT_RAW:
#ifdef DLT_IPV4
    case DLT_IPV4:
#endif
    case DLT_NULL:
    case DLT_LOOP:
      return true;
    default:
      return false;
  }
}

}  // namespace

int Ipv4OffsetForLinkType(int linkType, const unsigned char* pkt, size_t len) {
  switch (linkType) {
    case DLT_EN10MB:
      return len >= kEthHdr && be16(pkt + 12) == kEtherTypeIpv4 ? static_cast<int>(kEthHdr) : -1;
    case DLT_LINUX_SLL:  // 16-byte cooked header, protocol last
      return len >= 16 && be16(pkt + 14) == kEtherTypeIpv4 ? 16 : -1;
#ifdef DLT_LINUX_SLL2
    case DLT_LINUX_SLL2:  // 20-byte cooked header, protocol first
      return len >= 20 && be16(pkt) == kEtherTypeIpv4 ? 20 : -1;
#endif
    case DLT_RAW:
#ifdef DLT_IPV4
    case DLT_IPV4:
#endif
      return is_ipv4(pkt, len, 0) ? 0 : -1;
    case DLT_NULL:
    case DLT_LOOP: {
      if (len < 4) return -1;
      uint32_t family;
      std::memcpy(&family, pkt, sizeof(family));
      const uint32_t swapped = __builtin_bswap32(family);
      return (family == kAfInet || swapped == kAfInet) && is_ipv4(pkt, len, 4) ? 4 : -1;
    }
    default:
      return -1;
  }
}

namespace {

using zavo::record::ZstdInput;

// What a compressed file's decompressor met, for the text of a failure.
std::string damage_of(const std::unique_ptr<ZstdInput>& zstd) {
  if (!zstd || zstd->damage().empty()) return "";
  return zstd->damage() + ", after " + std::to_string(zstd->decoded_bytes()) + " decoded bytes";
}

PcapReadResult read_packets(pcap_t* pc, const std::unique_ptr<ZstdInput>& zstd,
                            const TIpFilterInfo& filter, CALLBACK_UDP_NEW_DATA_FUNC onDatagram,
                            TPcapSummary* summary, std::string* error) {
  const int linkType = pcap_datalink(pc);
  if (!supported_link_type(linkType)) {
    const char* name = pcap_datalink_val_to_name(linkType);
    *error = std::string("link type ") + (name != nullptr ? name : std::to_string(linkType)) +
             " is not supported (Ethernet, Linux cooked, raw IPv4 or loopback captures are)";
    return PcapReadResult::CannotOpen;
  }
  const TFrameFilter frameFilter = MakeFrameFilter(filter);
  // Frames other than Ethernet are given an Ethernet header in front of their
  // IPv4 packet, so that one parser reads every capture.
  std::vector<unsigned char> scratch;
  PcapReadResult result = PcapReadResult::End;
  for (;;) {
    struct pcap_pkthdr* hdr = nullptr;
    const u_char* data = nullptr;
    const int rc = pcap_next_ex(pc, &hdr, &data);
    if (rc == PCAP_ERROR_BREAK) break;  // end of the file
    if (rc != 1) {
      *error = damage_of(zstd);
      if (error->empty()) *error = pcap_geterr(pc);
      result = PcapReadResult::Damaged;
      break;
    }
    ++summary->packets;
    const size_t caplen = hdr->caplen;
    const int ipAt = Ipv4OffsetForLinkType(linkType, data, caplen);
    if (ipAt < 0) {
      ++summary->skipped;
      continue;
    }
    const unsigned char* frame = data;
    size_t frameLen = caplen;
    if (linkType != DLT_EN10MB) {
      const size_t ipLen = caplen - static_cast<size_t>(ipAt);
      scratch.assign(kEthHdr + ipLen, 0);
      scratch[12] = static_cast<unsigned char>(kEtherTypeIpv4 >> 8);
      scratch[13] = static_cast<unsigned char>(kEtherTypeIpv4 & 0xff);
      std::memcpy(scratch.data() + kEthHdr, data + ipAt, ipLen);
      frame = scratch.data();
      frameLen = scratch.size();
    }
    // A datagram cut by the capture's snapshot length is skipped, never read
    // past what the file holds.
    const TFrameInfo info = ParsePromiscFrame(frame, frameLen, frameFilter);
    if (info.kind != TFrameInfo::Udp) {
      ++summary->skipped;
      continue;
    }
    ++summary->matched;
    if (onDatagram != nullptr) onDatagram(frame + info.payloadOffset, info.payloadLength);
  }
  return result;
}

}  // namespace

namespace {

// Reads from `fp`, plain or decompressing, which it closes.
PcapReadResult read_stream(FILE* fp, std::unique_ptr<ZstdInput> zstd, const TIpFilterInfo& filter,
                           CALLBACK_UDP_NEW_DATA_FUNC onDatagram, TPcapSummary* summary,
                           std::string* error) {
  char errbuf[PCAP_ERRBUF_SIZE] = {0};
  pcap_t* pc = pcap_fopen_offline(fp, errbuf);
  if (pc == nullptr) {
    std::fclose(fp);
    *error = damage_of(zstd);
    if (error->empty()) *error = errbuf;
    return PcapReadResult::CannotOpen;
  }
  const PcapReadResult result = read_packets(pc, zstd, filter, onDatagram, summary, error);
  pcap_close(pc);  // closes fp too
  return result;
}

}  // namespace

PcapReadResult ReadPcapFile(const std::string& path, const TIpFilterInfo& filter,
                            CALLBACK_UDP_NEW_DATA_FUNC onDatagram, TPcapSummary* summary,
                            std::string* error) {
  std::unique_ptr<ZstdInput> zstd;
  FILE* fp = zavo::record::OpenCaptureStream(path, &zstd, error);
  if (fp == nullptr) return PcapReadResult::CannotOpen;
  return read_stream(fp, std::move(zstd), filter, onDatagram, summary, error);
}

PcapReadResult ReadPcapStream(FILE* fp, const TIpFilterInfo& filter,
                              CALLBACK_UDP_NEW_DATA_FUNC onDatagram, TPcapSummary* summary,
                              std::string* error) {
  std::unique_ptr<ZstdInput> zstd;
  fp = zavo::record::WrapCaptureStream(fp, &zstd, error);
  if (fp == nullptr) return PcapReadResult::CannotOpen;
  return read_stream(fp, std::move(zstd), filter, onDatagram, summary, error);
}

}  // namespace Qen
