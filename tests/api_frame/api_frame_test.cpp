// The C interface in front of the API objects, exercised with doubles of
// the two mode bases installed through the factory hook.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "api/api_factory.h"
#include "api/api_imp.h"
#include "build_info.h"
#include "support/log_line.h"
#include "util/logger.h"
#include "zavo_api.h"

namespace zavo {
namespace {

// What the doubles saw, reset by the fixture.
struct Record {
  std::string calls;  // one letter per lifecycle call: C(lose) J(oin) R(elease)
  int forwarded = 0;  // typed operations reached
  int destroyed = 0;
  ZAVO_ERROR open_result = ZAVO_SUCCESS;
  int open_throws = 0;  // 1: runtime_error, 2: invalid_argument
  bool call_throws = false;
  int connect_id = 0;
  // Last arguments of the typed operations.
  std::string market, code, codes;
  ZAVO_SUBSCRIPTION_UPDATE mode = ZAVO_SUBSCRIBE_ALL;
  uint64_t begin = 0, end = 0;
  char raw_market = 0;
  ZAVO_DataHandler handler = nullptr;
  const void* out1 = nullptr;
  const void* out2 = nullptr;
};
Record g;

void maybe_throw() {
  if (g.call_throws) throw std::runtime_error("boom");
}

class FakeStruct : public StructApiImp {
 public:
  ~FakeStruct() override { ++g.destroyed; }
  void Release() override {
    g.calls += 'R';
    delete this;
  }
  void Close() override { g.calls += 'C'; }
  void Join() override { g.calls += 'J'; }
  int ConnectID() const override { return g.connect_id; }

  ZAVO_ERROR Open(const ZAVO_OpenSetting& s) override {
    if (g.open_throws == 1) throw std::runtime_error("open");
    if (g.open_throws == 2) throw std::invalid_argument("open");
    g.connect_id = s.ConnectID;
    data_handler_ = s.DataHandler;
    system_handler_ = s.SystemHandler;
    return g.open_result;
  }
  ZAVO_ERROR GetCodeTable(const char* market, ZAVO_CODEINFO** table, unsigned int* count) override {
    maybe_throw();
    ++g.forwarded;
    g.market = market;
    g.out1 = table;
    g.out2 = count;
    *table = static_cast<ZAVO_CODEINFO*>(calloc(3, sizeof(ZAVO_CODEINFO)));
    *count = 3;
    return ZAVO_SUCCESS;
  }
  ZAVO_ERROR GetOptionCodeInfo(const char* code, ZAVO_OPTION_CODEINFO* info) override {
    maybe_throw();
    ++g.forwarded;
    g.code = code;
    g.out1 = info;
    return ZAVO_ERR_INVALID;
  }
  ZAVO_ERROR UpdateSubscription(ZAVO_SUBSCRIPTION_UPDATE mode, const char* codes) override {
    maybe_throw();
    ++g.forwarded;
    g.mode = mode;
    g.codes = codes;
    return ZAVO_SUCCESS;
  }
  ZAVO_ERROR GetLastMarketData(const char* market, ZAVO_SecuritySnapShot** data,
                               int* count) override {
    maybe_throw();
    ++g.forwarded;
    g.market = std::string("M:") + market;
    g.out1 = data;
    g.out2 = count;
    *data = nullptr;
    *count = 0;
    return ZAVO_SUCCESS;
  }
  ZAVO_ERROR GetLastIndexData(const char* market, ZAVO_IndexSnapShot** data, int* count) override {
    maybe_throw();
    ++g.forwarded;
    g.market = std::string("I:") + market;
    g.out1 = data;
    g.out2 = count;
    return ZAVO_ERR_INVALID;
  }
  ZAVO_ERROR GetLastFutureData(const char* market, ZAVO_FutureSnapShot** data,
                               int* count) override {
    maybe_throw();
    ++g.forwarded;
    g.market = std::string("F:") + market;
    g.out1 = data;
    g.out2 = count;
    return ZAVO_SUCCESS;
  }
  ZAVO_ERROR Rebuild(uint64_t begin, uint64_t end, ZAVO_DataHandler handler) override {
    maybe_throw();
    ++g.forwarded;
    g.begin = begin;
    g.end = end;
    g.handler = handler;
    return ZAVO_ERR_BUSY;
  }
};

class FakeRaw : public RawApiImp {
 public:
  ~FakeRaw() override { ++g.destroyed; }
  void Release() override {
    g.calls += 'R';
    delete this;
  }
  void Close() override { g.calls += 'C'; }
  void Join() override { g.calls += 'J'; }
  int ConnectID() const override { return g.connect_id; }
  ZAVO_ERROR Open(const ZAVO_RawOpenSetting& s) override {
    if (g.open_throws == 1) throw std::runtime_error("open");
    g.connect_id = s.ConnectID;
    return g.open_result;
  }
  ZAVO_ERROR Rebuild(char market, uint64_t begin, uint64_t end, ZAVO_DataHandler handler) override {
    maybe_throw();
    ++g.forwarded;
    g.raw_market = market;
    g.begin = begin;
    g.end = end;
    g.handler = handler;
    return ZAVO_ERR_NETWORK;
  }
};

StructApiImp* new_fake_struct() {
  return new FakeStruct();
}
RawApiImp* new_fake_raw() {
  return new FakeRaw();
}
StructApiImp* throwing_struct_factory() {
  throw std::bad_alloc();
}
// What a build without the mode classes hands out.
StructApiImp* null_struct_factory() {
  return nullptr;
}
RawApiImp* null_raw_factory() {
  return nullptr;
}

void noop_handler(void*, const ZAVO_MSG*) {}

class ApiFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    g = Record{};
    SetApiFactories(&new_fake_struct, &new_fake_raw);
  }
  void TearDown() override { SetApiFactories(nullptr, nullptr); }

