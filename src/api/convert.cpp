#include "api/convert.h"

#include "api/code_key.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zavo {

namespace {

constexpr uint64_t kDateDivisor = 1000000000UL;

inline uint32_t date_of(uint64_t stamp) {
  return static_cast<uint32_t>(stamp / kDateDivisor);
}
inline uint32_t time_of(uint64_t stamp) {
  return static_cast<uint32_t>(stamp % kDateDivisor);
}
inline uint32_t low32(int64_t v) {
  return static_cast<uint32_t>(static_cast<uint64_t>(v));
}

template <unsigned int N>
inline void copy_code(const String<N>& in, char (&out)[16]) {
  in.CopyTo(out, sizeof(out));
}

template <unsigned int N>
inline void copy_text(const String<N>& in, char (&out)[32]) {
  in.CopyTo(out, sizeof(out));
}

// The four characters of a phase text, never reading past its terminator.
struct phase_chars {
  char c[4] = {0, 0, 0, 0};
  explicit phase_chars(const char* s) {
    if (s == nullptr) return;
    for (int i = 0; i < 4 && s[i] != '\0'; ++i) c[i] = s[i];
  }
};

// Code-info members shared by the security and option tables.
template <class F>
void fill_code_info(const F& in, ZAVO_CODEINFO* out) {
  copy_code(in.Code, out->Code);
  out->ExchangeID = ExchangeChar(in.ExchangeID);
  FillKvelCode(out->KvelCode, out->Code, in.ExchangeID);
  copy_text(in.Text, out->Text);
  out->Value = static_cast<uint32_t>(in.Value.get());
}

// Sequential reader over a record's wire bytes whose length was checked once
// up front. Member by member in wire order; the offsets fold into constants.
class WireIn {
 public:
  explicit WireIn(const char* p) : p_(p) {}

  template <class T>
  T take() {
    const T v = LoadBigEndian<T>(p_);
    p_ += sizeof(T);
    return v;
  }
  int64_t i64() { return take<int64_t>(); }
  uint32_t low32_of_i64() { return low32(take<int64_t>()); }
  signed char i8() { return take<signed char>(); }
  void code(char (&out)[16]) {
    CopyCode16(out, p_);
    p_ += 16;
  }
  template <class P, size_t N>
  void u64_array(P (&out)[N]) {
    // Unrolled: the loop bookkeeping would cost more than the values.
#pragma GCC unroll 10
    for (size_t i = 0; i < N; ++i) out[i] = static_cast<P>(take<uint64_t>());
  }
  void skip(unsigned int n) {
    p_ += n;
  }
  const char* here() const {
    return p_;
  }

 private:
  const char* p_;
};

// N big-endian 32-bit values into host order. The order queue is most of
// its record: four values per step where SSE2 is there (every x86-64).
template <size_t N>
inline void load_u32_array(const char* src, uint32_t (&out)[N]) {
#if defined(__SSE2__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr size_t kVectorEnd = N / 4 * 4;
  for (size_t i = 0; i < kVectorEnd; i += 4) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i));
    // Swap the 16-bit halves of each value, then the bytes of each half.
    v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
  }
  if constexpr (kVectorEnd != N) {
    for (size_t i = kVectorEnd; i < N; ++i) out[i] = LoadBigEndian<uint32_t>(src + 4 * i);
  }
#else
  for (size_t i = 0; i < N; ++i) out[i] = LoadBigEndian<uint32_t>(src + 4 * i);
#endif
}

// Zero-fills the whole record first: padding and members without a source
// must read 0, exactly as after ConvertField.
//
// Small records are copied from a zero record: the compiler turns that into
// a few straight vector stores, where a memset of 96 bytes became a store
// loop whose exit the branch predictor missed on every record.
template <class R>
inline void zero(R* out) {
  if constexpr (sizeof(R) <= 128) {
    static const R kZero{};
    std::memcpy(out, &kZero, sizeof(R));
  } else {
    std::memset(out, 0, sizeof(R));
  }
}

}  // namespace

