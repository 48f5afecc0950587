#include "feed_recorder.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zavo {
namespace record {

namespace {

// Larger than any datagram a feed sends.
constexpr size_t kBufferSize = 65536;
// Kernel receive buffer asked for; a recorder must not lose a burst while
// it writes the file.
constexpr int kSocketRecvBuffer = 8 << 20;
// Taken names passed over in a row before a rotation gives up.
constexpr unsigned kMaxRotatedNames = 10000;

uint64_t realtime_ns() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

int local_hour_key(uint64_t ts_ns) {
  const time_t t = static_cast<time_t>(ts_ns / 1000000000ULL);
  tm local;
  localtime_r(&t, &local);
  return local.tm_yday * 24 + local.tm_hour + local.tm_year * 24 * 366;
}

std::string sys_error(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

bool ParseEndpoint(const std::string& text, sockaddr_in* out) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 >= text.size()) return false;
  const std::string ip = text.substr(0, colon);
  char* end = nullptr;
  const unsigned long port = std::strtoul(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port == 0 || port > 65535) return false;
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, ip.c_str(), &out->sin_addr) == 1;
}

FeedRecorder::FeedRecorder(const RecorderConfig& cfg) : cfg_(cfg) {
  writer_.set_compressed(cfg.compress);
}

FeedRecorder::~FeedRecorder() {
  Stop();
}

std::string FeedRecorder::RotatedName(const std::string& out, unsigned n) {
  // The compression suffix stays last, after the capture's own extension.
  static const std::string kZst = ".zst";
  if (out.size() > kZst.size() && out.compare(out.size() - kZst.size(), kZst.size(), kZst) == 0 &&
      out[out.size() - kZst.size() - 1] != '/') {
    return RotatedName(out.substr(0, out.size() - kZst.size()), n) + kZst;
  }
  char num[16];
  std::snprintf(num, sizeof(num), ".%04u", n);
  const size_t slash = out.rfind('/');
  const size_t dot = out.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == 0 ||
      (slash != std::string::npos && dot == slash + 1)) {
    return out + num;
  }
  return out.substr(0, dot) + num + out.substr(dot);
}

std::string FeedRecorder::FirstFile(const RecorderConfig& cfg) {
  const bool rotating = cfg.rotate_bytes > 0 || cfg.rotate_hourly;
  return rotating ? RotatedName(cfg.out, 0) : cfg.out;
}

bool FeedRecorder::open_next_file(std::string* error) {
  if (writer_.IsOpen() && !writer_.Close()) ++counts_.write_errors;
  if (files_.empty()) {
    const std::string path = FirstFile(cfg_);
    next_index_ = 1;
    const auto mode = cfg_.overwrite ? PcapWriter::Mode::kReplace : PcapWriter::Mode::kCreateNew;
    if (!writer_.Open(path, error, mode)) return false;
    files_.push_back(path);
  } else {
    // A later file of a series never replaces one: an older recording (or
    // anything else) holding the next name keeps it, and the series goes
    // on with the next free number.
    bool existed = true;
    std::string path;
    for (unsigned tries = 0; existed && tries < kMaxRotatedNames; ++tries) {
      path = RotatedName(cfg_.out, next_index_++);
      if (writer_.Open(path, error, PcapWriter::Mode::kCreateNew, &existed)) break;
      if (!existed) return false;
      std::fprintf(stderr, "zavo_record: %s exists and is kept; going on with the next name\n",
                   path.c_str());
    }
    if (!writer_.IsOpen()) {
      if (error) *error = "no free file name after " + path;
      return false;
    }
    files_.push_back(path);
  }
  ++counts_.files;
  file_hour_ = local_hour_key(realtime_ns());
  return true;
}

