#include "support/netns.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace zavo {
namespace test {

namespace {

bool g_in_netns = false;

bool write_file(const char* path, const std::string& text) {
  int fd = ::open(path, O_WRONLY);
  if (fd < 0) return false;
  ssize_t n = ::write(fd, text.data(), text.size());
  ::close(fd);
  return n == static_cast<ssize_t>(text.size());
}

bool bring_loopback_up(std::string* why) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    *why = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  struct ifreq ifr;
  std::memset(&ifr, 0, sizeof(ifr));
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  if (ok) {
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  }
  if (!ok) *why = std::string("bringing lo up: ") + std::strerror(errno);
  ::close(fd);
  return ok;
}

}  // namespace

bool enter_private_netns(std::string* why) {
  std::string scratch;
  if (why == nullptr) why = &scratch;
  if (g_in_netns) return true;
  if (::unshare(CLONE_NEWNET) != 0) {
    int first = errno;
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
      *why = std::string("unshare(CLONE_NEWNET): ") + std::strerror(first) +
             "; unshare(CLONE_NEWUSER|CLONE_NEWNET): " + std::strerror(errno) +
             " (run as root, or enable unprivileged user namespaces)";
      return false;
    }
    // Map ourselves to root inside the new user namespace so that we may
    // configure its network namespace.
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  }
  if (!bring_loopback_up(why)) return false;
  g_in_netns = true;
  return true;
}

bool in_private_netns() { return g_in_netns; }

}  // namespace test
}  // namespace zavo
