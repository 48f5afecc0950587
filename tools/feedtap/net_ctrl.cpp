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

#include "recv_batch.h"
#include "tool_messages.h"

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
    std::fprintf(feedtap::MessageStream(),
                 "Receive buffer: asked for %d bytes, the kernel granted %d (net.core.rmem_max)\n",
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

// Datagrams read with one system call. A burst of 64 small datagrams is a
// few microseconds of decoding, short against the 10 ms flush interval.
constexpr size_t kBatchSize = 64;
// What is still queued when a stop is asked for is read and written out, up
// to this many batches (far more than the receive buffer holds).
constexpr int kDrainBatches = 1024;

int64_t mono_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Says which step of the packet socket's set-up failed, with the system's
// reason, and closes the socket (if any) keeping errno.
bool packet_setup_failed(int sock, const char* step, const std::string& nic) {
  const int err = errno;
  std::fprintf(stderr, "ERR:%s (%s): %s\n", step, nic.c_str(), std::strerror(err));
  if (sock >= 0) ::close(sock);
  errno = err;
  return false;
}


}  // namespace

// When the output is written out, and the once-a-second receive line. Output
// is flushed when the socket has run dry (nothing sits in memory while the
// feed is quiet) and at least every 10 ms while data keeps coming.
class CUdpCtrl::ReceivePacer {
 public:
  explicit ReceivePacer(CUdpCtrl* owner) : owner_(owner), lastFlush_(mono_ns()) {
    lastReport_ = lastFlush_;
  }

  void Count(size_t bytes) {
    ++datagrams_;
    bytes_ += bytes;
    pending_ = true;
  }
  // After each batch that delivered something.
  void AfterBatch() {
    const int64_t now = mono_ns();
    if (now - lastReport_ >= kReportNs) report(now);
    if (pending_ && now - lastFlush_ >= kFlushNs) Flush(now);
  }
  // The socket has nothing more: write out before waiting.
  void Idle() {
    if (pending_) Flush(mono_ns());
  }
  void Flush(int64_t now) {
    if (owner_->m_callbackFlushFunc != nullptr) owner_->m_callbackFlushFunc();
    std::fflush(feedtap::MessageStream());
    pending_ = false;
    lastFlush_ = now;
  }

 private:
  static constexpr int64_t kFlushNs = 10000000;
  static constexpr int64_t kReportNs = 1000000000;

  void report(int64_t now) {
    if (datagrams_ > 0) {
      struct timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      std::fprintf(feedtap::MessageStream(), "[%ld:%ld] Rcv %llu datagrams, %llu bytes\n",
                   static_cast<long>(ts.tv_sec), static_cast<long>(ts.tv_nsec),
                   static_cast<unsigned long long>(datagrams_),
                   static_cast<unsigned long long>(bytes_));
    }
    datagrams_ = 0;
    bytes_ = 0;
    lastReport_ = now;
  }

  CUdpCtrl* owner_;
  int64_t lastFlush_;
  int64_t lastReport_;
  bool pending_ = false;
  unsigned long long datagrams_ = 0;
  unsigned long long bytes_ = 0;
};

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
  FILE* out = feedtap::MessageStream();
  for (int i = 0; i < size; ++i) {
    if (i % 16 == 0) std::fprintf(out, "(%.4d): ", i);
    std::fprintf(out, "%.2x,", buf[i]);
    if (i % 16 == 15) {
      std::fputs("   [", out);
      for (int j = i - 15; j <= i; ++j) {
        const unsigned char c = buf[j];
        std::fputc(c < '!' || c > '}' ? '.' : c, out);
      }
      std::fputs("]\n", out);
    }
  }
  std::fputc('\n', out);
}

