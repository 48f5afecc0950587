// main() of the suites that use multicast or packet sockets: they run inside
// a private network namespace made here, before any thread exists.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/netns.h"

int main(int argc, char** argv) {
  std::string why;
  if (!zavo::test::enter_private_netns(&why)) {
    std::fprintf(stderr, "cannot make a private network namespace: %s\n", why.c_str());
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
