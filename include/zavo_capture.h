/*
 * zavo_capture.h: C interface of libzavo_capture, the offline decoder.
 *
 * A capture file (what zavo_record or tcpdump writes: pcap or pcapng,
 * plain or zstd-compressed, Ethernet, VLAN-tagged Ethernet, Linux cooked
 * v1 and v2 or raw IP framing) is read datagram by datagram and decoded by
 * the same decoders a live session of libzavo_api runs: the same
 * conversion, the same market, code and flag filter (the SubscribedMarkets,
 * SubscribedCodes and SubscribeFlags rules of ZAVO_OpenSetting), and the
 * records handed to a ZAVO_DataHandler as ZAVO_MSG, exactly as a live
 * session's data handler receives them. No session, socket, thread or
 * connection is involved: the handler runs on the thread that calls
 * ZAVO_CaptureRead, which returns once it has delivered what was asked.
 *
 * Each datagram is decoded at the moment it was captured: that time stands
 * where a live session reads the clock (LocalDelay of a snapshot is
 * measured against it), so one file always decodes to the same records.
 *
 * A compressed file is decompressed as a stream, with no temporary file;
 * whether a file is compressed is told by its first bytes, not its name.
 * A file that is cut short or damaged part-way is decoded up to the damage:
 * everything before it is delivered, and the summary says what the damage
 * was and where (ZAVO_CaptureSummary.Error, .DamageOffset).
 *
 *   ZAVO_CaptureSetting s;
 *   memset(&s, 0, sizeof s);
 *   s.SubscribedMarkets = "SH;SZ";
 *   s.SubscribeFlags = ZAVO_FLAG_TRADE_DETAIL;
 *   s.DataHandler = on_data;
 *   char why[256];
 *   ZAVO_CAPTURE c = ZAVO_CaptureOpen("day.pcap.zst", &s, why, sizeof why);
 *   if (!c) { fprintf(stderr, "%s\n", why); return 1; }
 *   while (ZAVO_CaptureRead(c, 0) > 0) {}
 *   ZAVO_CaptureSummary sum;
 *   ZAVO_CaptureGetSummary(c, &sum);
 *   if (sum.Damaged) fprintf(stderr, "%s\n", sum.Error);
 *   ZAVO_CaptureClose(c);
 *
 * A handle is used by one thread at a time; different handles are
 * independent. Link with -lzavo_capture (pkg-config zavo_capture), which
 * brings libzavo_api's header only: a program that decodes files offline
 * needs no session, and libzavo_api needs no capture library.
 */
#ifndef ZAVO_CAPTURE_H
#define ZAVO_CAPTURE_H

#include "zavo_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of one open capture file. */
typedef struct ZAVO_CaptureFile* ZAVO_CAPTURE;

/* How a capture is decoded. Zero-filled members take their defaults. */
typedef struct ZAVO_CaptureSetting {
  /* 0: struct mode (decoded records, kinds 100 to 106); 1: raw mode (the
   * exchanges' messages reassembled, kind 200, ZAVO_RawDataRef records). */
  int32_t RawMode;
  /* Passed on in ZAVO_MSG.ConnectID. */
  int32_t ConnectID;
  /* As in ZAVO_OpenSetting: "SH", "SZ" or "SH;SZ" (null or "": both;
   * raw mode: null or "" is "SH;SZ" too). */
  const char* SubscribedMarkets;
  /* As in ZAVO_OpenSetting (struct mode): "600000.SH;000001.SZ"; null or
   * "": every code of the subscribed markets. A market named in the list
   * delivers only its listed codes, other markets deliver all theirs. */
  const char* SubscribedCodes;
  /* ZAVO_SUBSCRIBE_FLAG bits (struct mode); snapshots always come. */
  uint32_t SubscribeFlags;
  /* Called for every record, on the thread that calls ZAVO_CaptureRead.
   * The message and its record are valid only during the call. Required. */
  ZAVO_DataHandler DataHandler;
  /* The handler's first argument; null passes the capture's handle. */
  void* Context;
  /* Only datagrams sent to this group and port (dotted IPv4 text and a
   * port) are decoded, as a live session joins one group. Null or "":
   * every datagram that begins with the mode's packet sync bytes, which
   * is what a recording of one feed holds. */
  const char* GroupIP;
  uint16_t GroupPort;
} ZAVO_CaptureSetting;

