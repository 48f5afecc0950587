// A failed open keeps ZAVO_ERR_NETWORK at the C interface, but says which
// step failed and why: once, as the last system message before ZAVO_Open
// returns, and in the log. Each way an open fails in the field, both modes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "api/udp_api_imp.h"
#include "api/udp_raw_api_imp.h"
#include "raw_test_support.h"
#include "support/session_peer.h"
#include "zavo_api.h"

namespace zavo {
namespace rawtest {
namespace {

constexpr const char* kGroup = "239.255.9.7";

class OpenFailure : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    rec().Reset();
    LogCatcher::Get().Clear();
  }
  void TearDown() override { SessionPeer::SetLoginTimeout(0); }

  bool raw() const { return GetParam(); }

  // Opens against 127.0.0.1:`port`; on success closes again at once.
  ZAVO_ERROR Open(int port, uint16_t mport, const char* local_ip = "127.0.0.1") {
    ZAVO_RawOpenSetting r = raw_settings(port, "SH;SZ", mport, kGroup);
    std::snprintf(r.LocalIP, sizeof(r.LocalIP), "%s", local_ip);
    ZAVO_ERROR err = ZAVO_SUCCESS;
    ZAVO_HANDLE h = nullptr;
    if (raw()) {
      h = ZAVO_OpenRaw(&r, &err);
    } else {
      const ZAVO_OpenSetting s = struct_settings_like(r);
      h = ZAVO_Open(&s, &err);
    }
    if (h != nullptr) {
      ZAVO_Close(h);
      ZAVO_Wait(h);
    }
    return err;
  }

  // The one explanation, which must be the last system message.
  ZAVO_OpenFailure Explanation() {
    const std::vector<SysMsg> sys = rec().sys();
    size_t n = 0;
    for (const SysMsg& m : sys) n += m.kind == ZAVO_MSG_OPEN_FAILED;
    EXPECT_EQ(n, 1u);
    EXPECT_FALSE(sys.empty());
    if (sys.empty() || sys.back().kind != ZAVO_MSG_OPEN_FAILED) {
      ADD_FAILURE() << "the explanation is not the last system message";
      return ZAVO_OpenFailure{};
    }
    return sys.back().open_failure;
  }
};

int unused_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);  // nothing listens there now
  return port;
}

TEST_P(OpenFailure, NoServerNamesTheAddressAndTheSystemsReason) {
  const int port = unused_port();
  ASSERT_GT(port, 0);
  ASSERT_EQ(Open(port, 17431), ZAVO_ERR_NETWORK);
  const ZAVO_OpenFailure f = Explanation();
  EXPECT_EQ(f.Step, ZAVO_OPEN_STEP_CONNECT);
  EXPECT_EQ(f.SystemError, ECONNREFUSED);
  const std::string want =
      "connecting to 127.0.0.1:" + std::to_string(port) + " failed: connection refused";
  EXPECT_EQ(std::string(f.Reason), want);
  EXPECT_TRUE(LogCatcher::Get().Contains("TCP Session Disconnected: connection refused"));
}

TEST_P(OpenFailure, RefusedAndUnansweredLoginsSayWhatTheServerDid) {
  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);
  srv.SetAnswer(LoginAnswer::kRefuse);
  ASSERT_EQ(Open(port, 17432), ZAVO_ERR_NETWORK);
  ZAVO_OpenFailure f = Explanation();
  EXPECT_EQ(f.Step, ZAVO_OPEN_STEP_LOGIN);
  EXPECT_EQ(f.SystemError, 0);
  EXPECT_EQ(std::string(f.Reason).rfind("login refused by 127.0.0.1:" + std::to_string(port), 0),
            0u)
      << f.Reason;

  rec().Reset();
  srv.SetAnswer(LoginAnswer::kSilent);
  SessionPeer::SetLoginTimeout(300);
  ASSERT_EQ(Open(port, 17432), ZAVO_ERR_NETWORK);
  f = Explanation();
  EXPECT_EQ(f.Step, ZAVO_OPEN_STEP_LOGIN_TIMEOUT);
  EXPECT_EQ(std::string(f.Reason),
            "login not answered within 300 ms by 127.0.0.1:" + std::to_string(port));
  EXPECT_TRUE(LogCatcher::Get().Contains("Open Timeout: login not answered within 300 ms"));
}

TEST_P(OpenFailure, FailedJoinsNameTheGroupTheInterfaceAndTheCause) {
  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);
  srv.SetAnswer(LoginAnswer::kAccept);

  // An interface address this host does not have.
  ASSERT_EQ(Open(port, 17433, "10.77.0.1"), ZAVO_ERR_NETWORK);
  ZAVO_OpenFailure f = Explanation();
  EXPECT_EQ(f.Step, ZAVO_OPEN_STEP_JOIN);
  EXPECT_TRUE(f.SystemError == EADDRNOTAVAIL || f.SystemError == ENODEV) << f.SystemError;
  EXPECT_NE(std::string(f.Reason).find("joining 239.255.9.7:17433 on interface 10.77.0.1 failed: "),
            std::string::npos)
      << f.Reason;
  EXPECT_NE(std::string(f.Reason).find("(LocalIP must be an address of this host)"),
            std::string::npos)
      << f.Reason;
  EXPECT_TRUE(LogCatcher::Get().Contains("Open UDP Multicast Error. joining 239.255.9.7:17433"));

  // Another reader of the same group and port on this host.
  rec().Reset();
  const int other = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(17434);
  ASSERT_EQ(::inet_pton(AF_INET, kGroup, &a.sin_addr), 1);
  ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  const ZAVO_ERROR rc = Open(port, 17434);
  ::close(other);
  ASSERT_EQ(rc, ZAVO_ERR_NETWORK);
  f = Explanation();
  EXPECT_EQ(f.Step, ZAVO_OPEN_STEP_JOIN);
  EXPECT_EQ(f.SystemError, EADDRINUSE);
  EXPECT_EQ(std::string(f.Reason),
            "joining 239.255.9.7:17434 on interface 127.0.0.1 failed: address already in use: "
            "another process reads this feed; see ZAVO_SHARE_FEED");

  // And a good open explains nothing.
  rec().Reset();
  ASSERT_EQ(Open(port, 17435), ZAVO_SUCCESS);
  for (const SysMsg& m : rec().sys()) EXPECT_NE(m.kind, ZAVO_MSG_OPEN_FAILED);
}

INSTANTIATE_TEST_SUITE_P(BothModes, OpenFailure, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return std::string(i.param ? "Raw" : "Struct");
                         });

}  // namespace
}  // namespace rawtest
}  // namespace zavo
