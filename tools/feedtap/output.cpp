#include "output.h"

#include <dirent.h>
#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace HarboStoL2FpgaRcv {

FILE* g_filePtr = nullptr;
bool g_recordNewline = false;

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

template <typename Field>
bool write_record(FILE* fp, const unsigned char* msg, size_t msgLen) {
  // A body too short for its record is skipped rather than read past.
  if (msgLen < kRecordOffset + sizeof(Field)) return false;
  Field rec;
  std::memcpy(&rec, msg + kRecordOffset, sizeof(Field));
  ToFile(fp, &rec);
  if (g_recordNewline) std::fputc('\n', fp);
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

#define FIELD_TEXT(fp, r, m) tofile(fp, (r)->m, sizeof((r)->m))

void ToFile(FILE* fp, const CSSEIndexMDField* r) {
  tofile(fp, "IX");
  FIELD_TEXT(fp, r, mSecurityID);
  tofile(fp, static_cast<int>(r->mUpdateTime));
  tofile(fp, static_cast<int>(r->mUpdateMsec));
  tofile(fp, static_cast<long>(times10(r->mLast)));
  tofile(fp, static_cast<long>(r->mTradeVolume / 1000));
  tofile(fp, static_cast<long>(r->mTurnOver / 10));
}

void ToFile(FILE* fp, const CSSESnapMDField* r) {
  tofile(fp, "SP");
  FIELD_TEXT(fp, r, mSecurityID);
  tofile(fp, static_cast<int>(r->mUpdateTime));
  tofile(fp, static_cast<int>(r->mUpdateMsec));
  tofile(fp, static_cast<int>(times10(r->mLast)));
  tofile(fp, static_cast<long>(r->mTradeNumber));
  tofile(fp, static_cast<long>(r->mTradeVolume / 1000));
  tofile(fp, static_cast<long>(r->mTurnOver / 10));
  tofile(fp, static_cast<int>(times10(r->mDepthMDField[10].mPrice)));
  tofile(fp, static_cast<long>(r->mDepthMDField[10].mVolume / 1000));
  tofile(fp, static_cast<int>(times10(r->mDepthMDField[0].mPrice)));
  tofile(fp, static_cast<long>(r->mDepthMDField[0].mVolume / 1000));
}

void ToFile(FILE* fp, const CSSEOptionMDField* r) {
  tofile(fp, "OP");
  FIELD_TEXT(fp, r, mSecurityID);
  tofile(fp, static_cast<int>(r->mUpdateTime));
  tofile(fp, static_cast<int>(r->mUpdateMsec));
  tofile(fp, static_cast<int>(to_int(r->mLast * 10.0)));
  tofile(fp, static_cast<long>(r->mTradeNumber));
  tofile(fp, static_cast<int>(to_int(r->mTurnOver / 10.0)));
  for (int level = 0; level < 2; ++level) {
    tofile(fp, static_cast<int>(to_int(r->mDepthMDField[level].mPrice * 10.0)));
    tofile(fp, static_cast<int>(narrow(r->mDepthMDField[level].mVolume / 1000)));
  }
}

void ToFile(FILE* fp, const CSSETradeMDField* r) {
  tofile(fp, "TD");
  FIELD_TEXT(fp, r, mSecurityID);
  tofile(fp, static_cast<int>(r->mUpdateTime));
  tofile(fp, static_cast<int>(r->mUpdateMsec));
  tofile(fp, static_cast<int>(r->mTradeIndex));
  tofile(fp, static_cast<long>(times10(r->mPrice)));
  tofile(fp, static_cast<long>(r->mTradeVolume / 1000));
  tofile(fp, static_cast<long>(r->mTurnOver / 10));
  tofile(fp, static_cast<long>(r->mTradeBuyNo));
  tofile(fp, static_cast<long>(r->mTradeSellNo));
  FIELD_TEXT(fp, r, mTradeBSFlag);
  tofile(fp, static_cast<long>(r->mBizIndex));
  tofile(fp, 'T');
}

void ToFile(FILE* fp, const CSSEOrderMDField* r) {
  tofile(fp, "OD");
  FIELD_TEXT(fp, r, mSecurityID);
  tofile(fp, static_cast<int>(r->mUpdateTime));
  tofile(fp, static_cast<int>(r->mUpdateMsec));
  tofile(fp, static_cast<int>(r->mOrderChannel));
  tofile(fp, static_cast<int>(r->mOrderIndex));
  tofile(fp, static_cast<long>(times10(r->mOrderPrice)));
  tofile(fp, static_cast<long>(r->mBalance));
  tofile(fp, static_cast<long>(r->mOrderNo / 10));
  FIELD_TEXT(fp, r, mOrderType);
  FIELD_TEXT(fp, r, mOrderBSFlag);
  tofile(fp, static_cast<long>(r->mBizIndex));
}

#undef FIELD_TEXT

int handleMDMsg(FILE* fp, const unsigned char* inBuf, const int& bufSize) {
  const size_t size = bufSize > 0 ? static_cast<size_t>(bufSize) : 0;
  size_t offset = 0;
  int written = 0;
  while (size - offset >= sizeof(CGMDHeader)) {
    CGMDHeader hdr;
    std::memcpy(&hdr, inBuf + offset, sizeof(hdr));
    const size_t msgLen = sizeof(CGMDHeader) + hdr.mBodyLen;
    if (msgLen > size - offset) break;
    const unsigned char* msg = inBuf + offset;
    bool done = false;
    switch (hdr.mMsgID) {
      case SH_INDEX_SNAP:
        done = write_record<CSSEIndexMDField>(fp, msg, msgLen);
        break;
      case SH_STOCK_SNAP:
      case SH_BOND_SNAP:
      case SH_FUND_SNAP:
        done = write_record<CSSESnapMDField>(fp, msg, msgLen);
        break;
      case SH_OPTS_SNAP:
        done = write_record<CSSEOptionMDField>(fp, msg, msgLen);
        break;
      case SH_TICK_TRADE:
        done = write_record<CSSETradeMDField>(fp, msg, msgLen);
        break;
      case SH_TICK_ORDER:
        done = write_record<CSSEOrderMDField>(fp, msg, msgLen);
        break;
      default:  // Shenzhen, level-1 and unknown kinds are not recorded.
        break;
    }
    if (done) ++written;
    offset += msgLen;
  }
  if (offset < size) {
    std::printf("Warnning::%d Bytes not handled...\n", static_cast<int>(size - offset));
  }
  return written;
}

void CallBack_RcvNewData(const unsigned char* pData, size_t len) {
  FILE* fp = g_filePtr != nullptr ? g_filePtr : stdout;
  const int size = len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
  if (handleMDMsg(fp, pData, size) > 0) std::fflush(fp);
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
  file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    std::printf("create file: %s failed!!\n", path.c_str());
    return false;
  }
  std::printf("create file: %s.\n", path.c_str());
  return true;
}

}  // namespace HarboStoL2FpgaRcv