int64_t LocalDelayMicros(int64_t stamp_sec, int64_t stamp_nsec, const timespec& now) {
  const uint64_t sec_diff =
      static_cast<uint64_t>(static_cast<int64_t>(now.tv_sec)) - static_cast<uint64_t>(stamp_sec);
  const int64_t nsec_diff = static_cast<int64_t>(
      static_cast<uint64_t>(static_cast<int64_t>(now.tv_nsec)) - static_cast<uint64_t>(stamp_nsec));
  return static_cast<int64_t>(sec_diff * 1000000u + static_cast<uint64_t>(nsec_diff / 1000));
}

void ConvertField(const SecurityBaseInfoField* in, ZAVO_CODEINFO* out) {
  std::memset(out, 0, sizeof(*out));
  fill_code_info(*in, out);
}

void ConvertField(const OptionBaseInfoField* in, ZAVO_OPTION_CODEINFO* out) {
  std::memset(out, 0, sizeof(*out));
  // The option record starts with the code-info members, laid out alike.
  ZAVO_CODEINFO head;
  std::memset(&head, 0, sizeof(head));
  fill_code_info(*in, &head);
  std::memcpy(out->Code, head.Code, sizeof(out->Code));
  out->ExchangeID = head.ExchangeID;
  std::memcpy(out->KvelCode, head.KvelCode, sizeof(out->KvelCode));
  std::memcpy(out->Text, head.Text, sizeof(out->Text));
  out->Value = head.Value;
  copy_text(in->Text2, out->Text2);
  copy_text(in->Text3, out->Text3);
  out->Flag1 = static_cast<uint8_t>(in->Flag1.get());
  out->Value2 = static_cast<uint32_t>(in->Value2.get());
  out->Flag2 = static_cast<uint8_t>(in->Flag2.get());
  out->Flag3 = static_cast<uint8_t>(in->Flag3.get());
  out->Flag4 = static_cast<uint8_t>(in->Flag4.get());
  out->Value3 = static_cast<uint32_t>(in->Value3.get());
  out->Value4 = in->Value4;
  out->Value5 = static_cast<uint32_t>(in->Value5.get());
  out->Value6 = static_cast<uint32_t>(in->Value6.get());
  out->Value7 = static_cast<uint32_t>(in->Value7.get());
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_SecuritySnapShot* out) {
  if (data == nullptr || len < SecuritySnapShotField::Size()) return false;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return DecodeInto(data, len, out, now);
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_SecuritySnapShot* out,
                const timespec& now) {
  if (data == nullptr || len < SecuritySnapShotField::Size()) return false;
  zero(out);
  WireIn in(data);
  in.code(out->Code);
  out->ExchangeID = ExchangeChar(in.take<unsigned char>());
  const uint64_t stamp = in.take<uint64_t>();
  out->Date = date_of(stamp);
  out->TradingDay = out->Date;
  out->Time = time_of(stamp);
  out->Status = static_cast<uint32_t>(in.take<int>());
  out->PreClosePx = in.i64();
  out->OpenPx = in.i64();
  out->HighPx = in.i64();
  out->LowPx = in.i64();
  out->MatchPx = in.i64();
  in.u64_array(out->AskPrice);
  in.u64_array(out->AskVol);
  in.u64_array(out->BidPrice);
  in.u64_array(out->BidVol);
  out->NumTrades = in.low32_of_i64();
  out->TotalVolumeTrade = in.i64();
  out->TotalValueTrade = in.i64();
  out->TotalBidVol = in.i64();
  out->TotalAskVol = in.i64();
  out->WeightedAvgBidPrice = in.i64();
  out->WeightedAvgAskPrice = in.i64();
  out->IOPV = in.low32_of_i64();
  out->YieldToMaturity = in.low32_of_i64();
  out->HighLimited = in.i64();
  out->LowLimited = in.i64();
  out->SYL1 = in.low32_of_i64();
  out->SYL2 = in.low32_of_i64();
  in.skip(8);  // SD1 is not carried: the slot stays 0.
  out->SD2 = in.low32_of_i64();
  out->AfterPrice = in.i64();
  out->AfterVolume = in.i64();
  out->AfterTurnover = in.i64();
  out->AfterMatchItems = in.i64();
#ifdef _WIN32
  // The Windows record leaves the local delay at 0.
  (void)now;
#else
  const int64_t delay_sec = in.i64();
  const int64_t delay_nsec = in.i64();
  out->LocalDelay = LocalDelayMicros(delay_sec, delay_nsec, now);
#endif
  return true;
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_IndexSnapShot* out) {
  if (data == nullptr || len < IndexSnapShotField::Size()) return false;
  zero(out);
  WireIn in(data);
  in.code(out->Code);
  out->ExchangeID = ExchangeChar(in.take<unsigned char>());
  const uint64_t stamp = in.take<uint64_t>();
  out->Date = date_of(stamp);
  out->TradingDay = out->Date;
  out->Time = time_of(stamp);
  out->PreCloseIndex = in.i64();
  out->OpenIndex = in.i64();
  out->HighIndex = in.i64();
  out->LowIndex = in.i64();
  out->LastIndex = in.i64();
  out->TotalVolume = in.i64();
  out->Turnover = in.i64();
  return true;
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_FutureSnapShot* out) {
  if (data == nullptr || len < FutureSnapShotField::Size()) return false;
  zero(out);
  WireIn in(data);
  in.code(out->Code);
  out->ExchangeID = ExchangeChar(in.take<unsigned char>());
  const uint64_t stamp = in.take<uint64_t>();
  out->Date = date_of(stamp);
  out->Time = time_of(stamp);
  out->TradingDay = in.take<unsigned int>();
  out->Status = static_cast<uint32_t>(in.take<int>());
  out->PreOpenInterest = in.i64();
  out->PreClosePx = in.i64();
  out->PreSettlePx = in.i64();
  out->OpenPx = in.i64();
  out->HighPx = in.i64();
  out->LowPx = in.i64();
  out->MatchPx = in.i64();
  out->TotalVolumeTrade = in.i64();
  out->TotalValueTrade = in.i64();
  out->OpenInterest = in.i64();
  out->ClosePx = in.i64();
  out->SettlePx = in.i64();
  out->HighLimited = in.i64();
  out->LowLimited = in.i64();
  out->PreDelta = static_cast<uint32_t>(in.take<int>());
  out->CurrDelta = static_cast<uint32_t>(in.take<int>());
  in.u64_array(out->AskPrice);
  in.u64_array(out->AskVol);
  in.u64_array(out->BidPrice);
  in.u64_array(out->BidVol);
  out->AuctionPrice = in.i64();
  out->AuctionQty = in.i64();
  return true;
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_TradeDetail* out) {
  if (data == nullptr || len < TradeDetailField::Size()) return false;
  zero(out);
  WireIn in(data);
  in.code(out->Code);
  out->ExchangeID = ExchangeChar(in.take<unsigned char>());
  const uint64_t stamp = in.take<uint64_t>();
  out->Date = date_of(stamp);
  out->Time = time_of(stamp);
  out->TradeSequence = in.i64();
  out->TradePrice = in.i64();
  out->TradeQty = in.low32_of_i64();
  out->TradeTurnover = in.i64();
  out->AskOrderSequence = in.i64();
  out->BidOrderSequence = in.i64();
  out->ExecType = MapExecType(in.i8());
#ifdef _WIN32
  // The Windows record ends with the flag, mapped as its programs expect:
  // '1' -> 'B', '2' -> 'S', '3' -> ' ', anything else -> 0.
  static constexpr convert_detail::CharMap kWindowsBSFlag =
      convert_detail::make_char_map("123", "BS ");
  out->BSFlag = kWindowsBSFlag.to[static_cast<unsigned char>(in.i8())];
#else
  out->BSFlag = MapBSFlag(in.i8());
  out->TradeChannel = static_cast<uint32_t>(in.take<int>());
  out->BizIndex = in.i64();
#endif
  return true;
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_OrderDetail* out) {
  if (data == nullptr || len < OrderDetailField::Size()) return false;
  zero(out);
  WireIn in(data);
  in.code(out->Code);
  out->ExchangeID = ExchangeChar(in.take<unsigned char>());
  const uint64_t stamp = in.take<uint64_t>();
  out->Date = date_of(stamp);
  out->Time = time_of(stamp);
  out->OrderSequence = in.i64();
  out->OrderPrice = in.i64();
  out->OrderQty = in.low32_of_i64();
  out->OrderSide = MapOrderSide(in.i8());
  out->OrderType = MapOrderType(in.i8());
  return true;
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_OrderQueue* out) {
  if (data == nullptr || len < OrderQueueField::Size()) return false;
  // The queue runs to the end of the record and is written whole below:
  // only the members before it need the zero fill.
  static_assert(
      offsetof(ZAVO_OrderQueue, OrderQueue) + sizeof(out->OrderQueue) == sizeof(ZAVO_OrderQueue),
      "the queue ends the record");
  std::memset(out, 0, offsetof(ZAVO_OrderQueue, OrderQueue));
  WireIn in(data);
  in.code(out->Code);
  out->ExchangeID = ExchangeChar(in.take<unsigned char>());
  const uint64_t stamp = in.take<uint64_t>();
  out->Date = date_of(stamp);
  // TradingDay stays 0 in this record.
  out->Time = time_of(stamp);
  out->OrderSide = MapOrderSide(in.i8());
  out->OrderPrice = in.i64();
  out->NumOrders = in.low32_of_i64();
  out->OrderQueueSize = in.low32_of_i64();
  load_u32_array(in.here(), out->OrderQueue);
  return true;
}

