// The CSV records are assembled in memory with hand-written integer
// formatting; readers of the capture files expect exactly the bytes of the
// printf conversions. Random records (and the extreme values) of every kind
// are written both ways and compared byte for byte, through ToFile and
// through the payload walk with and without line feeds.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "output.h"

namespace HarboStoL2FpgaRcv {
namespace {

// What the printf conversions give, value by value.
int32_t ref_times10(int32_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v) * 10u);
}
int64_t ref_times10(int64_t v) {
  return static_cast<int64_t>(static_cast<uint64_t>(v) * 10u);
}
int32_t ref_to_int(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT_MAX;
  if (v <= -2147483648.0) return INT_MIN;
  return static_cast<int32_t>(v);
}
#define REF_TEXT(fp, r, m) tofile(fp, (r)->m, sizeof((r)->m))

void reference(FILE* fp, const CSSETradeMDField* r) {
  tofile(fp, "TD");
  REF_TEXT(fp, r, mSecurityID);
  tofile(fp, static_cast<int>(r->mUpdateTime));
  tofile(fp, static_cast<int>(r->mUpdateMsec));
  tofile(fp, static_cast<int>(r->mTradeIndex));
  tofile(fp, static_cast<long>(ref_times10(r->mPrice)));
  tofile(fp, static_cast<long>(r->mTradeVolume / 1000));
  tofile(fp, static_cast<long>(r->mTurnOver / 10));
  tofile(fp, static_cast<long>(r->mTradeBuyNo));
  tofile(fp, static_cast<long>(r->mTradeSellNo));
  REF_TEXT(fp, r, mTradeBSFlag);
  tofile(fp, static_cast<long>(r->mBizIndex));
  tofile(fp, 'T');
}

void reference(FILE* fp, const CSSEOrderMDField* r) {
  tofile(fp, "OD");
  REF_TEXT(fp, r, mSecurityID);
  tofile(fp, static_cast<int>(r->mUpdateTime));
  tofile(fp, static_cast<int>(r->mUpdateMsec));
  tofile(fp, static_cast<int>(r->mOrderChannel));
  tofile(fp, static_cast<int>(r->mOrderIndex));
  tofile(fp, static_cast<long>(ref_times10(r->mOrderPrice)));
  tofile(fp, static_cast<long>(r->mBalance));
  tofile(fp, static_cast<long>(r->mOrderNo / 10));
  REF_TEXT(fp, r, mOrderType);
  REF_TEXT(fp, r, mOrderBSFlag);
  tofile(fp, static_cast<long>(r->mBizIndex));
}

void reference(FILE* fp, const CSSEIndexMDField* r) {
  tofile(fp, "IX");
  REF_TEXT(fp, r, mSecurityID);
  tofile(fp, static_cast<int>(r->mUpdateTime));
  tofile(fp, static_cast<int>(r->mUpdateMsec));
  tofile(fp, static_cast<long>(ref_times10(r->mLast)));
  tofile(fp, static_cast<long>(r->mTradeVolume / 1000));
  tofile(fp, static_cast<long>(r->mTurnOver / 10));
}

void reference(FILE* fp, const CSSESnapMDField* r) {
  tofile(fp, "SP");
  REF_TEXT(fp, r, mSecurityID);
  tofile(fp, static_cast<int>(r->mUpdateTime));
  tofile(fp, static_cast<int>(r->mUpdateMsec));
  tofile(fp, static_cast<int>(ref_times10(r->mLast)));
  tofile(fp, static_cast<long>(r->mTradeNumber));
  tofile(fp, static_cast<long>(r->mTradeVolume / 1000));
  tofile(fp, static_cast<long>(r->mTurnOver / 10));
  tofile(fp, static_cast<int>(ref_times10(r->mDepthMDField[10].mPrice)));
  tofile(fp, static_cast<long>(r->mDepthMDField[10].mVolume / 1000));
  tofile(fp, static_cast<int>(ref_times10(r->mDepthMDField[0].mPrice)));
  tofile(fp, static_cast<long>(r->mDepthMDField[0].mVolume / 1000));
}

void reference(FILE* fp, const CSSEOptionMDField* r) {
  tofile(fp, "OP");
  REF_TEXT(fp, r, mSecurityID);
  tofile(fp, static_cast<int>(r->mUpdateTime));
  tofile(fp, static_cast<int>(r->mUpdateMsec));
  tofile(fp, static_cast<int>(ref_to_int(r->mLast * 10.0)));
  tofile(fp, static_cast<long>(r->mTradeNumber));
  tofile(fp, static_cast<int>(ref_to_int(r->mTurnOver / 10.0)));
  for (int level = 0; level < 2; ++level) {
    tofile(fp, static_cast<int>(ref_to_int(r->mDepthMDField[level].mPrice * 10.0)));
    tofile(fp, static_cast<int>(static_cast<int32_t>(
                   static_cast<uint32_t>(r->mDepthMDField[level].mVolume / 1000))));
  }
}
#undef REF_TEXT

