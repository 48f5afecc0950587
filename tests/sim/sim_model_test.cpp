// The simulator's pieces that need no network: wire writing, the synthetic
// market, the bounded histories and the program's options.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "sim_history.h"
#include "sim_market.h"
#include "sim_options.h"
#include "sim_wire.h"

namespace zavo {
namespace sim {
namespace {

uint64_t be(const char* p, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

TEST(SimWire, PacketHeaderFieldHeaderAndSessionRecords) {
  PacketBuilder b;
  b.Begin(kPacketTypeRetransmit, 20240305093005120ULL);
  b.BeginField(kFidHeartBeat, kSizeHeartBeat, 0);
  b.writer().U64(HeartbeatValue(20240305093005120ULL));
  EXPECT_TRUE(b.EndField());
  const char* p = b.Finish();
  ASSERT_EQ(b.size(), 36u);
  EXPECT_EQ(be(p, 2), 0x0707u);
  EXPECT_EQ(be(p + 2, 2), 20u);
  EXPECT_EQ(be(p + 4, 4), 1010u);
  EXPECT_EQ(be(p + 8, 8), 20240305093005120ULL);
  EXPECT_EQ(be(p + 16, 2), 3u);
  EXPECT_EQ(be(p + 18, 2), 8u);
  EXPECT_EQ(be(p + 20, 8), 0u);
  // The heartbeat value divided by 10^7 is the date.
  EXPECT_EQ(be(p + 28, 8) / 10000000ULL, 20240305u);
  EXPECT_EQ(HeartbeatValue(20241231235959999ULL), 202412312359599ULL);

  // The login reply is declared 96 bytes: 92 of members and 4 zero bytes.
  WireWriter w;
  LoginReply r;
  r.reply_value = 7;
  r.reply_text = "zavo_sim";
  r.error_id = -5;
  r.error_msg = "SH;SZ";
  WriteLoginReply(&w, r);
  ASSERT_EQ(w.size(), 96u);
  EXPECT_EQ(be(w.data() + 24, 4), 0xFFFFFFFBu);
  EXPECT_EQ(std::string(w.data() + 28), "SH;SZ");
  LoginReply back;
  ASSERT_TRUE(DecodeLoginReply(w.data(), 92, &back));
  EXPECT_EQ(back.error_id, -5);
  EXPECT_EQ(back.reply_value, 7u);
  EXPECT_FALSE(DecodeLoginReply(w.data(), 91, &back));

  // A text filling its member completely travels without terminator and is
  // read back at that length; a longer one is cut.
  w.Reset();
  w.Text("0123456789ABCDEFXYZ", 16);
  ASSERT_EQ(w.size(), 16u);
  std::string s;
  WireReader rd(w.data(), w.size());
  ASSERT_TRUE(rd.Text(16, &s));
  EXPECT_EQ(s, "0123456789ABCDEF");

  // Raw header: 20 bytes, in member order.
  w.Reset();
  WriteRawHeader(&w, 93005120, 2, 0x0102030405060708ULL, 3, 1, 1380);
  ASSERT_EQ(w.size(), 20u);
  EXPECT_EQ(be(w.data(), 2), 0xF7F7u);
  EXPECT_EQ(be(w.data() + 2, 4), 93005120u);
  EXPECT_EQ(be(w.data() + 6, 1), 2u);
  EXPECT_EQ(be(w.data() + 7, 8), 0x0102030405060708ULL);
  EXPECT_EQ(be(w.data() + 15, 2), 3u);
  EXPECT_EQ(be(w.data() + 17, 1), 1u);
  EXPECT_EQ(be(w.data() + 18, 2), 1380u);
}

size_t record_size(uint16_t id) {
  switch (id) {
    case kFidSecuritySnapShot:
      return kSizeSecuritySnapShot;
    case kFidIndexSnapShot:
      return kSizeIndexSnapShot;
    case kFidOrderQueue:
      return kSizeOrderQueue;
    case kFidOrderDetail:
      return kSizeOrderDetail;
    case kFidTradeDetail:
      return kSizeTradeDetail;
    case kFidFutureSnapShot:
      return kSizeFutureSnapShot;
    case kFidSHOrderDetail:
      return kSizeSHOrderDetail;
  }
  return 0;
}

TEST(SimMarket, DeterministicRealisticRecordsOfDeclaredSizes) {
  SimConfig cfg;
  cfg.seed = 42;
  MarketModel a(cfg), b(cfg);
  cfg.seed = 43;
  MarketModel c(cfg);

  // Instruments: 20 + 20 stocks, 4 indices, 2 futures in the security
  // tables, 8 + 8 options; codes unique per exchange and shaped by market.
  EXPECT_EQ(a.security_table().size(), 46u);
  EXPECT_EQ(a.option_table().size(), 16u);
  std::set<std::string> codes;
  for (const Instrument& in : a.instruments()) {
    EXPECT_TRUE(codes.insert(std::to_string(in.exchange) + in.code).second) << in.code;
    EXPECT_FALSE(in.name.empty());
    EXPECT_LT(in.name.size(), 32u);
    if (in.kind == InstrumentKind::kStock) {
      ASSERT_EQ(in.code.size(), 6u);
      EXPECT_TRUE(in.exchange == 1 ? in.code[0] == '6' : (in.code[0] == '0' || in.code[0] == '3'));
    }
    if (in.kind == InstrumentKind::kOption) {
      EXPECT_EQ(in.code.size(), 8u);
    }
  }

  std::set<uint16_t> kinds;
  WireWriter wa, wb, wc;
  bool differs = false;
  const uint64_t stamp = 20240305100000000ULL;
  for (int i = 0; i < 3000; ++i) {
    wa.Reset();
    wb.Reset();
    wc.Reset();
    uint16_t id = a.Next(stamp, &wa);
    ASSERT_EQ(id, b.Next(stamp, &wb));
    c.Next(stamp, &wc);
    ASSERT_EQ(wa.size(), record_size(id)) << "field " << id;
    kinds.insert(id);
    // Same seed, same records (the delay stamp of snapshots is wall clock).
    size_t cmp = id == kFidSecuritySnapShot ? 541 : wa.size();
    ASSERT_EQ(std::string(wa.data(), cmp), std::string(wb.data(), cmp));
    if (wc.size() != wa.size() || std::string(wa.data(), cmp) != std::string(wc.data(), cmp)) {
      differs = true;
    }
    if (id == kFidSecuritySnapShot) {
      const char* r = wa.data();
      EXPECT_EQ(be(r + 17, 8), stamp);
      int64_t low = static_cast<int64_t>(be(r + 53, 8)), high = static_cast<int64_t>(be(r + 45, 8));
      int64_t last = static_cast<int64_t>(be(r + 61, 8));
      int64_t up = static_cast<int64_t>(be(r + 461, 8)),
              down = static_cast<int64_t>(be(r + 469, 8));
      EXPECT_LE(low, last);
      EXPECT_LE(last, high);
      EXPECT_LE(last, up);
      EXPECT_GE(last, down);
      // Asks rise, bids fall, and the book does not cross.
      uint64_t ask1 = be(r + 69, 8), bid1 = be(r + 229, 8);
      EXPECT_GT(bid1, 0u);
      if (ask1) {
        EXPECT_GT(ask1, bid1);
      }
      for (int l = 1; l < 10; ++l) {
        uint64_t ask = be(r + 69 + 8 * l, 8), prev_ask = be(r + 69 + 8 * (l - 1), 8);
        uint64_t bid = be(r + 229 + 8 * l, 8), prev_bid = be(r + 229 + 8 * (l - 1), 8);
        if (ask) {
          EXPECT_GT(ask, prev_ask);
        }
        if (bid) {
          EXPECT_LT(bid, prev_bid);
        }
      }
    }
    if (id == kFidFutureSnapShot) {
      EXPECT_EQ(be(wa.data() + 25, 4), 20240305u);
    }
    if (id == kFidOrderQueue) {
      uint64_t n = be(wa.data() + 34, 8);
      EXPECT_GE(n, 1u);
      EXPECT_LE(n, 200u);
      if (n < 200) {
        EXPECT_EQ(be(wa.data() + 50 + 4 * n, 4), 0u);
      }
    }
  }
  EXPECT_TRUE(differs);
  EXPECT_EQ(kinds.size(), 7u);  // every kind of market-data record appears

  // Base information has its declared sizes; an option entry starts like a
  // security entry.
  WireWriter w;
  const Instrument& opt = a.instruments()[a.option_table()[0]];
  a.WriteOptionBaseInfo(opt, &w);
  EXPECT_EQ(w.size(), 185u);
  WireWriter w2;
  a.WriteSecurityBaseInfo(opt, &w2);
  EXPECT_EQ(w2.size(), 81u);
  EXPECT_EQ(std::string(w.data(), 81), std::string(w2.data(), 81));
  EXPECT_EQ(std::string(w.data()), opt.code);
}

TEST(SimMarket, RawMessagesOfVariedLengthsRebuiltFromTheirNumber) {
  SimConfig cfg;
  cfg.raw_min_len = 40;
  cfg.raw_max_len = 5000;
  MarketModel m(cfg);
  std::vector<char> msg, again;
  size_t shortest = 1 << 30, longest = 0;
  for (uint64_t seq = 1; seq <= 400; ++seq) {
    m.RawMessage(1, seq, 20240305100000000ULL, &msg);
    ASSERT_GE(msg.size(), 40u);
    ASSERT_LE(msg.size(), 5000u);
    EXPECT_EQ(be(msg.data() + 2, 2), msg.size());
    EXPECT_EQ(be(msg.data() + 4, 1), 1u);
    EXPECT_EQ(be(msg.data() + 6, 8), seq);
    shortest = std::min(shortest, msg.size());
    longest = std::max(longest, msg.size());
    m.RawMessage(1, seq, 20240305100000000ULL, &again);
    EXPECT_EQ(msg, again);
  }
  EXPECT_LT(shortest, 100u);
  EXPECT_GT(longest, 2000u);
  m.RawMessage(2, 1, 20240305100000000ULL, &again);
  m.RawMessage(1, 1, 20240305100000000ULL, &msg);
  EXPECT_NE(msg, again);
}

TEST(SimHistory, KeepsTheNewestRunAndForgetsOnRestart) {
  FieldHistory h(5);
  EXPECT_EQ(h.Find(1), nullptr);
  for (uint64_t s = 1; s <= 8; ++s) {
    std::string f = "field" + std::to_string(s);
    h.Record(s, f.data(), f.size());
  }
  EXPECT_EQ(h.first(), 4u);
  EXPECT_EQ(h.last(), 8u);
  EXPECT_EQ(h.Find(3), nullptr);
  EXPECT_EQ(h.Find(9), nullptr);
  ASSERT_NE(h.Find(4), nullptr);
  EXPECT_EQ(std::string(h.Find(4)->data(), h.Find(4)->size()), "field4");
  EXPECT_EQ(std::string(h.Find(8)->data(), h.Find(8)->size()), "field8");
  // A numbering that does not follow on starts a new run.
  h.Record(100, "x", 1);
  EXPECT_EQ(h.first(), 100u);
  EXPECT_EQ(h.Find(8), nullptr);

  RawHistory r(3);
  for (uint64_t s = 1; s <= 4; ++s) r.Record(s, 93000000 + s, "abcd", s);
  EXPECT_EQ(r.Find(1), nullptr);
  ASSERT_NE(r.Find(2), nullptr);
  EXPECT_EQ(r.Find(2)->payload.size(), 2u);
  EXPECT_EQ(r.Find(4)->send_time, 93000004u);
}

TEST(SimOptions, DefaultsValuesAndErrors) {
  auto parse = [](std::vector<const char*> args, SimOptions* o, std::string* err) {
    args.insert(args.begin(), "zavo_sim");
    *o = SimOptions();
    return ParseSimOptions(static_cast<int>(args.size()), args.data(), o, err);
  };
  SimOptions o;
  std::string err;
  ASSERT_TRUE(parse({}, &o, &err));
  EXPECT_EQ(o.config.listen_ip, "127.0.0.1");
  EXPECT_EQ(o.config.interface_ip, "127.0.0.1");
  EXPECT_EQ(o.config.ttl, 0);
  EXPECT_EQ(o.config.login_reply, "SH;SZ");
  EXPECT_TRUE(o.config.book_model);

  ASSERT_TRUE(parse({"--listen", "127.0.0.1:0", "--group=239.1.1.1", "--user", "alice:pw", "--user",
                     "bob", "--refuse", "1003:no such user", "--mode", "both", "--raw-len",
                     "30:900", "--duration", "2.5", "--seed", "9"},
                    &o, &err))
      << err;
  EXPECT_EQ(o.config.listen_port, 0);
  EXPECT_EQ(o.config.group, "239.1.1.1");
  ASSERT_EQ(o.config.users.size(), 2u);
  EXPECT_EQ(o.config.users[0].password, "pw");
  EXPECT_EQ(o.config.users[1].password, "");
  EXPECT_EQ(o.config.login_mode, LoginMode::kRefuse);
  EXPECT_EQ(o.config.refuse_error_id, 1003);
  EXPECT_EQ(o.config.refuse_text, "no such user");
  EXPECT_EQ(o.config.feed_mode, FeedMode::kBoth);
  EXPECT_EQ(o.config.raw_max_len, 900u);
  EXPECT_DOUBLE_EQ(o.duration_s, 2.5);
  EXPECT_EQ(o.config.seed, 9u);
  ASSERT_TRUE(parse({"--book-model", "off"}, &o, &err)) << err;
  EXPECT_FALSE(o.config.book_model);
  ASSERT_TRUE(parse({"--book-model=on"}, &o, &err)) << err;
  EXPECT_TRUE(o.config.book_model);

  // One spelling of addresses, IP:PORT, with the older separate --port still
  // understood in either order.
  ASSERT_TRUE(parse({"--group", "239.1.1.2:7000"}, &o, &err)) << err;
  EXPECT_EQ(o.config.group, "239.1.1.2");
  EXPECT_EQ(o.config.port, 7000);
  ASSERT_TRUE(parse({"--port", "7001", "--group", "239.1.1.3"}, &o, &err)) << err;
  EXPECT_EQ(o.config.group, "239.1.1.3");
  EXPECT_EQ(o.config.port, 7001);
  ASSERT_TRUE(parse({"--listen", "127.0.0.1"}, &o, &err)) << err;
  EXPECT_EQ(o.config.listen_port, ZAVO_DEFAULT_SERVER_PORT);

  const std::vector<std::vector<const char*>> bad = {
      {"--bogus"},
      {"--port"},
      {"--port", "70000"},
      {"--port", "-1"},
      {"--group", "10.0.0.1"},
      {"--listen", "localhost:1"},
      {"--group", "239.1.1.1:0"},
      {"--refuse", "1:x", "--silent-login"},
      {"--mode", "fast"},
      {"--book-model", "yes"},
      {"--book-model"},
      {"--refuse", "0:x"},
      {"--raw-len", "10:20"},
      {"--duration", "x"},
      {"--user", ":pw"},
      {"--sh", "0", "--sz", "0", "--sh-options", "0", "--sz-options", "0", "--indices", "0",
       "--futures", "0"},
      {"--mode", "both", "--raw-port", "6601"}};
  for (const auto& args : bad) {
    err.clear();
    EXPECT_FALSE(parse(args, &o, &err)) << args[0];
    EXPECT_FALSE(err.empty()) << args[0];
  }
  ASSERT_TRUE(parse({"-h"}, &o, &err));
  EXPECT_TRUE(o.help);
  EXPECT_NE(SimUsage("zavo_sim").find("--duration"), std::string::npos);
  const std::string usage = SimUsage("zavo_sim");
  const size_t book = usage.find("--book-model");
  ASSERT_NE(book, std::string::npos);
  EXPECT_EQ(usage.compare(book, 22, "--book-model on|off=on"), 0) << usage.substr(book, 200);
}

}  // namespace
}  // namespace sim
}  // namespace zavo
