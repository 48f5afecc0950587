// Once open, a session re-establishes a lost control connection, however
// soon after the login answer the connection is lost: right behind the
// answer (FIN or RST), in the middle of the base information, or just
// after Open returned. Many rounds, both modes, with the reconnection
// interval shortened so that each round takes a fraction of a second.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/control_channel.h"
#include "raw_test_support.h"
#include "zavo_api.h"

namespace zavo {
namespace rawtest {
namespace {

constexpr int kRounds = 12;
constexpr uint32_t kShortIntervalMs = 40;

enum class Drop { kRightAfterLoginFin, kRightAfterLoginRst, kDuringBaseInfo, kAfterOpenReturned };

struct Case {
  bool raw;
  Drop drop;
};

std::string case_name(const ::testing::TestParamInfo<Case>& i) {
  static const char* const kDrops[] = {"AfterLoginFin", "AfterLoginRst", "DuringBaseInfo",
                                       "AfterOpenReturned"};
  return std::string(i.param.raw ? "Raw" : "Struct") + kDrops[static_cast<int>(i.param.drop)];
}

class ReconnectAfterEarlyDrop : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override { ControlChannel::SetReconnectIntervalMs(kShortIntervalMs); }
  void TearDown() override { ControlChannel::SetReconnectIntervalMs(0); }

  ZAVO_HANDLE Open(int port, ZAVO_ERROR* err) {
    const uint16_t mport = GetParam().raw ? 17421 : 17423;
    ZAVO_RawOpenSetting r = raw_settings(port, "SH;SZ", mport, "239.255.9.5");
    if (GetParam().raw) return ZAVO_OpenRaw(&r, err);
    ZAVO_OpenSetting s = struct_settings_like(r);
    return ZAVO_Open(&s, err);
  }
};

TEST_P(ReconnectAfterEarlyDrop, EveryRoundConnectsAgain) {
  FakeServer srv;
  const int port = srv.Start();
  ASSERT_GT(port, 0);
  switch (GetParam().drop) {
    case Drop::kRightAfterLoginFin:
      srv.SetAnswer(LoginAnswer::kAcceptThenClose);
      break;
    case Drop::kRightAfterLoginRst:
      srv.SetAnswer(LoginAnswer::kAcceptThenReset);
      break;
    case Drop::kDuringBaseInfo:
      srv.SetAnswer(LoginAnswer::kAcceptInfoThenClose);
      break;
    case Drop::kAfterOpenReturned:
      srv.SetAnswer(LoginAnswer::kAccept);
      break;
  }
  int reconnected = 0;
  for (int round = 0; round < kRounds; ++round) {
    rec().Reset();
    const int before = srv.connections();
    ZAVO_ERROR err = ZAVO_ERR_BUSY;
    ZAVO_HANDLE h = Open(port, &err);
    ASSERT_NE(h, nullptr) << "round " << round;
    ASSERT_EQ(err, ZAVO_SUCCESS);
    if (GetParam().drop == Drop::kAfterOpenReturned) srv.Drop();
    // The drop is seen, and a new connection follows it.
    EXPECT_TRUE(rec().WaitSysKind(ZAVO_MSG_DISCONNECT, 1)) << "round " << round;
    if (srv.WaitConnections(before + 2, 2000)) {
      ++reconnected;
      EXPECT_TRUE(rec().WaitSysKind(ZAVO_MSG_CONNECT, 2)) << "round " << round;
    }
    ZAVO_Close(h);
    ZAVO_Wait(h);
  }
  EXPECT_EQ(reconnected, kRounds);
}

INSTANTIATE_TEST_SUITE_P(
    BothModes, ReconnectAfterEarlyDrop,
    ::testing::Values(Case{false, Drop::kRightAfterLoginFin},
                      Case{false, Drop::kRightAfterLoginRst}, Case{false, Drop::kDuringBaseInfo},
                      Case{false, Drop::kAfterOpenReturned}, Case{true, Drop::kRightAfterLoginFin},
                      Case{true, Drop::kRightAfterLoginRst}, Case{true, Drop::kDuringBaseInfo},
                      Case{true, Drop::kAfterOpenReturned}),
    case_name);

}  // namespace
}  // namespace rawtest
}  // namespace zavo
