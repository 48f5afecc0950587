// The shared object must export the fourteen ZAVO_ functions and nothing
// else: every other symbol is an implementation detail that programs must
// not bind to.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

TEST(SharedObject, ExportsOnlyTheZavoFunctions) {
  const std::string cmd = std::string("nm -D --defined-only '") + ZAVO_SHARED_OBJECT + "' 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr) << "cannot run nm";
  std::set<std::string> names;
  std::string output;
  char line[1024];
  for (int i = 0; i < 100000 && fgets(line, sizeof line, p) != nullptr; ++i) {
    output += line;
    std::istringstream in(line);
    std::string addr, type, name;
    if (in >> addr >> type >> name) names.insert(name);
  }
  ASSERT_EQ(pclose(p), 0) << output;
  const std::set<std::string> expected = {"ZAVO_Open",
                                          "ZAVO_OpenRaw",
                                          "ZAVO_Close",
                                          "ZAVO_Wait",
                                          "ZAVO_Free",
                                          "ZAVO_Version",
                                          "ZAVO_GetCodeTable",
                                          "ZAVO_GetOptionCodeInfo",
                                          "ZAVO_UpdateSubscription",
                                          "ZAVO_GetLastMarketData",
                                          "ZAVO_GetLastIndexData",
                                          "ZAVO_GetLastFutureData",
                                          "ZAVO_RebuildStructData",
                                          "ZAVO_RebuildRawData"};
  EXPECT_EQ(names, expected) << output;
}

}  // namespace