  static ZAVO_OpenSetting struct_setting(int id) {
    ZAVO_OpenSetting s{};
    s.ConnectID = id;
    s.DataHandler = &noop_handler;
    s.SystemHandler = &noop_handler;
    return s;
  }
  static ZAVO_RawOpenSetting raw_setting(int id) {
    ZAVO_RawOpenSetting s{};
    s.ConnectID = id;
    return s;
  }
};

TEST_F(ApiFrame, NullAndWrongModeHandlesAreRejectedWithoutForwarding) {
  ZAVO_OpenSetting ss = struct_setting(1);
  ZAVO_RawOpenSetting rs = raw_setting(2);
  ZAVO_HANDLE s = ZAVO_Open(&ss, nullptr);
  ZAVO_HANDLE r = ZAVO_OpenRaw(&rs, nullptr);
  ASSERT_NE(s, nullptr);
  ASSERT_NE(r, nullptr);

  ZAVO_CODEINFO* table = nullptr;
  unsigned int ucount = 99;
  ZAVO_OPTION_CODEINFO info{};
  ZAVO_SecuritySnapShot* sec = nullptr;
  ZAVO_IndexSnapShot* idx = nullptr;
  ZAVO_FutureSnapShot* fut = nullptr;
  int count = 99;
  for (ZAVO_HANDLE h : {static_cast<ZAVO_HANDLE>(nullptr), r}) {
    EXPECT_EQ(ZAVO_GetCodeTable(h, "SH", &table, &ucount), ZAVO_ERR_INVALID);
    EXPECT_EQ(ZAVO_GetOptionCodeInfo(h, "10000001.SH", &info), ZAVO_ERR_INVALID);
    EXPECT_EQ(ZAVO_UpdateSubscription(h, ZAVO_SUBSCRIBE_ADD, "600000.SH"), ZAVO_ERR_INVALID);
    EXPECT_EQ(ZAVO_GetLastMarketData(h, "SH", &sec, &count), ZAVO_ERR_INVALID);
    EXPECT_EQ(ZAVO_GetLastIndexData(h, "SH", &idx, &count), ZAVO_ERR_INVALID);
    EXPECT_EQ(ZAVO_GetLastFutureData(h, "SH", &fut, &count), ZAVO_ERR_INVALID);
    EXPECT_EQ(ZAVO_RebuildStructData(h, 1, 2, &noop_handler), ZAVO_ERR_INVALID);
  }
  for (ZAVO_HANDLE h : {static_cast<ZAVO_HANDLE>(nullptr), s}) {
    EXPECT_EQ(ZAVO_RebuildRawData(h, '1', 1, 2, &noop_handler), ZAVO_ERR_INVALID);
  }
  EXPECT_EQ(g.forwarded, 0);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(ucount, 99u);
  EXPECT_EQ(count, 99);

  // Null handles to Close and Wait are ignored.
  ZAVO_Close(nullptr);
  ZAVO_Wait(nullptr);
  EXPECT_EQ(g.calls, "");

  ZAVO_Close(s);
  ZAVO_Wait(s);
  EXPECT_EQ(g.calls, "CJR");
  ZAVO_Close(r);
  ZAVO_Wait(r);
  EXPECT_EQ(g.calls, "CJRCJR");
  EXPECT_EQ(g.destroyed, 2);
}