/* Traffic and sequence numbers of one stream of the capture, as sent: a
 * struct stream is one group:port numbered by its fields' SeqNum, a raw
 * stream one group:port and exchange numbered by its messages. */
typedef struct ZAVO_CaptureStream {
  char Name[48]; /* "239.255.6.1:6601", "239.255.6.1:6602 SH" */
  uint64_t Datagrams;
  uint64_t Bytes;
  uint64_t LastSeq;
  uint64_t Gaps;      /* jumps forward by more than one */
  uint64_t Missing;   /* numbers skipped by those jumps */
  uint64_t Backwards; /* numbers at or below one already seen */
} ZAVO_CaptureStream;

#define ZAVO_CAPTURE_MAX_STREAMS 8

/* What has been read so far; final once Ended is 1. */
typedef struct ZAVO_CaptureSummary {
  uint64_t Packets;       /* packets read from the file */
  uint64_t Skipped;       /* packets that are not whole UDP/IPv4 datagrams */
  uint64_t Datagrams;     /* datagrams handed to the decoder */
  uint64_t Passed;        /* datagrams of other groups or not of this mode */
  uint64_t Refused;       /* struct mode: datagrams that are not one packet */
  uint64_t Records;       /* records delivered to the handler */
  uint64_t HandlerErrors; /* handler calls that threw a C++ exception */
  uint64_t Gaps;          /* over every stream */
  uint64_t Missing;       /* over every stream */
  /* Bytes of the file consumed (the compressed bytes of a compressed one). */
  uint64_t FileOffset;
  /* Where the damage was met: a byte offset into the file as stored
   * (compressed bytes for a compressed file); 0 when not Damaged. */
  uint64_t DamageOffset;
  int32_t Ended;   /* 1: the file has been read to its end or its damage */
  int32_t Damaged; /* 1: the file is cut short or damaged (see Error) */
  int32_t Compressed;
  int32_t StreamCount; /* streams in Streams (at most the first 8) */
  ZAVO_CaptureStream Streams[ZAVO_CAPTURE_MAX_STREAMS];
  /* Damaged: the file's name, what the damage was and where, e.g.
   * "day.pcap.zst: corrupted compressed data at byte 1048576, after ...". */
  char Error[512];
} ZAVO_CaptureSummary;

/* Opens the capture file at `path` for decoding with `setting`. Returns the
 * handle, or null when the file cannot be read (missing, unreadable, not a
 * capture file, a link type without IPv4, compressed and this build cannot
 * decompress) or the settings are refused (no handler, markets or codes the
 * open call would refuse, a group that is not an IPv4 address); `reason`
 * (may be null; `reason_size` bytes, always terminated) then says why,
 * naming the file. Nothing is read beyond the file's header yet. */
ZAVO_API ZAVO_CAPTURE ZAVO_CaptureOpen(const char* path, const ZAVO_CaptureSetting* setting,
                                       char* reason, size_t reason_size);

/* Reads and decodes datagrams until at least `max_records` records were
 * delivered since the call began (0: to the end of the file), calling the
 * handler for each. The datagram that reaches the count is decoded whole,
 * so a call may deliver a few records more than asked. Returns 1 when more
 * may follow, 0 once the file has ended (at its end or at damage: see the
 * summary), ZAVO_ERR_INVALID for a null handle (or when no memory was left
 * for the bookkeeping). */
ZAVO_API int ZAVO_CaptureRead(ZAVO_CAPTURE capture, uint64_t max_records);

/* Copies what has been read so far into `*out`. ZAVO_ERR_INVALID for a
 * null handle or `out`. */
ZAVO_API ZAVO_ERROR ZAVO_CaptureGetSummary(ZAVO_CAPTURE capture, ZAVO_CaptureSummary* out);

/* Closes the file and frees the handle; null is ignored. Not from inside
 * the capture's own handler. */
ZAVO_API void ZAVO_CaptureClose(ZAVO_CAPTURE capture);

#ifdef __cplusplus
}
#endif

#endif /* ZAVO_CAPTURE_H */
