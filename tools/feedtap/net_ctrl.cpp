#include "net_ctrl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace Qen {

namespace {

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;
constexpr size_t kFrameHdrSize = sizeof(TFrameHdr);
constexpr size_t kMinTcpHdrSize = 20;

uint16_t load_be16(const unsigned char* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

bool set_nonblock(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Room for bursts: at the default receive buffer (a few hundred datagrams)
// one slow disk write of the output file is enough to drop data.
constexpr int kReceiveBufferBytes = 4 << 20;

// Asks for kReceiveBufferBytes (past net.core.rmem_max when the process may)
// and says so when the kernel grants less.
void raise_receive_buffer(int fd) {
  int want = kReceiveBufferBytes;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof(want)) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof(want));
  }
  int reported = 0;
  socklen_t len = sizeof(reported);
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &reported, &len) != 0) return;
  // Linux reports twice the size asked for (its bookkeeping included).
  const int granted = reported / 2;
  if (granted < want) {
    std::printf("Receive buffer: asked for %d bytes, the kernel granted %d (net.core.rmem_max)\n",
                want, granted);
  }
}

// A non-blocking socket with nothing to read: wait for data instead of
// spinning, but wake up often enough to notice a stop request.
void wait_readable(int fd) {
  struct pollfd p;
  p.fd = fd;
  p.events = POLLIN;
  p.revents = 0;
  (void)::poll(&p, 1, 50);
}

}  // namespace

TFrameFilter MakeFrameFilter(const TIpFilterInfo& filter) {
  TFrameFilter f;
  f.enable = filter.enable;
  f.matchIp = filter.enable && !filter.dstIp.empty();
  f.dstIpNet = f.matchIp ? htonl(Ipv4ToInteger(filter.dstIp)) : 0;
  f.matchPort = filter.enable && filter.dstPort != 0;
  f.dstPort = filter.dstPort;
  return f;
}

TFrameInfo ParsePromiscFrame(const unsigned char* frame, size_t len, const TFrameFilter& filter) {
  TFrameInfo info;
  if (len < ETH_HDR_SIZE + 1) return info;
  TEthernetHdr eth;
  std::memcpy(&eth, frame, sizeof(eth));
  // Only IPv4 can match an address filter; without one, anything that is
  // not an IPv4 frame is shown as unknown rather than misread as one.
  if (load_be16(frame + 12) != kEtherTypeIpv4) {
    if (!filter.enable) info.kind = TFrameInfo::Other;
    return info;
  }
  if (filter.matchIp && eth.IPHdr.DstIP != filter.dstIpNet) return info;
  info.srcIp = ntohl(eth.IPHdr.SrcIP);
  info.dstIp = ntohl(eth.IPHdr.DstIP);

  const size_t ipHdrLen = static_cast<size_t>(eth.IPHdr.Ver_HLen & 0x0f) * 4;
  if (ipHdrLen < 20) return info;
  // Frames may carry link-layer padding after the IP packet: the IP total
  // length bounds the payload as long as it is consistent.
  size_t end = len;
  const size_t ipTotal = ntohs(eth.IPHdr.TotalLen);
  if (ipTotal >= ipHdrLen && kFrameHdrSize + ipTotal < end) end = kFrameHdrSize + ipTotal;
  const size_t l4 = kFrameHdrSize + ipHdrLen;

  switch (eth.IPHdr.Protocol) {
    case kProtoUdp: {
      if (l4 + UDP_HDR_SIZE > end) return info;
      TUDPHeader udp;
      std::memcpy(&udp, frame + l4, sizeof(udp));
      info.srcPort = ntohs(udp.SrcPort);
      info.dstPort = ntohs(udp.DstPort);
      info.lenField = ntohs(udp.Len);
      if (filter.matchPort && info.dstPort != filter.dstPort) return info;
      const size_t udpLen = static_cast<size_t>(info.lenField);
      if (udpLen < UDP_HDR_SIZE || l4 + udpLen > len) return info;
      info.kind = TFrameInfo::Udp;
      info.payloadOffset = l4 + UDP_HDR_SIZE;
      info.payloadLength = udpLen - UDP_HDR_SIZE;
      return info;
    }
    case kProtoTcp: {
      if (l4 + kMinTcpHdrSize > end) return info;
      info.srcPort = load_be16(frame + l4);
      info.dstPort = load_be16(frame + l4 + 2);
      const uint8_t hdrLenByte = frame[l4 + 12];
      info.lenField = hdrLenByte;
      const size_t tcpHdrLen = static_cast<size_t>(hdrLenByte >> 4) * 4;
      if (tcpHdrLen < kMinTcpHdrSize || l4 + tcpHdrLen > end) return info;
      info.kind = TFrameInfo::Tcp;
      info.payloadOffset = l4 + tcpHdrLen;
      info.payloadLength = end - info.payloadOffset;
      return info;
    }
    default:
      info.kind = TFrameInfo::Other;
      return info;
  }
}