bool DecodeInto(const char* data, unsigned int len, ZAVO_SHOrderDetail* out) {
  if (data == nullptr || len < SH_OrderDetailField::Size()) return false;
  zero(out);
  WireIn in(data);
  in.code(out->Code);
  out->Time = time_of(in.take<uint64_t>());
  out->OrderIndex = static_cast<uint32_t>(in.take<int>());
  out->ChannelNo = static_cast<uint32_t>(in.take<int>());
  out->OrderPrice = in.i64();
  out->Balance = in.i64();
  out->OrderNo = in.i64();
  out->OrderType = static_cast<char>(in.i8());
  out->BSFlag = MapBSFlag(in.i8());
  out->BizIndex = in.i64();
  out->DataStatus = static_cast<char>(in.i8());
  return true;
}

void FillKvelCode(char (&out)[32], const char* code, const CExchangeIDType& exchange) {
  size_t n = 0;
  if (code != nullptr) {
    const void* z = std::memchr(code, 0, 15);
    n = z ? static_cast<size_t>(static_cast<const char*>(z) - code) : 15;
    std::memmove(out, code, n);
  }
  out[n++] = '.';
  if (exchange == 1 || exchange == 2) {
    out[n++] = 'S';
    out[n++] = exchange == 1 ? 'H' : 'Z';
  }
  out[n] = '\0';
}