TEST_F(ApiFrame, TypedCallsForwardArgumentsAndResultsUnchanged) {
  ZAVO_OpenSetting ss = struct_setting(5);
  ZAVO_ERROR err = ZAVO_ERR_NETWORK;
  ZAVO_HANDLE s = ZAVO_Open(&ss, &err);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(err, ZAVO_SUCCESS);
  // The handle is the object's ApiImp address.
  EXPECT_NE(dynamic_cast<FakeStruct*>(static_cast<ApiImp*>(s)), nullptr);

  ZAVO_CODEINFO* table = nullptr;
  unsigned int ucount = 0;
  EXPECT_EQ(ZAVO_GetCodeTable(s, "sz", &table, &ucount), ZAVO_SUCCESS);
  EXPECT_EQ(g.market, "sz");
  EXPECT_EQ(g.out1, &table);
  EXPECT_EQ(g.out2, &ucount);
  EXPECT_EQ(ucount, 3u);
  ASSERT_NE(table, nullptr);
  ZAVO_Free(table);  // the block came from malloc and goes back through free

  ZAVO_OPTION_CODEINFO info{};
  EXPECT_EQ(ZAVO_GetOptionCodeInfo(s, "10003001.SH", &info), ZAVO_ERR_INVALID);
  EXPECT_EQ(g.code, "10003001.SH");
  EXPECT_EQ(g.out1, &info);

  EXPECT_EQ(ZAVO_UpdateSubscription(s, ZAVO_SUBSCRIBE_REMOVE, "600000.SH;000001.SZ"), ZAVO_SUCCESS);
  EXPECT_EQ(g.mode, ZAVO_SUBSCRIBE_REMOVE);
  EXPECT_EQ(g.codes, "600000.SH;000001.SZ");

  ZAVO_SecuritySnapShot* sec = nullptr;
  ZAVO_IndexSnapShot* idx = nullptr;
  ZAVO_FutureSnapShot* fut = nullptr;
  int count = -1;
  EXPECT_EQ(ZAVO_GetLastMarketData(s, "SH", &sec, &count), ZAVO_SUCCESS);
  EXPECT_EQ(g.market, "M:SH");
  EXPECT_EQ(g.out1, &sec);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(ZAVO_GetLastIndexData(s, "SZ", &idx, &count), ZAVO_ERR_INVALID);
  EXPECT_EQ(g.market, "I:SZ");
  EXPECT_EQ(g.out1, &idx);
  EXPECT_EQ(ZAVO_GetLastFutureData(s, "SH", &fut, &count), ZAVO_SUCCESS);
  EXPECT_EQ(g.market, "F:SH");
  EXPECT_EQ(g.out2, &count);

  // Sequence numbers are full 64-bit values.
  const uint64_t big_begin = 0x1122334455667788ULL, big_end = 0xFFFFFFFFFFFFFFFEULL;
  EXPECT_EQ(ZAVO_RebuildStructData(s, big_begin, big_end, &noop_handler), ZAVO_ERR_BUSY);
  EXPECT_EQ(g.begin, big_begin);
  EXPECT_EQ(g.end, big_end);
  EXPECT_EQ(g.handler, &noop_handler);
  EXPECT_EQ(g.forwarded, 7);

  ZAVO_RawOpenSetting rs = raw_setting(6);
  ZAVO_HANDLE r = ZAVO_OpenRaw(&rs, &err);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(ZAVO_RebuildRawData(r, static_cast<char>(-3), 1ULL << 40, (1ULL << 40) + 9, nullptr),
            ZAVO_ERR_NETWORK);
  EXPECT_EQ(g.raw_market, static_cast<char>(-3));  // passed as a signed byte
  EXPECT_EQ(g.begin, 1ULL << 40);
  EXPECT_EQ(g.end, (1ULL << 40) + 9);
  EXPECT_EQ(g.handler, nullptr);

  // An exception inside an operation never crosses the C boundary.
  g.call_throws = true;
  EXPECT_EQ(ZAVO_GetCodeTable(s, "SH", &table, &ucount), ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_UpdateSubscription(s, ZAVO_SUBSCRIBE_ALL, nullptr), ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_RebuildStructData(s, 1, 2, &noop_handler), ZAVO_ERR_NETWORK);
  EXPECT_EQ(ZAVO_RebuildRawData(r, '1', 1, 2, &noop_handler), ZAVO_ERR_NETWORK);

  ZAVO_Close(s);
  ZAVO_Wait(s);
  ZAVO_Close(r);
  ZAVO_Wait(r);
  EXPECT_EQ(g.destroyed, 2);
}

