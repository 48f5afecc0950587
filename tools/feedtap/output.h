// Decoding of captured payloads into CSV text, and the CSV output file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>

#include "FPGAMsgProtocol.h"

namespace HarboStoL2FpgaRcv {

// The stream that receives the CSV text; written by the receive thread only.
extern FILE* g_filePtr;
// When set, a line feed follows every record. Off by default: existing
// readers expect the records to run on, separated only by their commas.
extern bool g_recordNewline;
// Counted by CallBack_RcvNewData since the start (receive thread): the
// payloads handed to it, the records written, and the messages walked but not
// written (kinds that are not recorded, bodies too short for their record).
extern unsigned long long g_datagramsReceived;
extern unsigned long long g_recordsWritten;
extern unsigned long long g_messagesSkipped;

// stdio buffer of the CSV stream: more than 10 ms of records at the highest
// rates, so that only the capture's flushes write it out.
constexpr size_t kCsvBufferBytes = 1 << 20;

// One value followed by a comma.
void tofile(FILE* fp, int v);
void tofile(FILE* fp, long v);
void tofile(FILE* fp, const char* v);
void tofile(FILE* fp, char v);
// A fixed-width character field: up to its first NUL, never past `width`.
void tofile(FILE* fp, const char* v, size_t width);

void ToFile(FILE* fp, const CSSEIndexMDField* r);
void ToFile(FILE* fp, const CSSESnapMDField* r);
void ToFile(FILE* fp, const CSSEOptionMDField* r);
void ToFile(FILE* fp, const CSSETradeMDField* r);
void ToFile(FILE* fp, const CSSEOrderMDField* r);

// Walks the messages of one payload and writes one record per handled
// message. Returns the number of records written. Trailing bytes that do not
// form a whole message are reported on standard output and otherwise ignored,
// so one malformed datagram never ends a capture.
int handleMDMsg(FILE* fp, const unsigned char* inBuf, const int& bufSize);
// The same, adding the messages it walked without writing them to *skipped.
int handleMDMsg(FILE* fp, const unsigned char* inBuf, const int& bufSize,
                unsigned long long* skipped);

// Capture callback: decodes into g_filePtr. The text is written out by
// CallBack_Flush, which the capture calls when the feed pauses, at least
// every 10 ms, and at the end.
void CallBack_RcvNewData(const unsigned char* pData, size_t len);
void CallBack_Flush();

// "./data/" + YYYYMMDDhhmm + suffix, for the given local time.
std::string CsvOutFileName(const struct tm& local, const std::string& suffix);

// Creates ./data/ if needed and opens the file named by the current minute
// for appending (a restart within the minute keeps the earlier records).
bool InitCsvOutFile(FILE*& file, const std::string& suffix);

}  // namespace HarboStoL2FpgaRcv