char SseMarketStatus(const char* phase) {
  const phase_chars p(phase);
  if (p.c[0] == 'P') return 'B';
  char base = 0;
  switch (p.c[0]) {
    case 'B':
    case 'D':
      base = 'P';
      break;
    case 'C':
      base = 'I';
      break;
    case 'E':
    case 'N':
      base = 'V';
      break;
    case 'M':
      base = 'W';
      break;
    case 'S':
      base = 'E';
      break;
    case 'T':
      base = 'O';
      break;
    case 'U':
      base = 'J';
      break;
    default:
      break;
  }
  if (p.c[1] == '0') return 'B';
  if (p.c[3] == '0') return 'W';
  return base;
}

char SseOptionStatus(const char* phase) {
  const phase_chars p(phase);
  if (p.c[1] == '1') return 'B';
  if (p.c[3] == '0') return 'W';
  switch (p.c[0]) {
    case 'B':
      return 'P';
    case 'C':
      return 'I';
    case 'E':
    case 'N':
      return 'V';
    case 'M':
      return 'W';
    case 'P':
      return 'B';
    case 'S':
      return 'E';
    case 'T':
      return 'O';
    case 'U':
      return 'J';
    case 'V':
      return 'Q';
    default:
      return 0;
  }
}

}  // namespace zavo