TEST_F(ApiFrame, FailedOpenShutsDownOnceAndReturnsNull) {
  const ZAVO_ERROR failures[] = {ZAVO_ERR_NETWORK, ZAVO_ERR_INVALID};
  for (ZAVO_ERROR failure : failures) {
    g.calls.clear();
    g.destroyed = 0;
    g.open_result = failure;
    ZAVO_OpenSetting ss = struct_setting(1);
    ZAVO_ERROR err = ZAVO_SUCCESS;
    EXPECT_EQ(ZAVO_Open(&ss, &err), nullptr);
    EXPECT_EQ(err, failure);
    EXPECT_EQ(g.calls, "CJR");  // Close, Join, Release, each once, in that order
    EXPECT_EQ(g.destroyed, 1);

    EXPECT_EQ(ZAVO_Open(&ss, nullptr), nullptr);  // no place for the result: fine
    EXPECT_EQ(g.calls, "CJRCJR");

    ZAVO_RawOpenSetting rs = raw_setting(2);
    err = ZAVO_SUCCESS;
    EXPECT_EQ(ZAVO_OpenRaw(&rs, &err), nullptr);
    EXPECT_EQ(err, failure);
    EXPECT_EQ(ZAVO_OpenRaw(&rs, nullptr), nullptr);
    EXPECT_EQ(g.calls, "CJRCJRCJRCJR");
    EXPECT_EQ(g.destroyed, 4);
  }

  // An Open that throws is a failed open too: mapped, shut down, null.
  g = Record{};
  ZAVO_OpenSetting ss = struct_setting(1);
  ZAVO_ERROR err = ZAVO_SUCCESS;
  g.open_throws = 1;
  EXPECT_EQ(ZAVO_Open(&ss, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
  g.open_throws = 2;
  EXPECT_EQ(ZAVO_Open(&ss, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_INVALID);
  EXPECT_EQ(g.calls, "CJRCJR");
  EXPECT_EQ(g.destroyed, 2);
}

TEST_F(ApiFrame, NullSettingsAndMissingModes) {
  ZAVO_ERROR err = ZAVO_SUCCESS;
  EXPECT_EQ(ZAVO_Open(nullptr, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_INVALID);
  err = ZAVO_SUCCESS;
  EXPECT_EQ(ZAVO_OpenRaw(nullptr, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_INVALID);
  EXPECT_EQ(ZAVO_Open(nullptr, nullptr), nullptr);
  EXPECT_EQ(ZAVO_OpenRaw(nullptr, nullptr), nullptr);
  EXPECT_EQ(g.calls, "");  // nothing was created

  // A factory that throws, and a build without the mode: -99, no object.
  SetApiFactories(&throwing_struct_factory, nullptr);
  ZAVO_OpenSetting ss = struct_setting(1);
  EXPECT_EQ(ZAVO_Open(&ss, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
  SetApiFactories(&null_struct_factory, &null_raw_factory);
  err = ZAVO_SUCCESS;
  EXPECT_EQ(ZAVO_Open(&ss, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
  ZAVO_RawOpenSetting rs = raw_setting(2);
  err = ZAVO_SUCCESS;
  EXPECT_EQ(ZAVO_OpenRaw(&rs, &err), nullptr);
  EXPECT_EQ(err, ZAVO_ERR_NETWORK);
}

TEST(CApi, VersionAndFree) {
  const char* v = ZAVO_Version();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::strncmp(v, "v1.1.202105.2", 13), 0) << v;
  EXPECT_NE(std::string(v).find(ZAVO_BUILD_ID), std::string::npos) << v;
  EXPECT_LT(std::strlen(v), 64u);  // travels in a 64-byte login field
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ZAVO_Version(), v);
  std::string copy(v);
  EXPECT_EQ(std::string(ZAVO_Version()), copy);

  ZAVO_Free(nullptr);
  ZAVO_Free(malloc(64));
}

// Captures the one message of CallBack_SystemHandler.
struct Captured {
  int calls = 0;
  void* handle = nullptr;
  ZAVO_MSG msg{};
  ZAVO_ConnectResult result{};
};
Captured cap;

void capture_handler(void* handle, const ZAVO_MSG* msg) {
  ++cap.calls;
  cap.handle = handle;
  cap.msg = *msg;
  cap.result = *static_cast<const ZAVO_ConnectResult*>(msg->MsgData);
}

uint32_t ms_of_day(uint32_t t) {
  return t / 10000000 * 3600000 + t / 100000 % 100 * 60000 + t % 100000;
}

TEST_F(ApiFrame, SystemHandlerMessage) {
  cap = Captured{};
  ZAVO_OpenSetting ss = struct_setting(4242);
  ss.SystemHandler = &capture_handler;
  ZAVO_HANDLE s = ZAVO_Open(&ss, nullptr);
  ASSERT_NE(s, nullptr);
  ApiImp* api = static_cast<ApiImp*>(s);

  ZAVO_ConnectResult result{};
  std::strcpy(result.Address, "127.0.0.1");
  result.Port = 6001;
  result.State = 1;
  const uint32_t before = local_time_of_day_ms();
  api->CallBack_SystemHandler(result);
  const uint32_t after = local_time_of_day_ms();

  ASSERT_EQ(cap.calls, 1);
  EXPECT_EQ(cap.handle, s);
  EXPECT_EQ(cap.msg.MsgType, 1u);
  EXPECT_EQ(cap.msg.MsgSize, 36u);
  EXPECT_EQ(cap.msg.ConnectID, 4242);
  EXPECT_EQ(cap.msg.SeqNum, 0u);
  EXPECT_EQ(cap.msg.MsgData, &result);
  EXPECT_STREQ(cap.result.Address, "127.0.0.1");
  EXPECT_EQ(cap.result.Port, 6001);
  EXPECT_EQ(cap.result.State, 1);
  // hhmmssmmm: every part in range, and between the two readings unless the
  // day rolled over in between.
  const uint32_t t = cap.msg.MsgTime;
  EXPECT_LT(t / 10000000, 24u);
  EXPECT_LT(t / 100000 % 100, 60u);
  EXPECT_LT(t / 1000 % 100, 61u);
  if (before <= after) {
    EXPECT_LE(before, t);
    EXPECT_LE(t, after);
  }
  EXPECT_LE(ms_of_day(t), 24u * 3600000u);

  ZAVO_Close(s);
  ZAVO_Wait(s);
}

TEST(CApi, TimeOfDayMatchesTheLocalClock) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  const uint32_t expect = local.tm_hour * 10000000u + local.tm_min * 100000u +
                          local.tm_sec * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
  const uint32_t got = local_time_of_day_ms();
  // Within two seconds of our own reading (bounded by midnight wrap).
  const int64_t diff = static_cast<int64_t>(ms_of_day(got)) - ms_of_day(expect);
  EXPECT_TRUE((diff >= 0 && diff < 2000) || diff < -86000000) << got << " vs " << expect;
}

TEST(CApi, StartUpLoggerWritesUnderLogs) {
  // The library's load-time start-up has already run in this process.
  Logger* logger = Logger::Instance();
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(logger, ApiLogger());
  EXPECT_FALSE(logger->console());
  api_initer();  // once only: nothing changes
  EXPECT_EQ(Logger::Instance(), logger);

  // A failed open writes its reason; find it in this process's log file.
  SetApiFactories(&null_struct_factory, &null_raw_factory);
  const std::string marker = "marker-" + std::to_string(getpid()) + "-" + std::to_string(rand());
  {
    ZAVO_OpenSetting ss{};
    ss.DataHandler = ss.SystemHandler = &noop_handler;
    EXPECT_EQ(ZAVO_Open(&ss, nullptr), nullptr);
  }
  // One worker writes in order, so once the marker is in the file the
  // failure line before it is too.
  ZAVO_LOG("%p[%s] %s", static_cast<void*>(logger), "FrameTest", marker.c_str());
  auto is_log_name = [](const std::string& name) {
    if (name.size() != 21 || name.substr(17) != ".log") return false;
    for (size_t i = 0; i < 17; ++i) {
      if (name[i] < '0' || name[i] > '9') return false;
    }
    return true;
  };
  std::vector<std::string> lines;
  std::string found_name;
  // The worker writes asynchronously; poll the directory for a bounded time.
  for (int attempt = 0; attempt < 200 && found_name.empty(); ++attempt) {
    if (DIR* d = opendir("./logs/")) {
      while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (!is_log_name(name)) continue;
        std::ifstream in("./logs/" + name);
        std::vector<std::string> file_lines;
        bool has_marker = false;
        for (std::string l; std::getline(in, l);) {
          file_lines.push_back(l);
          if (l.find(marker) != std::string::npos) has_marker = true;
        }
        if (has_marker) {
          found_name = name;
          lines = file_lines;
        }
      }
      closedir(d);
    }
    if (found_name.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(found_name.empty()) << "no log file under ./logs/ holds the marker";
  // The file is named after today's date.
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  char today[64];
  snprintf(today, sizeof today, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday);
  EXPECT_EQ(found_name.substr(0, 8), today);
  for (const auto& l : lines) EXPECT_TRUE(zavo_test::parse_log_line(l)) << l;
  bool marker_line = false;
  for (const auto& l : lines) {
    if (l.find("] [-] " + std::string("0x")) != std::string::npos &&
        l.find("[FrameTest] " + marker) != std::string::npos) {
      marker_line = true;
    }
  }
  EXPECT_TRUE(marker_line);
  bool reason_line = false;
  for (const auto& l : lines) {
    if (l.find("[ZAVOApi] Open failed: struct mode is not available") != std::string::npos) {
      reason_line = true;
    }
  }
  EXPECT_TRUE(reason_line);
  SetApiFactories(nullptr, nullptr);
}

}  // namespace
}  // namespace zavo
