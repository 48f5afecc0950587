// Capture of the feed's datagrams: by multicast membership, or from a network
// card in promiscuous mode through a packet socket.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

namespace Qen {

typedef void (*CALLBACK_UDP_NEW_DATA_FUNC)(const unsigned char* data, size_t length);
// Writes out what the new-data callback has produced so far.
typedef void (*CALLBACK_UDP_FLUSH_FUNC)();

class RecvBatch;

struct TUdpRcvConfig {
  bool promiscMode = false;
  int socket = -1;
  std::string localIp;
  std::string nicName;
  std::string groupSrcIp;  // non-empty: source-specific membership
  std::string groupIp;
  int groupPort = 0;
};

struct TIpFilterInfo {
  bool enable = false;
  std::string srcIp;
  int srcPort = 0;
  std::string dstIp;
  int dstPort = 0;
};

#pragma pack(push, 1)
struct TFrameHdr {
  uint8_t DstMAC[6];
  uint8_t SrcMAC[6];
  uint16_t FrameType;
};
struct TIPHdr {
  uint8_t Ver_HLen;
  uint8_t TOS;
  uint16_t TotalLen;
  uint16_t ID;
  uint16_t Flag_Segment;
  uint8_t TTL;
  uint8_t Protocol;
  uint16_t Checksum;
  uint32_t SrcIP;
  uint32_t DstIP;
};
struct TEthernetHdr {
  TFrameHdr FrameHdr;
  TIPHdr IPHdr;
};
struct TUDPHeader {
  uint16_t SrcPort;
  uint16_t DstPort;
  uint16_t Len;
  uint16_t Checksum;
};
struct TTCPHeader {
  uint16_t SrcPort;
  uint16_t DstPort;
  uint32_t SeqNO;
  uint32_t AckNO;
  uint8_t HeaderLen;
  uint8_t Flags;
  uint16_t Window;
  uint16_t Checksum;
  uint16_t UrgentPointer;
  uint8_t Unknown[12];
};
#pragma pack(pop)

constexpr size_t ETH_HDR_SIZE = 34;
constexpr size_t UDP_HDR_SIZE = 8;
constexpr size_t UDP_PROT_SIZE = 42;
constexpr size_t TCP_HDR_SIZE = 32;
constexpr size_t TCP_PROT_SIZE = 66;
static_assert(sizeof(TEthernetHdr) == ETH_HDR_SIZE && sizeof(TUDPHeader) == UDP_HDR_SIZE &&
                  sizeof(TTCPHeader) == TCP_HDR_SIZE,
              "header layouts");

// What one captured frame holds, as far as the promiscuous loop cares.
struct TFrameInfo {
  enum Kind { Skip, Udp, Tcp, Other } kind = Skip;
  uint32_t srcIp = 0;  // host order
  uint32_t dstIp = 0;  // host order
  int srcPort = 0;
  int dstPort = 0;
  int lenField = 0;  // UDP length field, or the raw TCP header-length byte
  size_t payloadOffset = 0;
  size_t payloadLength = 0;
};

// The filter in the form the capture loop tests it. An enabled filter with
// an empty address accepts any address, and one with port 0 any port, so
// that filtering on only one of them does not drop everything.
struct TFrameFilter {
  bool enable = false;
  bool matchIp = false;
  uint32_t dstIpNet = 0;  // network order
  bool matchPort = false;
  int dstPort = 0;
};
TFrameFilter MakeFrameFilter(const TIpFilterInfo& filter);

// Classifies one Ethernet frame against the filter. The payload it reports
// always lies within the `len` captured bytes: frames whose headers or
// length fields do not fit are skipped.
TFrameInfo ParsePromiscFrame(const unsigned char* frame, size_t len, const TFrameFilter& filter);

const char* netdb_protoname(uint8_t proto);

struct TIpProtoValue {
  int value;
  const char* name;
};
extern const TIpProtoValue ipproto_values[];

// Dotted quad to a host-order number; 0 unless the text is exactly four
// decimal parts of 0 to 255.
uint32_t Ipv4ToInteger(std::string ip);
bool ParseIpv4(const std::string& ip, uint32_t* out);
std::string IntegerToIpv4(uint32_t ip);

void PrintHexData(const unsigned char* buf, int size);

class CUdpCtrl {
 public:
  CUdpCtrl() = default;
  CUdpCtrl(const CUdpCtrl&) = delete;
  CUdpCtrl& operator=(const CUdpCtrl&) = delete;
  ~CUdpCtrl();

  void SetNewDataCallback(CALLBACK_UDP_NEW_DATA_FUNC fn) { m_callbackNewDataFunc = fn; }
  // Called on the receive thread when the socket has run dry, at least every
  // 10 ms while data keeps coming, and when the task stops.
  void SetFlushCallback(CALLBACK_UDP_FLUSH_FUNC fn) { m_callbackFlushFunc = fn; }

  // Joins the group on config.groupPort, source-specific when groupSrcIp is
  // set. Writes config.socket (-1 when the set-up failed, with the reason on
  // standard error and in errno).
  static bool SetMulticastReceive(TUdpRcvConfig& config, bool nonBlockMode);
  static bool GetNicbyIp(std::string localAddr, std::string& Nic);
  // Opens a packet socket on the card that carries ipAddr, in promiscuous
  // mode. Writes fd (-1 when the set-up failed).
  bool SetNicPromiscuosMode(int& fd, const char* ipAddr, bool nonblock);

  // Each stops and joins any previous receive thread, then starts a new one
  // that owns (and finally closes) the descriptor. The thread reads bursts of
  // datagrams per system call; on a stop it first reads what is still queued.
  void CreateMulticastRcvTask(int& fd, size_t RCV_MAX_LEN);
  void CreatePromiscRcvTask(int& fd, const TIpFilterInfo& filter, size_t RCV_MAX_LEN);

  // Stops the receive thread and waits for it; true if there was one.
  bool Stop();

 private:
  class ReceivePacer;

  void RunMulticastRcvTask(int fd, size_t maxLen);
  void RunPromiscRcvLoop(int fd, TIpFilterInfo filter, size_t maxLen);
  void deliver_datagrams(const RecvBatch& batch, int n, ReceivePacer& pacer);
  void deliver_frames(const RecvBatch& batch, int n, const TFrameFilter& filter,
                      ReceivePacer& pacer);

  CALLBACK_UDP_NEW_DATA_FUNC m_callbackNewDataFunc = nullptr;
  CALLBACK_UDP_FLUSH_FUNC m_callbackFlushFunc = nullptr;
  std::atomic_bool m_rcvFlag{false};
  std::thread* m_pThreadRcvTask = nullptr;
};

}  // namespace Qen