CUdpCtrl::~CUdpCtrl() {
  if (Stop()) std::fprintf(feedtap::MessageStream(), "m_pThreadRcvTask join\n");
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
  FILE* out = feedtap::MessageStream();
  std::fprintf(out, "Init Multicast Receive: LocalIp %s, groupIp %s, groupPort %d\n",
               config.localIp.c_str(), config.groupIp.c_str(), config.groupPort);
  config.socket = -1;
  // Text that is not an address would turn into 255.255.255.255 and fail
  // later with a less useful reason.
  struct in_addr group, local, source;
  if (inet_pton(AF_INET, config.groupIp.c_str(), &group) != 1) {
    std::fprintf(stderr, "ERR:group address is not an IPv4 address: '%s'\n",
                 config.groupIp.c_str());
    return false;
  }
  if (inet_pton(AF_INET, config.localIp.c_str(), &local) != 1) {
    std::fprintf(stderr, "ERR:local interface address is not an IPv4 address: '%s'\n",
                 config.localIp.c_str());
    return false;
  }
  if (!config.groupSrcIp.empty() && inet_pton(AF_INET, config.groupSrcIp.c_str(), &source) != 1) {
    std::fprintf(stderr, "ERR:group source address is not an IPv4 address: '%s'\n",
                 config.groupSrcIp.c_str());
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    const int err = errno;
    std::fprintf(stderr, "socket error\xef\xbc\x9a %d - %s\n", fd, std::strerror(err));
    return false;
  }
  // A failed set-up leaves no descriptor behind; errno stays the one of
  // the step that failed.
  auto fail = [fd](int err) {
    ::close(fd);
    errno = err;
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
    std::fprintf(stderr, "bind error: %d - %s\n", -1, std::strerror(err));
    return fail(err);
  }
  if (nonBlockMode && !set_nonblock(fd)) {
    const int err = errno;
    std::fprintf(stderr, "Set NONBLOCK failed\n");
    return fail(err);
  }
  int rc;
  if (!config.groupSrcIp.empty()) {
    std::fprintf(out, "Assign group source address:%s\n", config.groupSrcIp.c_str());
    struct ip_mreq_source mreq;
    std::memset(&mreq, 0, sizeof(mreq));
    mreq.imr_multiaddr = group;
    mreq.imr_interface = local;
    mreq.imr_sourceaddr = source;
    rc = setsockopt(fd, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &mreq, sizeof(mreq));
  } else {
    struct ip_mreq mreq;
    std::memset(&mreq, 0, sizeof(mreq));
    mreq.imr_multiaddr = group;
    mreq.imr_interface = local;
    rc = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq));
  }
  if (rc != 0) {
    const int err = errno;
    std::fprintf(stderr, "ERR:setsockopt():IP_ADD_MEMBERSHIP error:%d (%s)\n", err,
                 std::strerror(err));
    return fail(err);
  }
  config.socket = fd;
  std::fprintf(out, "InitRcvMulticast success.\n");
  return true;
}

bool CUdpCtrl::GetNicbyIp(std::string localAddr, std::string& Nic) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::fprintf(stderr, "socket error\n");
    return false;
  }
  char buf[2048];
  struct ifconf ifc;
  ifc.ifc_len = sizeof(buf);
  ifc.ifc_buf = buf;
  if (ioctl(fd, SIOCGIFCONF, &ifc) < 0) {
    ::close(fd);
    std::fprintf(stderr, "ioctl error \n");
    return false;
  }
  bool found = false;
  const int count = ifc.ifc_len / static_cast<int>(sizeof(struct ifreq));
  for (int i = 0; i < count && !found; ++i) {
    struct ifreq req;
    std::memcpy(&req, buf + i * sizeof(struct ifreq), sizeof(req));
    if (ioctl(fd, SIOCGIFADDR, &req) < 0) {
      std::fprintf(stderr, "get mac info error \n");
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
  if (!found) std::fprintf(stderr, "get nic info error \n");
  return found;
}

bool CUdpCtrl::SetNicPromiscuosMode(int& fd, const char* ipAddr, bool nonblock) {
  fd = -1;
  std::string nic;
  if (!GetNicbyIp(ipAddr, nic)) {
    std::fprintf(stderr, "Nic(%s) Init MiscMode Receive Get NicName Failed.\n", ipAddr);
    return false;
  }
  const int sock = ::socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
  if (sock < 0) return packet_setup_failed(-1, "cannot open a packet socket", nic);
  auto fail = [sock, &nic](const char* step) { return packet_setup_failed(sock, step, nic); };
  struct ifreq req;
  std::memset(&req, 0, sizeof(req));
  std::strncpy(req.ifr_name, nic.c_str(), IFNAMSIZ - 1);
  if (ioctl(sock, SIOCGIFINDEX, &req) < 0) return fail("SIOCGIFINDEX");
  struct sockaddr_ll sll;
  std::memset(&sll, 0, sizeof(sll));
  sll.sll_family = AF_PACKET;
  sll.sll_ifindex = req.ifr_ifindex;
  sll.sll_protocol = htons(ETH_P_ALL);
  if (::bind(sock, reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)) < 0) {
    return fail("cannot bind the packet socket");
  }
  raise_receive_buffer(sock);
  if (nonblock && !set_nonblock(sock)) {
    std::fprintf(stderr, "Set NONBLOCK failed\n");
    return fail("O_NONBLOCK");
  }
  struct packet_mreq mr;
  std::memset(&mr, 0, sizeof(mr));
  mr.mr_ifindex = req.ifr_ifindex;
  mr.mr_type = PACKET_MR_PROMISC;
  mr.mr_alen = 6;
  if (setsockopt(sock, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof(mr)) != 0) {
    return fail("cannot put the interface in promiscuous mode");
  }
  fd = sock;
  return true;
}

void CUdpCtrl::CreateMulticastRcvTask(int& fd, size_t RCV_MAX_LEN) {
  if (Stop()) std::fprintf(feedtap::MessageStream(), "Previous Mc thread task joined\n");
  // Raised before the thread starts, so that a Stop() that follows at once
  // cannot be overwritten by the new thread.
  m_rcvFlag = true;
  m_pThreadRcvTask = new std::thread(&CUdpCtrl::RunMulticastRcvTask, this, fd, RCV_MAX_LEN);
}