// Everything written to a temporary stream by `write`.
template <class Fn>
std::string written(Fn&& write) {
  FILE* fp = std::tmpfile();
  if (fp == nullptr) return "<no tmpfile>";
  write(fp);
  std::fflush(fp);
  std::string out(static_cast<size_t>(std::ftell(fp)), '\0');
  std::rewind(fp);
  const size_t n = std::fread(&out[0], 1, out.size(), fp);
  out.resize(n);
  std::fclose(fp);
  return out;
}

// Random bytes, biased toward the values that stress the formatting: zero,
// all ones (-1), the extremes of each width, and text without a NUL.
template <class R>
R draw(std::mt19937_64& rng, int round) {
  R r;
  unsigned char* p = reinterpret_cast<unsigned char*>(&r);
  for (size_t i = 0; i < sizeof(R); ++i) {
    switch (round % 4) {
      case 0:
        p[i] = static_cast<unsigned char>(rng());
        break;
      case 1:  // small values and short texts
        p[i] = (i % 4 == 0) ? static_cast<unsigned char>(rng() % 10) : 0;
        break;
      case 2:  // most negative values: 0x80 in the top byte of each word
        p[i] = (i % 8 == 7 || i % 4 == 3) ? 0x80 : 0;
        break;
      default:  // -1 everywhere, texts without a terminator
        p[i] = (rng() % 8 == 0) ? static_cast<unsigned char>('A' + rng() % 26) : 0xFF;
        break;
    }
  }
  return r;
}

template <class R>
void check_kind(std::mt19937_64& rng) {
  for (int round = 0; round < 400; ++round) {
    const R r = draw<R>(rng, round);
    const std::string expected = written([&](FILE* fp) { reference(fp, &r); });
    const std::string actual = written([&](FILE* fp) { ToFile(fp, &r); });
    ASSERT_EQ(actual, expected) << "round " << round;
  }
}

TEST(CsvFormatting, EveryKindWritesThePrintfBytes) {
  std::mt19937_64 rng(42);
  check_kind<CSSETradeMDField>(rng);
  check_kind<CSSEOrderMDField>(rng);
  check_kind<CSSEIndexMDField>(rng);
  check_kind<CSSESnapMDField>(rng);
  check_kind<CSSEOptionMDField>(rng);
}

TEST(CsvFormatting, PayloadWalkKeepsRecordOrderAndLineFeeds) {
  std::mt19937_64 rng(9);
  // Three trades and an order back to back in one payload, then a stray
  // tail that is reported and ignored.
  std::vector<unsigned char> payload;
  std::string expected_plain, expected_lines;
  auto add = [&](uint16_t id, const void* rec, size_t size, const std::string& text) {
    CGMDHeader h;
    std::memset(&h, 0, sizeof(h));
    h.mMsgID = id;
    h.mBodyLen = static_cast<uint16_t>(sizeof(CGMDFieldHeader) + size);
    CGMDFieldHeader fh;
    std::memset(&fh, 0, sizeof(fh));
    const size_t at = payload.size();
    payload.resize(at + sizeof(h) + sizeof(fh) + size);
    std::memcpy(&payload[at], &h, sizeof(h));
    std::memcpy(&payload[at + sizeof(h)], &fh, sizeof(fh));
    std::memcpy(&payload[at + sizeof(h) + sizeof(fh)], rec, size);
    expected_plain += text;
    expected_lines += text + "\n";
  };
  for (int i = 0; i < 3; ++i) {
    const CSSETradeMDField t = draw<CSSETradeMDField>(rng, i);
    add(SH_TICK_TRADE, &t, sizeof(t), written([&](FILE* fp) { reference(fp, &t); }));
  }
  const CSSEOrderMDField o = draw<CSSEOrderMDField>(rng, 3);
  add(SH_TICK_ORDER, &o, sizeof(o), written([&](FILE* fp) { reference(fp, &o); }));
  payload.push_back(0x42);

  const bool saved = g_recordNewline;
  int records = 0;
  g_recordNewline = false;
  EXPECT_EQ(written([&](FILE* fp) {
              records = handleMDMsg(fp, payload.data(), static_cast<int>(payload.size()));
            }),
            expected_plain);
  EXPECT_EQ(records, 4);
  g_recordNewline = true;
  EXPECT_EQ(written([&](FILE* fp) {
              records = handleMDMsg(fp, payload.data(), static_cast<int>(payload.size()));
            }),
            expected_lines);
  EXPECT_EQ(records, 4);
  g_recordNewline = saved;
}

}  // namespace
}  // namespace HarboStoL2FpgaRcv