bool ParseIpv4(const std::string& ip, uint32_t* out) {
  uint32_t value = 0;
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    size_t digits = 0;
    uint32_t part = 0;
    while (i < ip.size() && ip[i] >= '0' && ip[i] <= '9' && digits < 4) {
      part = part * 10 + static_cast<uint32_t>(ip[i] - '0');
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 3 || part > 255) return false;
    value = (value << 8) | part;
    ++parts;
    if (parts < 4) {
      if (i >= ip.size() || ip[i] != '.') return false;
      ++i;
    }
  }
  if (i != ip.size()) return false;
  *out = value;
  return true;
}

uint32_t Ipv4ToInteger(std::string ip) {
  uint32_t value = 0;
  return ParseIpv4(ip, &value) ? value : 0;
}

std::string IntegerToIpv4(uint32_t ip) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", (ip >> 24) & 0xff, (ip >> 16) & 0xff,
                (ip >> 8) & 0xff, ip & 0xff);
  return text;
}

void PrintHexData(const unsigned char* buf, int size) {
  for (int i = 0; i < size; ++i) {
    if (i % 16 == 0) std::printf("(%.4d): ", i);
    std::printf("%.2x,", buf[i]);
    if (i % 16 == 15) {
      std::printf("   [");
      for (int j = i - 15; j <= i; ++j) {
        const unsigned char c = buf[j];
        std::putchar(c < '!' || c > '}' ? '.' : c);
      }
      std::printf("]\n");
    }
  }
  std::printf("\n");
}

CUdpCtrl::~CUdpCtrl() {
  if (Stop()) std::printf("m_pThreadRcvTask join\n");
}

bool CUdpCtrl::Stop() {
  m_rcvFlag = false;
  if (m_pThreadRcvTask == nullptr) return false;
  m_pThreadRcvTask->join();
  delete m_pThreadRcvTask;
  m_pThreadRcvTask = nullptr;
  return true;
}