void CUdpCtrl::CreatePromiscRcvTask(int& fd, const TIpFilterInfo& filter, size_t RCV_MAX_LEN) {
  if (Stop()) std::fprintf(feedtap::MessageStream(), "Previous Promisc thread task joined\n");
  m_rcvFlag = true;
  m_pThreadRcvTask = new std::thread(&CUdpCtrl::RunPromiscRcvLoop, this, fd, filter, RCV_MAX_LEN);
}

void CUdpCtrl::deliver_datagrams(const RecvBatch& batch, int n, ReceivePacer& pacer) {
  for (int i = 0; i < n; ++i) {
    const size_t len = batch.Length(i);
    pacer.Count(len);
    if (m_callbackNewDataFunc != nullptr && len > 0) m_callbackNewDataFunc(batch.Data(i), len);
  }
}

void CUdpCtrl::RunMulticastRcvTask(int fd, size_t maxLen) {
  FILE* out = feedtap::MessageStream();
  if (fd < 0) {
    std::fprintf(out, "Invalid file description(%d)\n", fd);
    std::fflush(out);
    return;
  }
  std::fprintf(out, "Start running udp rcv task...\n");
  std::fflush(out);
  RecvBatch batch(kBatchSize, maxLen);
  ReceivePacer pacer(this);
  while (m_rcvFlag) {
    const int n = batch.Receive(fd);
    if (n > 0) {
      deliver_datagrams(batch, n, pacer);
      pacer.AfterBatch();
    } else if (n < 0) {
      // Nothing queued, or an error the socket reports once (it is read
      // again after the wait either way).
      pacer.Idle();
      wait_readable(fd);
    }
  }
  // Datagrams the kernel already holds were captured before the stop.
  for (int i = 0; i < kDrainBatches; ++i) {
    const int n = batch.Receive(fd);
    if (n <= 0) break;
    deliver_datagrams(batch, n, pacer);
  }
  pacer.Flush(mono_ns());
  ::close(fd);
  std::fprintf(out, "Stop running udp rcv task...\n");
  std::fflush(out);
}

void CUdpCtrl::deliver_frames(const RecvBatch& batch, int n, const TFrameFilter& filter,
                              ReceivePacer& pacer) {
  FILE* out = feedtap::MessageStream();
  for (int i = 0; i < n; ++i) {
    // What this host sends is seen once on the way out and, on loopback,
    // again on the way in: only the inbound copy is kept.
    const auto* from = reinterpret_cast<const struct sockaddr_ll*>(&batch.From(i));
    if (from->sll_pkttype == PACKET_OUTGOING) continue;
    const unsigned char* frame = batch.Data(i);
    const size_t len = batch.Length(i);
    const TFrameInfo info = ParsePromiscFrame(frame, len, filter);
    switch (info.kind) {
      case TFrameInfo::Skip:
        continue;
      case TFrameInfo::Udp:
        std::fprintf(out, "[UDP]%s:%d->%s:%d(%d)\n", IntegerToIpv4(info.srcIp).c_str(),
                     info.srcPort, IntegerToIpv4(info.dstIp).c_str(), info.dstPort, info.lenField);
        break;
      case TFrameInfo::Tcp:
        std::fprintf(out, "[TCP]%d->%d(%d)", info.srcPort, info.dstPort, info.lenField);
        break;
      case TFrameInfo::Other:
        std::fprintf(out, "Unknown dump data!!!\n");
        PrintHexData(frame, static_cast<int>(len));
        continue;
    }
    pacer.Count(info.payloadLength);
    if (m_callbackNewDataFunc != nullptr) {
      m_callbackNewDataFunc(frame + info.payloadOffset, info.payloadLength);
    }
  }
}

void CUdpCtrl::RunPromiscRcvLoop(int fd, TIpFilterInfo filter, size_t maxLen) {
  FILE* out = feedtap::MessageStream();
  std::fprintf(out, "RunPromiscRcvLoop()\n");
  if (fd < 0) {
    std::fprintf(out, "Invalid file description(%d)\n", fd);
    std::fflush(out);
    return;
  }
  std::fflush(out);
  const TFrameFilter frameFilter = MakeFrameFilter(filter);
  RecvBatch batch(kBatchSize, maxLen);
  ReceivePacer pacer(this);
  while (m_rcvFlag) {
    const int n = batch.Receive(fd);
    if (n > 0) {
      deliver_frames(batch, n, frameFilter, pacer);
      pacer.AfterBatch();
    } else if (n < 0) {
      // Nothing queued, or an error the socket reports once (it is read
      // again after the wait either way).
      pacer.Idle();
      wait_readable(fd);
    }
  }
  for (int i = 0; i < kDrainBatches; ++i) {
    const int n = batch.Receive(fd);
    if (n <= 0) break;
    deliver_frames(batch, n, frameFilter, pacer);
  }
  pacer.Flush(mono_ns());
  ::close(fd);
  std::fprintf(out, "~RunPromiscRcvLoop()\n");
  std::fflush(out);
}

}  // namespace Qen
