#include "util/helpers.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <thread>

namespace zavo {
namespace {

TEST(StringSplit, DropsEmptyPiecesAndKeepsOrder) {
  using V = std::vector<std::string>;
  EXPECT_EQ(StringSplit("", ';'), V{});
  EXPECT_EQ(StringSplit(";;;", ';'), V{});
  EXPECT_EQ(StringSplit("SH", ';'), V{"SH"});
  EXPECT_EQ(StringSplit(";SH;;SZ;", ';'), (V{"SH", "SZ"}));
  EXPECT_EQ(StringSplit("600000.SH;000001.SZ", ';'), (V{"600000.SH", "000001.SZ"}));
  EXPECT_EQ(StringSplit("a b", ';'), V{"a b"});
  EXPECT_EQ(StringSplit("x,y,,z", ','), (V{"x", "y", "z"}));
}

TEST(BindToCpu, PinsTheCallingThreadAndRejectsOutOfRange) {
  std::thread t([] {
    EXPECT_EQ(bind_2_cpu(0), 0);
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof(set), &set), 0);
    EXPECT_EQ(CPU_COUNT(&set), 1);
    EXPECT_TRUE(CPU_ISSET(0, &set));
    // An empty set is refused by the system and leaves the binding alone.
    EXPECT_NE(bind_2_cpu(-1), 0);
    EXPECT_NE(bind_2_cpu(1024), 0);
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof(set), &set), 0);
    EXPECT_TRUE(CPU_ISSET(0, &set));
  });
  t.join();
}

}  // namespace
}  // namespace zavo