bool CUdpCtrl::SetMulticastReceive(TUdpRcvConfig& config, bool nonBlockMode) {
  std::printf("Init Multicast Receive: LocalIp %s, groupIp %s, groupPort %d\n",
              config.localIp.c_str(), config.groupIp.c_str(), config.groupPort);
  config.socket = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (config.socket < 0) {
    const int err = errno;
    std::printf("socket error\xef\xbc\x9a %d - %s/n", config.socket, std::strerror(err));
    config.socket = -1;
    return false;
  }
  const int fd = config.socket;
  // A failed set-up leaves no descriptor behind, so the receive task sees an
  // invalid one instead of polling a closed (or reused) number.
  auto fail = [&config, fd]() {
    ::close(fd);
    config.socket = -1;
    return false;
  };
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  raise_receive_buffer(fd);
  struct sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(config.groupPort));
  if (::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
    const int err = errno;
    std::printf("bind error: %d - %s/n", -1, std::strerror(err));
    return fail();
  }
  if (nonBlockMode && !set_nonblock(fd)) {
    std::printf("Set NONBLOCK failed\n");
    return fail();
  }
  int rc;
  if (!config.groupSrcIp.empty()) {
    std::printf("Assign group source address:%s\n", config.groupSrcIp.c_str());
    struct ip_mreq_source mreq;
    std::memset(&mreq, 0, sizeof(mreq));
    mreq.imr_multiaddr.s_addr = inet_addr(config.groupIp.c_str());
    mreq.imr_interface.s_addr = inet_addr(config.localIp.c_str());
    mreq.imr_sourceaddr.s_addr = inet_addr(config.groupSrcIp.c_str());
    rc = setsockopt(fd, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &mreq, sizeof(mreq));
  } else {
    struct ip_mreq mreq;
    std::memset(&mreq, 0, sizeof(mreq));
    mreq.imr_multiaddr.s_addr = inet_addr(config.groupIp.c_str());
    mreq.imr_interface.s_addr = inet_addr(config.localIp.c_str());
    rc = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq));
  }
  if (rc != 0) {
    const int err = errno;
    std::printf("ERR:setsockopt():IP_ADD_MEMBERSHIP error:%d\n", err);
    return fail();
  }
  std::printf("InitRcvMulticast success.\n");
  return true;
}

bool CUdpCtrl::GetNicbyIp(std::string localAddr, std::string& Nic) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::printf("socket error\n");
    return false;
  }
  char buf[2048];
  struct ifconf ifc;
  ifc.ifc_len = sizeof(buf);
  ifc.ifc_buf = buf;
  if (ioctl(fd, SIOCGIFCONF, &ifc) < 0) {
    ::close(fd);
    std::printf("ioctl error \n");
    return false;
  }
  bool found = false;
  const int count = ifc.ifc_len / static_cast<int>(sizeof(struct ifreq));
  for (int i = 0; i < count && !found; ++i) {
    struct ifreq req;
    std::memcpy(&req, buf + i * sizeof(struct ifreq), sizeof(req));
    if (ioctl(fd, SIOCGIFADDR, &req) < 0) {
      std::printf("get mac info error \n");
      continue;
    }
    struct sockaddr_in sin;
    std::memcpy(&sin, &req.ifr_addr, sizeof(sin));
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &sin.sin_addr, text, sizeof(text));
    if (localAddr == text) {
      Nic.assign(req.ifr_name, strnlen(req.ifr_name, IFNAMSIZ));
      found = true;
    }
  }
  ::close(fd);
  if (!found) std::printf("get nic info error \n");
  return found;
}

bool CUdpCtrl::SetNicPromiscuosMode(int& fd, const char* ipAddr, bool nonblock) {
  fd = -1;
  std::string nic;
  if (!GetNicbyIp(ipAddr, nic)) {
    std::printf("Nic(%s) Init MiscMode Receive Get NicName Failed.\n", ipAddr);
    return false;
  }
  const int sock = ::socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
  if (sock < 0) return false;
  auto fail = [sock]() {
    ::close(sock);
    return false;
  };
  struct ifreq req;
  std::memset(&req, 0, sizeof(req));
  std::strncpy(req.ifr_name, nic.c_str(), IFNAMSIZ - 1);
  if (ioctl(sock, SIOCGIFINDEX, &req) < 0) return fail();
  struct sockaddr_ll sll;
  std::memset(&sll, 0, sizeof(sll));
  sll.sll_family = AF_PACKET;
  sll.sll_ifindex = req.ifr_ifindex;
  sll.sll_protocol = htons(ETH_P_ALL);
  if (::bind(sock, reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)) < 0) return fail();
  raise_receive_buffer(sock);
  if (nonblock && !set_nonblock(sock)) {
    std::printf("Set NONBLOCK failed\n");
    return fail();
  }
  struct packet_mreq mr;
  std::memset(&mr, 0, sizeof(mr));
  mr.mr_ifindex = req.ifr_ifindex;
  mr.mr_type = PACKET_MR_PROMISC;
  mr.mr_alen = 6;
  if (setsockopt(sock, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof(mr)) != 0) return fail();
  fd = sock;
  return true;
}

