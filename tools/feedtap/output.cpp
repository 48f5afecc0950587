#include "output.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "tool_messages.h"

namespace HarboStoL2FpgaRcv {

FILE* g_filePtr = nullptr;
bool g_recordNewline = false;
unsigned long long g_datagramsReceived = 0;
unsigned long long g_recordsWritten = 0;
unsigned long long g_messagesSkipped = 0;

namespace {

// Prices are scaled in the integer width of their field and wrap like the
// gateway's own arithmetic does; going through unsigned keeps that defined.
int32_t times10(int32_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v) * 10u);
}
int64_t times10(int64_t v) {
  return static_cast<int64_t>(static_cast<uint64_t>(v) * 10u);
}

int32_t narrow(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

// Truncates toward zero. The doubles come off the wire, so values outside
// the int range (or NaN) must not reach an undefined conversion: they are
// clamped, NaN reads as 0.
int32_t to_int(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT_MAX;
  if (v <= -2147483648.0) return INT_MIN;
  return static_cast<int32_t>(v);
}

// One CSV record assembled in memory and handed to stdio in one fwrite:
// the same bytes the per-value fprintf calls would produce ("%d,", "%ld,",
// "%s,", "%c,", "%.*s,"), with integers formatted by hand.
class CsvLine {
 public:
  explicit CsvLine(FILE* fp) : fp_(fp) {}
  CsvLine(const CsvLine&) = delete;
  CsvLine& operator=(const CsvLine&) = delete;
  ~CsvLine() { flush(); }

  void put(int v) { put_signed(v); }
  void put(long v) { put_signed(v); }
  void put(const char* v) { put_text(v, std::strlen(v)); }
  void put(char v) {
    reserve(2);
    buf_[n_++] = v;
    buf_[n_++] = ',';
  }
  // A fixed-width character field: up to its first NUL, never past `width`.
  void put(const char* v, size_t width) {
    const void* nul = std::memchr(v, 0, width);
    put_text(v, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - v) : width);
  }
  void end_line() {
    reserve(1);
    buf_[n_++] = '\n';
  }
  void flush() {
    if (n_ > 0) std::fwrite(buf_, 1, n_, fp_);
    n_ = 0;
  }

 private:
  // Every record fits many times over; the check keeps a longer one correct.
  void reserve(size_t k) {
    if (n_ + k > sizeof(buf_)) flush();
  }
  void put_text(const char* v, size_t len) {
    if (len + 1 > sizeof(buf_)) {
      flush();
      std::fwrite(v, 1, len, fp_);
      std::fputc(',', fp_);
      return;
    }
    reserve(len + 1);
    std::memcpy(buf_ + n_, v, len);
    n_ += len;
    buf_[n_++] = ',';
  }
  template <typename T>
  void put_signed(T v) {
    reserve(22);  // sign, 20 digits, comma
    using U = std::make_unsigned_t<T>;
    U u = static_cast<U>(v);
    if (v < 0) {
      buf_[n_++] = '-';
      u = static_cast<U>(0) - u;  // also right for the most negative value
    }
    char digits[20];
    size_t d = 0;
    do {
      digits[d++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    while (d > 0) buf_[n_++] = digits[--d];
    buf_[n_++] = ',';
  }

  FILE* fp_;
  char buf_[512];
  size_t n_ = 0;
};

#define FIELD_TEXT(out, r, m) (out).put((r)->m, sizeof((r)->m))

void format(CsvLine& out, const CSSEIndexMDField* r) {
  out.put("IX");
  FIELD_TEXT(out, r, mSecurityID);
  out.put(static_cast<int>(r->mUpdateTime));
  out.put(static_cast<int>(r->mUpdateMsec));
  out.put(static_cast<long>(times10(r->mLast)));
  out.put(static_cast<long>(r->mTradeVolume / 1000));
  out.put(static_cast<long>(r->mTurnOver / 10));
}

void format(CsvLine& out, const CSSESnapMDField* r) {
  out.put("SP");
  FIELD_TEXT(out, r, mSecurityID);
  out.put(static_cast<int>(r->mUpdateTime));
  out.put(static_cast<int>(r->mUpdateMsec));
  out.put(static_cast<int>(times10(r->mLast)));
  out.put(static_cast<long>(r->mTradeNumber));
  out.put(static_cast<long>(r->mTradeVolume / 1000));
  out.put(static_cast<long>(r->mTurnOver / 10));
  out.put(static_cast<int>(times10(r->mDepthMDField[10].mPrice)));
  out.put(static_cast<long>(r->mDepthMDField[10].mVolume / 1000));
  out.put(static_cast<int>(times10(r->mDepthMDField[0].mPrice)));
  out.put(static_cast<long>(r->mDepthMDField[0].mVolume / 1000));
}

void format(CsvLine& out, const CSSEOptionMDField* r) {
  out.put("OP");
  FIELD_TEXT(out, r, mSecurityID);
  out.put(static_cast<int>(r->mUpdateTime));
  out.put(static_cast<int>(r->mUpdateMsec));
  out.put(static_cast<int>(to_int(r->mLast * 10.0)));
  out.put(static_cast<long>(r->mTradeNumber));
  out.put(static_cast<int>(to_int(r->mTurnOver / 10.0)));
  for (int level = 0; level < 2; ++level) {
    out.put(static_cast<int>(to_int(r->mDepthMDField[level].mPrice * 10.0)));
    out.put(static_cast<int>(narrow(r->mDepthMDField[level].mVolume / 1000)));
  }
}

void format(CsvLine& out, const CSSETradeMDField* r) {
  out.put("TD");
  FIELD_TEXT(out, r, mSecurityID);
  out.put(static_cast<int>(r->mUpdateTime));
  out.put(static_cast<int>(r->mUpdateMsec));
  out.put(static_cast<int>(r->mTradeIndex));
  out.put(static_cast<long>(times10(r->mPrice)));
  out.put(static_cast<long>(r->mTradeVolume / 1000));
  out.put(static_cast<long>(r->mTurnOver / 10));
  out.put(static_cast<long>(r->mTradeBuyNo));
  out.put(static_cast<long>(r->mTradeSellNo));
  FIELD_TEXT(out, r, mTradeBSFlag);
  out.put(static_cast<long>(r->mBizIndex));
  out.put('T');
}

void format(CsvLine& out, const CSSEOrderMDField* r) {
  out.put("OD");
  FIELD_TEXT(out, r, mSecurityID);
  out.put(static_cast<int>(r->mUpdateTime));
  out.put(static_cast<int>(r->mUpdateMsec));
  out.put(static_cast<int>(r->mOrderChannel));
  out.put(static_cast<int>(r->mOrderIndex));
  out.put(static_cast<long>(times10(r->mOrderPrice)));
  out.put(static_cast<long>(r->mBalance));
  out.put(static_cast<long>(r->mOrderNo / 10));
  FIELD_TEXT(out, r, mOrderType);
  FIELD_TEXT(out, r, mOrderBSFlag);
  out.put(static_cast<long>(r->mBizIndex));
}

#undef FIELD_TEXT

template <typename Field>
bool write_record(CsvLine& out, const unsigned char* msg, size_t msgLen) {
  // A body too short for its record is skipped rather than read past.
  if (msgLen < kRecordOffset + sizeof(Field)) return false;
  Field rec;
  std::memcpy(&rec, msg + kRecordOffset, sizeof(Field));
  format(out, &rec);
  if (g_recordNewline) out.end_line();
  return true;
}

}  // namespace

void tofile(FILE* fp, int v) {
  std::fprintf(fp, "%d,", v);
}
void tofile(FILE* fp, long v) {
  std::fprintf(fp, "%ld,", v);
}
void tofile(FILE* fp, const char* v) {
  std::fprintf(fp, "%s,", v);
}
void tofile(FILE* fp, char v) {
  std::fprintf(fp, "%c,", v);
}
void tofile(FILE* fp, const char* v, size_t width) {
  std::fprintf(fp, "%.*s,", static_cast<int>(width), v);
}

void ToFile(FILE* fp, const CSSEIndexMDField* r) {
  CsvLine out(fp);
  format(out, r);
}
void ToFile(FILE* fp, const CSSESnapMDField* r) {
  CsvLine out(fp);
  format(out, r);
}
void ToFile(FILE* fp, const CSSEOptionMDField* r) {
  CsvLine out(fp);
  format(out, r);
}
void ToFile(FILE* fp, const CSSETradeMDField* r) {
  CsvLine out(fp);
  format(out, r);
}
void ToFile(FILE* fp, const CSSEOrderMDField* r) {
  CsvLine out(fp);
  format(out, r);
}

int handleMDMsg(FILE* fp, const unsigned char* inBuf, const int& bufSize) {
  unsigned long long skipped = 0;
  return handleMDMsg(fp, inBuf, bufSize, &skipped);
}

int handleMDMsg(FILE* fp, const unsigned char* inBuf, const int& bufSize,
                unsigned long long* skipped) {
  const size_t size = bufSize > 0 ? static_cast<size_t>(bufSize) : 0;
  size_t offset = 0;
  int written = 0;
  CsvLine out(fp);
  while (size - offset >= sizeof(CGMDHeader)) {
    CGMDHeader hdr;
    std::memcpy(&hdr, inBuf + offset, sizeof(hdr));
    const size_t msgLen = sizeof(CGMDHeader) + hdr.mBodyLen;
    if (msgLen > size - offset) break;
    const unsigned char* msg = inBuf + offset;
    bool done = false;
    switch (hdr.mMsgID) {
      case SH_INDEX_SNAP:
        done = write_record<CSSEIndexMDField>(out, msg, msgLen);
        break;
      case SH_STOCK_SNAP:
      case SH_BOND_SNAP:
      case SH_FUND_SNAP:
        done = write_record<CSSESnapMDField>(out, msg, msgLen);
        break;
      case SH_OPTS_SNAP:
        done = write_record<CSSEOptionMDField>(out, msg, msgLen);
        break;
      case SH_TICK_TRADE:
        done = write_record<CSSETradeMDField>(out, msg, msgLen);
        break;
      case SH_TICK_ORDER:
        done = write_record<CSSEOrderMDField>(out, msg, msgLen);
        break;
      default:  // Shenzhen, level-1 and unknown kinds are not recorded.
        break;
    }
    if (done) {
      ++written;
    } else {
      ++*skipped;
    }
    offset += msgLen;
  }
  // The payload's records reach stdio before anything else is said, as
  // when they went out value by value.
  out.flush();
  if (offset < size) {
    std::fprintf(feedtap::MessageStream(), "Warnning::%d Bytes not handled...\n",
                 static_cast<int>(size - offset));
  }
  return written;
}

void CallBack_RcvNewData(const unsigned char* pData, size_t len) {
  FILE* fp = g_filePtr != nullptr ? g_filePtr : stdout;
  const int size = len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
  ++g_datagramsReceived;
  g_recordsWritten +=
      static_cast<unsigned long long>(handleMDMsg(fp, pData, size, &g_messagesSkipped));
}

void CallBack_Flush() {
  std::fflush(g_filePtr != nullptr ? g_filePtr : stdout);
}

std::string CsvOutFileName(const struct tm& local, const std::string& suffix) {
  char name[64];
  std::snprintf(name, sizeof(name), "./data/%d%02d%02d%02d%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
  return name + suffix;
}

bool InitCsvOutFile(FILE*& file, const std::string& suffix) {
  time_t now = std::time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  const std::string path = CsvOutFileName(local, suffix);
  DIR* dir = opendir("./data/");
  if (dir != nullptr) {
    closedir(dir);
  } else {
    mkdir("./data/", 0775);
  }
  // A restart within the same minute continues the file instead of
  // truncating what the earlier run captured.
  file = std::fopen(path.c_str(), "a");
  if (file == nullptr) {
    const int err = errno;
    std::fprintf(stderr, "create file: %s failed!! (%s)\n", path.c_str(), std::strerror(err));
    return false;
  }
  // Records are written out in bursts by the capture's flushes, not by
  // stdio whenever a small buffer happens to fill.
  std::setvbuf(file, nullptr, _IOFBF, kCsvBufferBytes);
  std::fprintf(feedtap::MessageStream(), "create file: %s.\n", path.c_str());
  return true;
}

}  // namespace HarboStoL2FpgaRcv
