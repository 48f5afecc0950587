// The raw feed's fragment assembler on its own: order, repeats, breaks,
// stale sequences, the size cap and the memory it gives back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/fragment_assembler.h"
#include "raw_test_support.h"

namespace zavo {
namespace rawtest {
namespace {

struct Got {
  char exchange;
  uint64_t seq;
  std::string bytes;
};

class Assembler {
 public:
  Assembler() : a_(this, "AssemblerTest") { EXPECT_TRUE(a_.EnableMarkets("sh;SZ")); }
  // Feeds one datagram; returns what it completed, if anything.
  void Feed(const std::string& d) {
    FragmentAssembler::Message m;
    bool complete = false;
    EXPECT_EQ(a_.Consume(d.data(), d.size(), &m, &complete), d.size());
    if (complete) got.push_back(Got{m.exchange, m.sequence, std::string(m.data, m.length)});
  }
  std::vector<uint64_t> seqs() const {
    std::vector<uint64_t> v;
    for (const Got& g : got) v.push_back(g.seq);
    return v;
  }
  FragmentAssembler& a() { return a_; }
  std::vector<Got> got;

 private:
  FragmentAssembler a_;
};

TEST(FragmentAssembler, WholeMessagesInOrderPerExchange) {
  Assembler t;
  t.Feed(raw_packet(1, 10, 0, 1, "ab"));
  t.Feed(raw_packet(2, 3, 0, 1, "xy"));  // the other exchange interleaves
  t.Feed(raw_packet(1, 10, 1, 1, "cd"));
  t.Feed(raw_packet(1, 10, 1, 1, "cd"));  // a repeated fragment is not a break
  t.Feed(raw_packet(1, 10, 0, 1, "ab"));
  t.Feed(raw_packet(1, 10, 2, 0, "ef"));
  t.Feed(raw_packet(2, 3, 1, 0, "z"));
  t.Feed(raw_packet(1, 10, 2, 0, "ef"));  // the last fragment again: delivered already
  t.Feed(raw_packet(1, 11, 0, 0, "single"));
  ASSERT_EQ(t.got.size(), 3u);
  EXPECT_EQ(t.got[0].exchange, '1');
  EXPECT_EQ(t.got[0].seq, 10u);
  EXPECT_EQ(t.got[0].bytes, "abcdef");
  EXPECT_EQ(t.got[1].exchange, '2');
  EXPECT_EQ(t.got[1].bytes, "xyz");
  EXPECT_EQ(t.got[2].bytes, "single");

  // Markets not enabled, and unknown exchanges, deliver nothing.
  FragmentAssembler sh_only(&t, "AssemblerTest");
  ASSERT_TRUE(sh_only.EnableMarkets("SH"));
  EXPECT_FALSE(sh_only.EnableMarkets("SH;XX"));
  EXPECT_FALSE(sh_only.EnableMarkets(""));
  FragmentAssembler::Message m;
  bool complete = true;
  const std::string sz = raw_packet(2, 1, 0, 0, "q");
  sh_only.Consume(sz.data(), sz.size(), &m, &complete);
  EXPECT_FALSE(complete);
  const std::string other = raw_packet(3, 1, 0, 0, "q");
  sh_only.Consume(other.data(), other.size(), &m, &complete);
  EXPECT_FALSE(complete);
}

TEST(FragmentAssembler, BreaksDropTheMessageAndStaleSequencesStayDropped) {
  Assembler t;
  t.Feed(raw_packet(1, 100, 0, 0, "m100"));
  t.Feed(raw_packet(1, 101, 0, 1, "a"));
  t.Feed(raw_packet(1, 101, 2, 0, "c"));  // fragment 1 lost
  t.Feed(raw_packet(1, 101, 1, 1, "b"));  // too late: 101 is gone
  t.Feed(raw_packet(1, 100, 0, 0, "m100"));
  t.Feed(raw_packet(1, 102, 1, 0, "x"));  // its start was lost
  t.Feed(raw_packet(1, 103, 0, 1, "p"));
  t.Feed(raw_packet(1, 104, 0, 0, "q"));  // a newer message interrupts 103
  t.Feed(raw_packet(1, 103, 1, 0, "r"));  // older than what was delivered
  t.Feed(raw_packet(1, 99, 0, 0, "old"));
  t.Feed(raw_packet(1, 105, 0, 0, "s"));
  EXPECT_EQ(t.seqs(), (std::vector<uint64_t>{100, 104, 105}));
}

TEST(FragmentAssembler, CapDropsTheMessageAndMemoryIsGivenBack) {
  LogCatcher& logs = LogCatcher::Get();
  logs.Clear();
  Assembler t;
  // A large but allowed message: delivered whole, and its buffer given back
  // with the next datagram.
  const std::string chunk = payload_of(60000, 'k');
  t.Feed(raw_packet(1, 1, 0, 1, chunk));
  t.Feed(raw_packet(1, 1, 1, 0, chunk));
  ASSERT_EQ(t.got.size(), 1u);
  EXPECT_EQ(t.got[0].bytes.size(), 120000u);
  EXPECT_GT(t.a().HeldCapacity(1), FragmentAssembler::kKeepBytes);
  t.Feed(raw_packet(1, 2, 0, 0, "small"));
  EXPECT_LE(t.a().HeldCapacity(1), FragmentAssembler::kKeepBytes);

  // A message that never ends stops at the cap: one log line, memory back.
  const size_t fragments = FragmentAssembler::kMaxMessageBytes / chunk.size() + 2;
  for (size_t f = 0; f < fragments; ++f) {
    t.Feed(raw_packet(1, 3, static_cast<uint16_t>(f), 1, chunk));
    EXPECT_LE(t.a().HeldCapacity(1), FragmentAssembler::kMaxMessageBytes);
  }
  t.Feed(raw_packet(1, 3, static_cast<uint16_t>(fragments), 0, chunk));
  EXPECT_EQ(t.got.size(), 2u);
  EXPECT_EQ(logs.Count("too long"), 1u);
  EXPECT_LE(t.a().HeldCapacity(1), FragmentAssembler::kKeepBytes);
  t.Feed(raw_packet(1, 4, 0, 0, "after"));
  EXPECT_EQ(t.seqs(), (std::vector<uint64_t>{1, 2, 4}));
}

// A message of one fragment is handed out where it lies in the datagram,
// without touching the channel's buffer; fragments of a longer message are
// appended there once each, and a message of one fragment in between
// breaks nothing but the message in progress of its own exchange.
TEST(FragmentAssembler, OneFragmentMessagesAreNotCopied) {
  FragmentAssembler a(nullptr, "AssemblerTest");
  ASSERT_TRUE(a.EnableMarkets("SH;SZ"));
  FragmentAssembler::Message m;
  bool complete = false;
  const std::string big = payload_of(3000, 'q');
  const std::string single = raw_packet(1, 5, 0, 0, big);
  ASSERT_EQ(a.Consume(single.data(), single.size(), &m, &complete), single.size());
  ASSERT_TRUE(complete);
  EXPECT_EQ(m.data, single.data() + RawDataPacket::kHeaderSize);
  EXPECT_EQ(std::string(m.data, m.length), big);
  EXPECT_EQ(m.sequence, 5u);
  EXPECT_EQ(a.HeldCapacity(1), FragmentAssembler::kInitialBuffer);

  const std::string f0 = raw_packet(2, 9, 0, 1, "head-");
  const std::string other = raw_packet(1, 6, 0, 0, "sh");
  const std::string f1 = raw_packet(2, 9, 1, 0, "tail");
  a.Consume(f0.data(), f0.size(), &m, &complete);
  EXPECT_FALSE(complete);
  a.Consume(other.data(), other.size(), &m, &complete);
  ASSERT_TRUE(complete);
  EXPECT_EQ(std::string(m.data, m.length), "sh");
  a.Consume(f1.data(), f1.size(), &m, &complete);
  ASSERT_TRUE(complete);
  EXPECT_EQ(std::string(m.data, m.length), "head-tail");
  EXPECT_EQ(m.exchange, '2');
  // Not a pointer into the last datagram: the message was put together.
  EXPECT_NE(m.data, f1.data() + RawDataPacket::kHeaderSize);
  // A repeat of the single message is still dropped.
  a.Consume(single.data(), single.size(), &m, &complete);
  EXPECT_FALSE(complete);
}

}  // namespace
}  // namespace rawtest
}  // namespace zavo