void CUdpCtrl::CreateMulticastRcvTask(int& fd, size_t RCV_MAX_LEN) {
  if (Stop()) std::printf("Previous Mc thread task joined\n");
  // Raised before the thread starts, so that a Stop() that follows at once
  // cannot be overwritten by the new thread.
  m_rcvFlag = true;
  m_pThreadRcvTask = new std::thread(&CUdpCtrl::RunMulticastRcvTask, this, fd, RCV_MAX_LEN);
}

void CUdpCtrl::CreatePromiscRcvTask(int& fd, const TIpFilterInfo& filter, size_t RCV_MAX_LEN) {
  if (Stop()) std::printf("Previous Promisc thread task joined\n");
  m_rcvFlag = true;
  m_pThreadRcvTask = new std::thread(&CUdpCtrl::RunPromiscRcvLoop, this, fd, filter, RCV_MAX_LEN);
}

void CUdpCtrl::RunMulticastRcvTask(int fd, size_t maxLen) {
  if (fd < 0) {
    std::printf("Invalid file description(%d)\n", fd);
    return;
  }
  std::printf("Start running udp rcv task...\n");
  std::vector<unsigned char> buf(maxLen > 0 ? maxLen : 1);
  while (m_rcvFlag) {
    struct sockaddr_in from;
    socklen_t fromLen = sizeof(from);
    const ssize_t n =
        ::recvfrom(fd, buf.data(), maxLen, 0, reinterpret_cast<struct sockaddr*>(&from), &fromLen);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      wait_readable(fd);
      continue;
    }
    if (n <= 0) continue;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    std::printf("\n[%ld:%ld] Rcv (%d)\n", static_cast<long>(ts.tv_sec),
                static_cast<long>(ts.tv_nsec), static_cast<int>(n));
    if (m_callbackNewDataFunc != nullptr) m_callbackNewDataFunc(buf.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  std::printf("Stop running udp rcv task...\n");
}

void CUdpCtrl::RunPromiscRcvLoop(int fd, TIpFilterInfo filter, size_t maxLen) {
  std::printf("RunPromiscRcvLoop()\n");
  if (fd < 0) {
    std::printf("Invalid file description(%d)\n", fd);
    return;
  }
  const TFrameFilter frameFilter = MakeFrameFilter(filter);
  std::vector<unsigned char> buf(maxLen > 0 ? maxLen : 1);
  while (m_rcvFlag) {
    struct sockaddr_ll from;
    socklen_t fromLen = sizeof(from);
    const ssize_t n =
        ::recvfrom(fd, buf.data(), maxLen, 0, reinterpret_cast<struct sockaddr*>(&from), &fromLen);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      wait_readable(fd);
      continue;
    }
    if (n <= 0) continue;
    // What this host sends is seen once on the way out and, on loopback,
    // again on the way in: only the inbound copy is kept.
    if (from.sll_pkttype == PACKET_OUTGOING) continue;
    const TFrameInfo info = ParsePromiscFrame(buf.data(), static_cast<size_t>(n), frameFilter);
    switch (info.kind) {
      case TFrameInfo::Skip:
        continue;
      case TFrameInfo::Udp:
        std::printf("[UDP]%s:%d->%s:%d(%d)\n", IntegerToIpv4(info.srcIp).c_str(), info.srcPort,
                    IntegerToIpv4(info.dstIp).c_str(), info.dstPort, info.lenField);
        break;
      case TFrameInfo::Tcp:
        std::printf("[TCP]%d->%d(%d)", info.srcPort, info.dstPort, info.lenField);
        break;
      case TFrameInfo::Other:
        std::printf("Unknown dump data!!!\n");
        PrintHexData(buf.data(), static_cast<int>(n));
        continue;
    }
    if (m_callbackNewDataFunc != nullptr) {
      m_callbackNewDataFunc(buf.data() + info.payloadOffset, info.payloadLength);
    }
  }
  ::close(fd);
  std::printf("~RunPromiscRcvLoop()\n");
}

}  // namespace Qen