bool FeedRecorder::Start(std::string* error) {
  if (cfg_.groups.empty()) {
    if (error) *error = "no group to record";
    return false;
  }
  in_addr iface;
  if (inet_pton(AF_INET, cfg_.interface_ip.c_str(), &iface) != 1) {
    if (error) *error = "bad interface address \"" + cfg_.interface_ip + "\"";
    return false;
  }
  for (const std::string& g : cfg_.groups) {
    Member m;
    m.buffer.resize(kBufferSize);
    if (!ParseEndpoint(g, &m.group)) {
      if (error) *error = "bad group \"" + g + "\" (expected IP:PORT)";
      Stop();
      return false;
    }
    m.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m.fd < 0) {
      if (error) *error = sys_error("socket");
      Stop();
      return false;
    }
    members_.push_back(m);
    const int one = 1;
    int rcvbuf = kSocketRecvBuffer;
    (void)::setsockopt(m.fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    ip_mreq mreq{};
    mreq.imr_multiaddr = m.group.sin_addr;
    mreq.imr_interface = iface;
    // Bound to the group like the library's receiver, so only this group's
    // datagrams arrive; address reuse lets both share it.
    if (::setsockopt(m.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        ::setsockopt(m.fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof(one)) != 0 ||
        ::bind(m.fd, reinterpret_cast<const sockaddr*>(&m.group), sizeof(m.group)) != 0 ||
        ::setsockopt(m.fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0) {
      const bool taken = errno == EADDRINUSE;
      if (error) *error = sys_error(("cannot join " + g + " on " + cfg_.interface_ip).c_str());
      if (error && taken) *error += " (a program takes it without ZAVO_SHARE_FEED=1)";
      Stop();
      return false;
    }
  }
  if (!open_next_file(error)) {
    Stop();
    return false;
  }
  return true;
}

bool FeedRecorder::rotation_due(uint64_t ts_ns) const {
  if (cfg_.rotate_bytes > 0 && writer_.FileBytes() >= cfg_.rotate_bytes) return true;
  return cfg_.rotate_hourly && local_hour_key(ts_ns) != file_hour_;
}

bool FeedRecorder::receive(Member& m, std::string* error) {
  iovec iov{m.buffer.data(), m.buffer.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr msg{};
  m.from = sockaddr_in{};
  msg.msg_name = &m.from;
  msg.msg_namelen = sizeof(m.from);
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  const ssize_t n = ::recvmsg(m.fd, &msg, 0);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      m.dry = true;
      return true;
    }
    if (error) *error = sys_error("recvmsg");
    return false;
  }
  m.ts_ns = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec t;
      std::memcpy(&t, CMSG_DATA(c), sizeof(t));
      m.ts_ns = static_cast<uint64_t>(t.tv_sec) * 1000000000ULL + static_cast<uint64_t>(t.tv_nsec);
    }
  }
  if (m.ts_ns == 0) m.ts_ns = realtime_ns();
  m.len = static_cast<size_t>(n);
  m.pending = true;
  return true;
}

bool FeedRecorder::write(Member& m, std::string* error) {
  m.pending = false;
  // Kernel stamps of different sockets can disagree by a little; the file
  // stays in time order, which a replay's pacing relies on.
  if (m.ts_ns < last_ts_ns_) m.ts_ns = last_ts_ns_;
  last_ts_ns_ = m.ts_ns;
  if (rotation_due(m.ts_ns) && !open_next_file(error)) return false;
  if (!writer_.Write(m.ts_ns, m.from, m.group, m.buffer.data(), m.len)) {
    ++counts_.write_errors;
    if (error) *error = "cannot write " + writer_.path() + ": " + std::strerror(errno);
    return false;
  }
  ++counts_.datagrams;
  counts_.bytes += m.len;
  gaps_.OnDatagram(m.group, m.buffer.data(), m.len);
  return true;
}

bool FeedRecorder::Poll(int timeout_ms, std::string* error) {
  if (members_.empty()) return false;
  std::vector<pollfd> fds;
  for (const Member& m : members_) fds.push_back(pollfd{m.fd, POLLIN, 0});
  const int rc = ::poll(fds.data(), fds.size(), timeout_ms);
  if (rc < 0 && errno != EINTR) {
    if (error) *error = sys_error("poll");
    return false;
  }
  // The groups' datagrams are merged by receive time, so that the file is
  // in time order across groups as a replay needs. Bounded, so a busy feed
  // cannot keep the caller here for ever.
  for (Member& m : members_) m.dry = false;
  for (int taken = 0; rc > 0 && taken < 8192; ++taken) {
    Member* first = nullptr;
    for (Member& m : members_) {
      if (!m.pending && !m.dry && !receive(m, error)) return false;
      if (m.pending && (first == nullptr || m.ts_ns < first->ts_ns)) first = &m;
    }
    if (first == nullptr) break;
    if (!write(*first, error)) return false;
  }
  // Whatever is still held back is written now rather than at the next call.
  for (Member& m : members_) {
    if (m.pending && !write(m, error)) return false;
  }
  // An hour can also turn over while the feed is quiet.
  if (cfg_.rotate_hourly && writer_.IsOpen() && rotation_due(realtime_ns())) {
    return open_next_file(error);
  }
  return true;
}

bool FeedRecorder::Flush() {
  return writer_.Flush();
}

bool FeedRecorder::Stop() {
  for (Member& m : members_) {
    if (m.fd >= 0) ::close(m.fd);
  }
  members_.clear();
  if (!writer_.IsOpen()) return true;
  const bool ok = writer_.Close();
  if (!ok) ++counts_.write_errors;
  return ok;
}

}  // namespace record
}  // namespace zavo
