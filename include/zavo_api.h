/*
 * zavo_api.h: C interface of libzavo_api, a market-data client for the
 * Shanghai and Shenzhen stock exchanges.
 *
 * A program opens a session with ZAVO_Open (struct mode: typed records) or
 * ZAVO_OpenRaw (raw mode: the exchanges' own messages) and receives an opaque
 * handle. Market data and connection events arrive through callbacks of type
 * ZAVO_DataHandler, always on the library's own threads. Every session ends
 * with ZAVO_Close followed by ZAVO_Wait.
 *
 * Conventions used throughout:
 *   - Records are plain C structures with natural alignment; their sizes and
 *     member offsets are part of the binary interface and never change.
 *   - Text members are NUL-terminated byte strings in fixed arrays.
 *   - Time of day is the decimal number hhmmssmmm
 *     (hour*10^7 + minute*10^5 + second*1000 + millisecond);
 *     dates are YYYYMMDD (year*10^4 + month*100 + day).
 *   - Prices, volumes and amounts are passed on exactly as the server sends
 *     them, without scaling.
 *   - Memory: records handed to a callback belong to the library and are
 *     valid only during that call. Arrays returned by the query calls are
 *     single malloc blocks that the caller releases with ZAVO_Free.
 *
 * Threads and the end of a session:
 *   - Every function may be called from any thread, and from inside every
 *     handler of any session, except ZAVO_Wait, which must never run inside
 *     a handler of the session it waits for.
 *   - Handlers run on the session's own threads (see ZAVO_DataHandler). One
 *     handler kind is never called on two threads at once.
 *   - ZAVO_Close may be called any number of times, from any number of
 *     threads at once, and from inside any handler; only the first call
 *     does anything. After it, calls that send to the server fail with
 *     ZAVO_ERR_NETWORK; queries keep answering from what was received.
 *   - Handlers may still be called after ZAVO_Close returns. The last
 *     handler call of a session has returned when ZAVO_Wait returns;
 *     everything a handler reaches through the handle stays valid until
 *     then.
 *   - The control connection: ZAVO_Open/ZAVO_OpenRaw wait at most 15 s for
 *     the login answer. Once open, a lost connection is re-established
 *     every 5 s (ZAVO_MSG_DISCONNECT, then ZAVO_MSG_CONNECT and
 *     ZAVO_MSG_LOGIN again); the multicast feed stays joined meanwhile.
 *
 * The header compiles as C99 (and later) and as C++.
 *
 * Windows x64 (zavo_api.dll): the same functions and records, with the
 * differences of the Windows build marked "Windows:" where they are
 * declared: the settings records have no CpuID, the trade detail record
 * ends after BSFlag (88 bytes), kind ZAVO_MSG_SH_ORDER_DETAIL is never
 * delivered, LocalDelay is always 0, and the struct-mode data handler runs
 * on the session's event loop thread. Both layouts have their size and
 * offset checks at the end of this header.
 */
#ifndef ZAVO_API_H
#define ZAVO_API_H

#include <stddef.h>
#include <stdint.h>

/* ZAVO_API marks the exported functions. The shared object hides every other
 * symbol, so only what is declared with it here is reachable. */
#if defined(_WIN32)
#if defined(ZAVO_API_BUILDING)
#define ZAVO_API __declspec(dllexport)
#else
#define ZAVO_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define ZAVO_API __attribute__((visibility("default")))
#else
#define ZAVO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Results                                                                  */
/* ------------------------------------------------------------------------ */

/* Result of every call that can fail. No other values are ever returned. */
typedef enum ZAVO_ERROR {
  /* The call succeeded. */
  ZAVO_SUCCESS = 0,
  /* A retransmission request of this session is still in progress
   * (ZAVO_RebuildStructData, ZAVO_RebuildRawData). */
  ZAVO_ERR_BUSY = -94,
  /* Invalid handle (null, or a handle of the other mode), invalid argument,
   * missing handler in the settings or an unparsable subscription text. */
  ZAVO_ERR_INVALID = -98,
  /* The TCP connection could not be started or was lost before the login
   * completed, the server refused the login, the multicast group could not be
   * joined, or a request could not be built or sent. */
  ZAVO_ERR_NETWORK = -99
} ZAVO_ERROR;

/* ------------------------------------------------------------------------ */
/* Messages and the callback type                                           */
/* ------------------------------------------------------------------------ */

/* Kinds of message (ZAVO_MSG.MsgType) and the record each one carries. */
typedef enum ZAVO_MSG_TYPE {
  /* System handler: the TCP session to the server connected.
   * Record: ZAVO_ConnectResult. */
  ZAVO_MSG_CONNECT = 1,
  /* System handler: the TCP session was lost or could not be established.
   * Record: ZAVO_DisconnectResult. */
  ZAVO_MSG_DISCONNECT = 2,
  /* System handler: the server answered a login. Record: ZAVO_LoginResult. */
  ZAVO_MSG_LOGIN = 3,
  /* System handler (struct mode): the server finished sending the code
   * tables. Record: ZAVO_BaseInfoFinish. */
  ZAVO_MSG_BASEINFO_FINISH = 4,
  /* System handler: a retransmission ended, by the server's end record or
   * abandoned by the library (ZAVO_REBUILD_ABANDONED).
   * Record: ZAVO_RebuildResult. */
  ZAVO_MSG_REBUILD_FINISH = 5,
  /* System handler: ZAVO_Open/ZAVO_OpenRaw is about to fail with
   * ZAVO_ERR_NETWORK, and this says which step failed and why. Delivered
   * at most once per session, on the thread that called ZAVO_Open, after
   * the session's own threads have stopped and before ZAVO_Open returns.
   * Record: ZAVO_OpenFailure. */
  ZAVO_MSG_OPEN_FAILED = 6,
  /* System handler, struct mode, only with ZAVO_FLAG_FEED_STATS: the
   * session's feed-health counters, once a second on the event loop
   * thread. Record: ZAVO_FeedStats. */
  ZAVO_MSG_FEED_STATS = 7,
  /* Data or rebuild handler, struct mode. Record: ZAVO_IndexSnapShot. */
  ZAVO_MSG_INDEX_SNAPSHOT = 100,
  /* Data or rebuild handler, struct mode. Record: ZAVO_SecuritySnapShot. */
  ZAVO_MSG_SECURITY_SNAPSHOT = 101,
  /* Data or rebuild handler, struct mode. Record: ZAVO_FutureSnapShot. */
  ZAVO_MSG_FUTURE_SNAPSHOT = 102,
  /* Data or rebuild handler, struct mode, only with ZAVO_FLAG_TRADE_DETAIL.
   * Record: ZAVO_TradeDetail. */
  ZAVO_MSG_TRADE_DETAIL = 103,
  /* Data or rebuild handler, struct mode, only with ZAVO_FLAG_ORDER_DETAIL.
   * Record: ZAVO_OrderDetail. */
  ZAVO_MSG_ORDER_DETAIL = 104,
  /* Data or rebuild handler, struct mode, only with ZAVO_FLAG_ORDER_QUEUE.
   * Record: ZAVO_OrderQueue. */
  ZAVO_MSG_ORDER_QUEUE = 105,
  /* Data or rebuild handler, struct mode, only with ZAVO_FLAG_ORDER_DETAIL.
   * Record: ZAVO_SHOrderDetail. */
  ZAVO_MSG_SH_ORDER_DETAIL = 106,
  /* Data handler, struct mode, only with ZAVO_FLAG_RECOVER_GAPS: fields that
   * were missing from the feed and could not be recovered. Delivered in
   * sequence order: every record before it has a smaller SeqNum, every
   * record after it a larger one. SeqNum is EndSeq - 1 (the last number it
   * covers). Record: ZAVO_LostRange. */
  ZAVO_MSG_LOST_RANGE = 110,
  /* Data or rebuild handler, raw mode. Record: ZAVO_RawDataRef. */
  ZAVO_MSG_RAW_DATA = 200
} ZAVO_MSG_TYPE;

/* Bits of ZAVO_OpenSetting.SubscribeFlags: the optional kinds to deliver.
 * A kind that is not enabled is decoded and dropped, in live data and in
 * retransmissions alike. Snapshots (kinds 100, 101, 102) are always
 * delivered, subject to the subscription filter. Bit 0 is not used. */
typedef enum ZAVO_SUBSCRIBE_FLAG {
  ZAVO_FLAG_TRADE_DETAIL = 2, /* ZAVO_MSG_TRADE_DETAIL */
  ZAVO_FLAG_ORDER_DETAIL = 4, /* ZAVO_MSG_ORDER_DETAIL, ZAVO_MSG_SH_ORDER_DETAIL */
  ZAVO_FLAG_ORDER_QUEUE = 8,  /* ZAVO_MSG_ORDER_QUEUE */
  /* Gap recovery (see "Gap recovery" below ZAVO_LostRange). */
  ZAVO_FLAG_RECOVER_GAPS = 0x100,
  /* Feed-health counters: ZAVO_MSG_FEED_STATS once a second. */
  ZAVO_FLAG_FEED_STATS = 0x200
} ZAVO_SUBSCRIBE_FLAG;

/* One message as every callback receives it (32 bytes). The message and the
 * record at MsgData belong to the library and are valid only for the
 * duration of the callback; copy what you keep. */
typedef struct ZAVO_MSG {
  /* Message kind, a ZAVO_MSG_TYPE value. */
  uint32_t MsgType;
  /* Size in bytes of the record at MsgData. */
  uint32_t MsgSize;
  /* Time of day hhmmssmmm. Market data: the sending time of the packet that
   * carried it (the sender's clock). Kinds 1 to 7 and ZAVO_MSG_LOST_RANGE:
   * the library's local clock when the message was built. */
  uint32_t MsgTime;
  /* The ConnectID of the session's settings. */
  int32_t ConnectID;
  /* Market data: the sequence number of the field that carried the record
   * (the numbers ZAVO_RebuildStructData takes); raw data: the message's
   * sequence number; 0 for kinds 1 to 7; ZAVO_MSG_LOST_RANGE: the last
   * number of the range. */
  uint64_t SeqNum;
  /* The record; its type follows from MsgType. */
  const void* MsgData;
} ZAVO_MSG;

/* The one callback type, used for the data handler, the system handler and
 * the rebuild handler. `handle` is the session's handle, so one function can
 * serve several sessions. Callbacks run on the library's threads, never on
 * the caller's: in struct mode the data handler runs on the session's
 * packet-processing thread and the system and rebuild handlers on its event
 * loop thread; in raw mode the data handler runs on the multicast read
 * thread and the system and rebuild handlers on the event loop thread.
 * Windows: every handler of a session, data handlers included, runs on its
 * event loop thread, which also receives the feed.
 * A handler must return promptly. It may call every function of this
 * header (ZAVO_Close included) except ZAVO_Wait on its own session. A
 * rebuild request from a data handler waits briefly for the event loop
 * thread to take it.
 * A C++ exception that escapes a handler (data, system or rebuild, either
 * mode) is caught by the library around that one call: the message is
 * lost to the handler, the session goes on with the next message, and the
 * log names the handler, the message kind and the exception's text, the
 * first time and then at most once every 10 s per handler kind with the
 * number of exceptions since. Handlers should still catch their own.
 *
 * In struct mode with the backoff idle strategy (the default unless CpuID
 * pins the read thread), the packet-processing thread also reads the feed
 * socket itself while the data handler keeps up, and the read thread
 * sleeps. Should one handler call run for more than about a millisecond,
 * or the socket's queue keep growing, the read thread moves what arrives
 * into a queue in memory until the processing thread has caught up; the
 * order of records is kept. That queue is bounded: 256 MiB by default, or
 * the number of bytes in the environment variable ZAVO_MAX_QUEUED_BYTES
 * (read when the session is created). Past the bound, datagrams are dropped
 * as the kernel drops them when its buffer is full: the records they
 * carried are missing from the SeqNum sequence (ask for them with
 * ZAVO_RebuildStructData), and the log says how many were dropped, once
 * per burst. */
typedef void (*ZAVO_DataHandler)(void* handle, const ZAVO_MSG* msg);

/* Opaque session handle returned by ZAVO_Open and ZAVO_OpenRaw. */
typedef void* ZAVO_HANDLE;

/* ------------------------------------------------------------------------ */
/* Settings                                                                 */
/* ------------------------------------------------------------------------ */

/* Settings of a struct-mode session (272 bytes). ZAVO_Open copies the whole
 * record, so the caller's copy may be discarded once ZAVO_Open returns; the
 * two subscription texts are read before ZAVO_Open returns and not kept. */
typedef struct ZAVO_OpenSetting {
  /* Caller's number for this session, copied into every ZAVO_MSG. */
  int32_t ConnectID;
  /* Multicast group of the market-data feed, dotted IPv4 text. */
  char MulticastIP[32];
  /* UDP port of the feed, host byte order. */
  uint16_t MulticastPort;
  /* IPv4 address of the local interface on which to join the group. */
  char LocalIP[32];
  /* Market-data server, dotted IPv4 text. */
  char ServerIP[32];
  /* TCP port of the server, host byte order. */
  uint16_t ServerPort;
  /* Login user name; at most 15 characters are sent. */
  char UserName[64];
  /* Login password; at most 31 characters are sent. */
  char Password[64];
  /* Handler of market-data messages; required. */
  ZAVO_DataHandler DataHandler;
  /* Handler of connection-state messages; required. */
  ZAVO_DataHandler SystemHandler;
  /* Markets to deliver: "SH", "SZ" or both separated by ';' (case does not
   * matter). Null or empty delivers both markets. */
  const char* SubscribedMarkets;
  /* Codes to deliver, "code.market" items separated by ';', for example
   * "600000.SH;000001.SZ". A market named here delivers only its listed
   * codes. Null or empty leaves the market choice as it is. */
  const char* SubscribedCodes;
  /* ZAVO_SUBSCRIBE_FLAG bits: the optional kinds to deliver. */
  uint32_t SubscribeFlags;
#if !defined(_WIN32)
  /* CPU to which the multicast read thread binds itself; negative: none. */
  int32_t CpuID;
#endif
  /* Windows: no CpuID (no thread is bound to a CPU); 4 bytes of tail
   * padding keep the record at 272 bytes. */
} ZAVO_OpenSetting;

/* Settings of a raw-mode session (264 bytes; Windows: 256 bytes, without
 * CpuID). The members up to
 * SystemHandler mean what they mean in ZAVO_OpenSetting. ZAVO_OpenRaw copies
 * the record; SubscribedMarkets is read before it returns. */
typedef struct ZAVO_RawOpenSetting {
  int32_t ConnectID;
  char MulticastIP[32];
  uint16_t MulticastPort;
  char LocalIP[32];
  char ServerIP[32];
  uint16_t ServerPort;
  char UserName[64];
  char Password[64];
  ZAVO_DataHandler DataHandler;
  ZAVO_DataHandler SystemHandler;
  /* Markets to deliver: "SH", "SZ" or both separated by ';'. */
  const char* SubscribedMarkets;
#if !defined(_WIN32)
  /* CPU to which the multicast read thread binds itself; negative: none. */
  int32_t CpuID;
#endif
} ZAVO_RawOpenSetting;

/* Mode of ZAVO_UpdateSubscription. A C caller may pass any int; a value
 * outside 0..3 changes nothing. (In C++ the type is int-based, so such a
 * value is a valid value of the type there too.) */
#ifdef __cplusplus
typedef enum ZAVO_SUBSCRIPTION_UPDATE : int {
#else
typedef enum ZAVO_SUBSCRIPTION_UPDATE {
#endif
  /* Both markets deliver everything; the code list is ignored. */
  ZAVO_SUBSCRIBE_ALL = 0,
  /* Both markets deliver nothing, then every market named in the list
   * delivers exactly its listed codes. */
  ZAVO_SUBSCRIBE_REPLACE = 1,
  /* The listed codes are added to what their markets deliver. */
  ZAVO_SUBSCRIBE_ADD = 2,
  /* The listed codes are removed from what their markets deliver. */
  ZAVO_SUBSCRIBE_REMOVE = 3
} ZAVO_SUBSCRIPTION_UPDATE;

/* ------------------------------------------------------------------------ */
/* Connection-state records (system handler)                                */
/* ------------------------------------------------------------------------ */

/* ZAVO_MSG_CONNECT (36 bytes): the TCP session to the server connected. */
typedef struct ZAVO_ConnectResult {
  char Address[32]; /* the server's address (ServerIP) */
  uint16_t Port;    /* the server's port (ServerPort) */
  uint16_t State;   /* 1: connected */
} ZAVO_ConnectResult;

/* ZAVO_MSG_DISCONNECT (34 bytes): the TCP session was lost or could not be
 * established. */
typedef struct ZAVO_DisconnectResult {
  char Address[32]; /* the server's address (ServerIP) */
  uint16_t Port;    /* the server's port (ServerPort) */
} ZAVO_DisconnectResult;

/* ZAVO_MSG_LOGIN (214 bytes): the server answered a login. */
typedef struct ZAVO_LoginResult {
  char Address[32];   /* the server's address (ServerIP) */
  uint16_t Port;      /* the server's port (ServerPort) */
  uint16_t ErrorID;   /* the server's error number (low 16 bits); 0: accepted */
  char ErrorMsg[128]; /* on refusal the server's text; on success "success" */
  /* On success the number of non-empty ';'-separated entries of the
   * server's text kept in Items: at most 6, each cut to 7 characters;
   * 0 on refusal. */
  uint16_t ItemCount;
  /* On success the entries, in order, each NUL-terminated in 8 bytes. */
  char Items[6][8];
} ZAVO_LoginResult;

/* ZAVO_MSG_BASEINFO_FINISH (260 bytes): the code tables are complete.
 * A market is listed only when its tables hold at least one entry. */
typedef struct ZAVO_BaseInfoFinish {
  uint8_t Reserved[128];  /* all zero */
  uint32_t MarketCount;   /* entries used below: 0, 1 or 2 */
  char Markets[8][8];     /* "SH" first when present, then "SZ" */
  uint32_t CodeCount[8];  /* per market: security plus option table entries */
  uint32_t LastUpdate[8]; /* per market: update sequence of its code table */
} ZAVO_BaseInfoFinish;

/* ZAVO_MSG_REBUILD_FINISH (24 bytes): a retransmission ended. Every request
 * that ZAVO_RebuildStructData or ZAVO_RebuildRawData accepted ends with
 * exactly one such message: the server's end record, or the library giving
 * the request up (Status ZAVO_REBUILD_ABANDONED). */
typedef struct ZAVO_RebuildResult {
  uint64_t BeginSeq; /* first sequence number of the finished request */
  uint64_t EndSeq;   /* end sequence number (exclusive) of that request */
  /* The server's completion status for the request, or
   * ZAVO_REBUILD_ABANDONED. */
  uint32_t Status;
} ZAVO_RebuildResult;

/* ZAVO_RebuildResult.Status of a request the library gave up: the control
 * connection dropped before the server's end record arrived (the server
 * answers only on the connection that carried the request), or a new
 * trading day cleared the session's state (struct mode). Records of the
 * range may have been delivered in part; ask again once logged in. */
#define ZAVO_REBUILD_ABANDONED ((uint32_t)0xFFFFFFFFu)

/* Gap recovery (ZAVO_FLAG_RECOVER_GAPS, struct mode). The session follows
 * the sequence number of every market-data field it receives, before the
 * subscription filter, so a filtered session tells a loss from a record it
 * does not want. When a number is missing it asks the server for the
 * missing range over the control connection (one request at a time; gaps
 * found meanwhile are asked for together once it ends), holds copies of the
 * records that follow, and delivers to the data handler, on the
 * packet-processing thread, the recovered records in sequence order, then
 * the held ones: the data handler sees one stream whose SeqNum strictly
 * increases. A field at or below the last number delivered (a duplicate, a
 * late copy) is dropped. Whatever cannot be recovered is reported in its
 * place by ZAVO_MSG_LOST_RANGE, and delivery goes on.
 *
 * Bounds, read when the session opens: records are held at most
 * ZAVO_RECOVER_HOLD_MS milliseconds (default 3000) and at most
 * ZAVO_RECOVER_HOLD_BYTES bytes (default 64 MiB) in all; past either, the
 * oldest missing range is reported lost and what follows it is delivered.
 * While a record is held, later ones of the feed wait behind it.
 *
 * The one retransmission slot: while recovery has a request out,
 * ZAVO_RebuildStructData returns ZAVO_ERR_BUSY; a request of yours in
 * progress makes recovery wait until it ends. Recovery's own requests are
 * not reported by ZAVO_MSG_REBUILD_FINISH. A new trading day and a lost
 * control connection end the recovery in progress (its missing ranges are
 * reported, the held records delivered). After ZAVO_Close nothing more is
 * delivered: records still held are dropped, which the log says. */

/* ZAVO_LostRange.Reason: why a range could not be recovered. */
typedef enum ZAVO_LOST_REASON {
  ZAVO_LOST_REFUSED = 1,     /* the server refused the retransmission */
  ZAVO_LOST_UNAVAILABLE = 2, /* the server no longer has (all of) the range */
  ZAVO_LOST_TIMEOUT = 3,     /* not recovered within ZAVO_RECOVER_HOLD_MS */
  ZAVO_LOST_HOLD_FULL = 4,   /* the held records reached ZAVO_RECOVER_HOLD_BYTES */
  ZAVO_LOST_ABANDONED = 5,   /* the control connection dropped during the request */
  ZAVO_LOST_NEW_DAY = 6      /* a new trading day began */
} ZAVO_LOST_REASON;

/* ZAVO_MSG_LOST_RANGE (24 bytes): fields BeginSeq up to, not including,
 * EndSeq are missing from the stream for good. (Numbers in the range that
 * the server never assigned to a record of yours count too: the range is
 * of the feed's sequence, before the filter.) */
typedef struct ZAVO_LostRange {
  uint64_t BeginSeq;
  uint64_t EndSeq;   /* exclusive */
  uint32_t Reason;   /* a ZAVO_LOST_REASON */
  uint32_t Reserved; /* 0 */
} ZAVO_LostRange;

/* ZAVO_MSG_FEED_STATS (136 bytes): the feed's health since the session
 * opened (ZAVO_FLAG_FEED_STATS, struct mode). Counters only grow. Gaps and
 * missing fields are counted with or without ZAVO_FLAG_RECOVER_GAPS; the
 * recovery counters stay 0 without it. */
typedef struct ZAVO_FeedStats {
  uint64_t Datagrams;        /* feed datagrams processed */
  uint64_t Bytes;            /* their bytes */
  uint64_t Fields;           /* market-data fields in them, before the filter */
  uint64_t Delivered;        /* records the data handler received */
  uint64_t Filtered;         /* fields not delivered: filter, flags, dropped */
  uint64_t Gaps;             /* holes found in the field sequence */
  uint64_t Missing;          /* fields in those holes */
  uint64_t Recovered;        /* missing fields that arrived later */
  uint64_t Lost;             /* missing fields reported by ZAVO_MSG_LOST_RANGE */
  uint64_t Duplicates;       /* fields dropped at or below the last delivered */
  uint64_t QueueDrops;       /* datagrams the hand-off queue dropped at its bound */
  uint64_t QueuePeakBytes;   /* the most bytes that queue held */
  uint64_t TakeOvers;        /* times the read thread took the socket over */
  uint64_t KernelDrops;      /* datagrams the kernel dropped (SO_RXQ_OVFL) */
  uint64_t Reconnects;       /* control connections lost */
  uint64_t HeldPeakBytes;    /* the most bytes recovery held */
  uint32_t LastDatagramAgeMs; /* since the last datagram; 0xFFFFFFFF: none yet */
  uint32_t Reserved;          /* 0 */
} ZAVO_FeedStats;

/* ZAVO_OpenFailure.Step: the step of opening a session that failed. */
typedef enum ZAVO_OPEN_STEP {
  ZAVO_OPEN_STEP_CONNECT = 1,       /* the TCP connection to the server */
  ZAVO_OPEN_STEP_LOGIN = 2,         /* the server refused the login */
  ZAVO_OPEN_STEP_LOGIN_TIMEOUT = 3, /* the login was not answered in 15 s */
  ZAVO_OPEN_STEP_JOIN = 4           /* joining the multicast feed */
} ZAVO_OPEN_STEP;

/* ZAVO_MSG_OPEN_FAILED (256 bytes): why an open failed. */
typedef struct ZAVO_OpenFailure {
  uint16_t Step;       /* a ZAVO_OPEN_STEP */
  uint16_t Reserved;   /* 0 */
  int32_t SystemError; /* the system's error number (errno), 0 when none */
  /* One line for a person, for example "connecting to 127.0.0.1:9100
   * failed: connection refused" or "joining 239.1.1.1:5000 on 127.0.0.1
   * failed: address already in use: another process reads this feed; see
   * ZAVO_SHARE_FEED". The same line is in the log. */
  char Reason[248];
} ZAVO_OpenFailure;

/* ------------------------------------------------------------------------ */
/* Market-data records                                                      */
/* ------------------------------------------------------------------------ */
/* Common members: Code is the security code, at most 15 characters and
 * always NUL-terminated. ExchangeID is '1' (Shanghai), '2' (Shenzhen) or '0'
 * (any other exchange). Date is YYYYMMDD and Time hhmmssmmm of the record's
 * own time stamp. Members without a source are 0. */

/* ZAVO_MSG_SECURITY_SNAPSHOT (536 bytes): snapshot of one security. */
typedef struct ZAVO_SecuritySnapShot {
  char Code[16];
  char ExchangeID;
  uint32_t Date;
  uint32_t TradingDay; /* the same value as Date */
  uint32_t Time;
  uint32_t Status;
  int64_t PreClosePx;
  int64_t OpenPx;
  int64_t HighPx;
  int64_t LowPx;
  int64_t MatchPx;
  uint64_t AskPrice[10]; /* best first, as sent */
  uint64_t AskVol[10];
  uint64_t BidPrice[10]; /* best first, as sent */
  uint64_t BidVol[10];
  uint32_t NumTrades; /* low 32 bits */
  int64_t TotalVolumeTrade;
  int64_t TotalValueTrade;
  int64_t TotalBidVol;
  int64_t TotalAskVol;
  int64_t WeightedAvgBidPrice;
  int64_t WeightedAvgAskPrice;
  uint32_t IOPV;            /* low 32 bits */
  uint32_t YieldToMaturity; /* low 32 bits */
  int64_t HighLimited;
  int64_t LowLimited;
  uint32_t SYL1; /* low 32 bits */
  uint32_t SYL2; /* low 32 bits */
  uint32_t SD1;  /* always 0 */
  uint32_t SD2;  /* low 32 bits */
  int64_t AfterPrice;
  int64_t AfterVolume;
  int64_t AfterTurnover;
  int64_t AfterMatchItems;
  /* Microseconds from the upstream delay-tracking stamp to the moment the
   * library took up the datagram carrying the record (for a retransmitted
   * record: the packet carrying it), as computed, even if the stamp is 0.
   * The wall clock is read once per datagram, so every record of one
   * datagram is measured from the same moment, before any handler ran for
   * it.
   * Windows: always 0. */
  int64_t LocalDelay;
} ZAVO_SecuritySnapShot;

/* ZAVO_MSG_INDEX_SNAPSHOT (88 bytes): snapshot of one index. */
typedef struct ZAVO_IndexSnapShot {
  char Code[16];
  char ExchangeID;
  uint32_t Date;
  uint32_t TradingDay; /* the same value as Date */
  uint32_t Time;
  int64_t PreCloseIndex;
  int64_t OpenIndex;
  int64_t HighIndex;
  int64_t LowIndex;
  int64_t LastIndex;
  int64_t TotalVolume;
  int64_t Turnover;
} ZAVO_IndexSnapShot;

/* ZAVO_MSG_FUTURE_SNAPSHOT (336 bytes): snapshot of one future. */
typedef struct ZAVO_FutureSnapShot {
  char Code[16];
  char ExchangeID;
  uint32_t Date;
  uint32_t TradingDay; /* as sent by the server */
  uint32_t Time;
  uint32_t Status;
  int64_t PreOpenInterest;
  int64_t PreClosePx;
  int64_t PreSettlePx;
  int64_t OpenPx;
  int64_t HighPx;
  int64_t LowPx;
  int64_t MatchPx;
  int64_t TotalVolumeTrade;
  int64_t TotalValueTrade;
  int64_t OpenInterest;
  int64_t ClosePx;
  int64_t SettlePx;
  int64_t HighLimited;
  int64_t LowLimited;
  uint32_t PreDelta;
  uint32_t CurrDelta;
  uint64_t AskPrice[5];
  uint64_t AskVol[5];
  uint64_t BidPrice[5];
  uint64_t BidVol[5];
  int64_t AuctionPrice;
  int64_t AuctionQty;
} ZAVO_FutureSnapShot;

/* ZAVO_MSG_TRADE_DETAIL (96 bytes; Windows: 88 bytes, ending after BSFlag):
 * one trade. */
typedef struct ZAVO_TradeDetail {
  char Code[16];
  char ExchangeID;
  uint32_t Date;
  uint32_t Time;
  int64_t TradeSequence;
  int64_t TradePrice;
  uint32_t TradeQty; /* low 32 bits */
  int64_t TradeTurnover;
  int64_t AskOrderSequence;
  int64_t BidOrderSequence;
  /* The server's one-byte code mapped to a letter: '1' -> 'T' (trade),
   * '2' -> 'C' (cancel), any other byte -> 0. */
  char ExecType;
  /* '1' -> 'B' (buy), '2' -> 'S' (sell), ' ' -> 'N' (none), any other
   * byte -> 0. Windows: '1' -> 'B', '2' -> 'S', '3' -> ' ', any other
   * byte -> 0. */
  char BSFlag;
#if !defined(_WIN32)
  uint32_t TradeChannel;
  int64_t BizIndex;
#endif
} ZAVO_TradeDetail;

/* ZAVO_MSG_ORDER_DETAIL (56 bytes): one order. */
typedef struct ZAVO_OrderDetail {
  char Code[16];
  char ExchangeID;
  uint32_t Date;
  uint32_t Time;
  int64_t OrderSequence;
  int64_t OrderPrice;
  uint32_t OrderQty; /* low 32 bits */
  /* '1' -> 'B' (buy), '2' -> 'S' (sell), 'F' and 'G' as sent, any other
   * byte -> 0. */
  char OrderSide;
  char OrderType; /* '1', '2' and 'U' as sent, any other byte -> 0 */
} ZAVO_OrderDetail;

/* ZAVO_MSG_ORDER_QUEUE (856 bytes): the order queue at one price. */
typedef struct ZAVO_OrderQueue {
  char Code[16];
  char ExchangeID;
  uint32_t Date;
  uint32_t TradingDay; /* always 0 */
  uint32_t Time;
  char OrderSide; /* as in ZAVO_OrderDetail: '1' -> 'B', '2' -> 'S', 'F', 'G', else 0 */
  int64_t OrderPrice;
  uint32_t NumOrders;      /* low 32 bits */
  uint32_t OrderQueueSize; /* low 32 bits */
  uint32_t OrderQueue[200];
} ZAVO_OrderQueue;

/* ZAVO_MSG_SH_ORDER_DETAIL (72 bytes): one Shanghai order. Windows: never
 * delivered (the record is declared for programs built for both). */
typedef struct ZAVO_SHOrderDetail {
  char Code[16];
  char DataStatus;
  uint32_t ChannelNo;
  uint32_t OrderIndex;
  uint32_t Time; /* no date is carried */
  int64_t OrderNo;
  int64_t OrderPrice;
  int64_t Balance;
  char BSFlag;    /* as in ZAVO_TradeDetail: '1' -> 'B', '2' -> 'S', ' ' -> 'N', else 0 */
  char OrderType; /* as sent */
  int64_t BizIndex;
} ZAVO_SHOrderDetail;

/* Largest raw message the library reassembles, in bytes. A message whose
 * fragments would add up to more is dropped (one log line) and its
 * exchange starts again with the next message. */
#define ZAVO_RAW_MESSAGE_MAX (4u * 1024u * 1024u)

/* ZAVO_MSG_RAW_DATA (16 bytes): one reassembled exchange message. Raw mode
 * delivers each message once, in sequence order per exchange: a message
 * whose sequence is not above the last one delivered for its exchange (a
 * repeat, or one that arrives late) is dropped, as is a message with a
 * lost fragment. */
typedef struct ZAVO_RawDataRef {
  char ExchangeID;  /* '1' Shanghai, '2' Shenzhen */
  uint32_t Length;  /* number of bytes at Data */
  const void* Data; /* the message, valid only during the callback */
} ZAVO_RawDataRef;

/* One entry of a market's code table (88 bytes). Text and Value are stored
 * as the server sends them. */
typedef struct ZAVO_CODEINFO {
  char Code[16];
  char ExchangeID;
  char KvelCode[32]; /* code, '.', market, for example "600000.SH" */
  char Text[32];
  uint32_t Value;
} ZAVO_CODEINFO;

/* One entry of a market's option code table (192 bytes). It begins with the
 * members of ZAVO_CODEINFO, so its leading part reads as one. */
typedef struct ZAVO_OPTION_CODEINFO {
  char Code[16];
  char ExchangeID;
  char KvelCode[32];
  char Text[32];
  uint32_t Value;
  char Text2[32];
  char Text3[32];
  uint8_t Flag1;
  uint32_t Value2;
  uint8_t Flag2;
  uint8_t Flag3;
  uint8_t Flag4;
  uint32_t Value3;
  int64_t Value4;
  uint32_t Value5;
  uint32_t Value6;
  uint32_t Value7;
} ZAVO_OPTION_CODEINFO;

/* ------------------------------------------------------------------------ */
/* Functions                                                                */
/* ------------------------------------------------------------------------ */
/* Every function may be called from any thread. Calls that take a handle
 * and return ZAVO_ERROR give ZAVO_ERR_INVALID for a null handle and for a
 * handle of the other mode. The expected order is
 * ZAVO_Open/ZAVO_OpenRaw -> other calls -> ZAVO_Close -> ZAVO_Wait. */

/* Sharing one feed on one host: the multicast socket of a session is bound
 * to the group and port, and by default a second socket of the same group
 * and port on the host fails to bind (ZAVO_Open then fails with
 * ZAVO_ERR_NETWORK). With the environment variable ZAVO_SHARE_FEED set to 1
 * the library sets address reuse on its multicast socket, so several
 * sessions and a recorder that all ask for it take the same feed, each
 * receiving every datagram. It is read when a session joins the feed. */

/* Opens a struct-mode session: connects to ServerIP:ServerPort, logs in with
 * UserName/Password and joins the multicast feed. Blocks the calling thread
 * until the server has answered the login or the connection has failed, at
 * most 15 s (no answer by then: ZAVO_ERR_NETWORK). The system handler may
 * be called (connect, login) before ZAVO_Open returns.
 * `setting` is copied. `error`, when not null, receives the result:
 * ZAVO_SUCCESS, ZAVO_ERR_INVALID (null settings, missing handler, unparsable
 * subscription text) or ZAVO_ERR_NETWORK (no connection, refused login,
 * failed join, or struct mode unavailable in this build). A network failure
 * of one of the steps is explained first by ZAVO_MSG_OPEN_FAILED on the
 * system handler, and in the log. Returns the handle, or null on any failure
 * (nothing to close then). */
ZAVO_API ZAVO_HANDLE ZAVO_Open(const ZAVO_OpenSetting* setting, ZAVO_ERROR* error);

/* Opens a raw-mode session; otherwise as ZAVO_Open. */
ZAVO_API ZAVO_HANDLE ZAVO_OpenRaw(const ZAVO_RawOpenSetting* setting, ZAVO_ERROR* error);

/* Ends the session's work: stops the multicast feed, the processing and the
 * event loop. Any number of calls, from any threads at once, and from
 * inside any handler; the first one acts, the others return (from outside
 * the session's threads once the first one has done its part). Called from
 * outside a handler it waits until the feed has stopped; from inside a
 * handler it only signals and returns at once. Callbacks may still arrive
 * until ZAVO_Wait returns. A null handle is ignored. */
ZAVO_API void ZAVO_Close(ZAVO_HANDLE handle);

/* Closes the session if nobody did, waits until every thread of the session
 * has ended (so the last handler call has returned), and only then
 * destroys the session. Call it exactly once per handle, from any thread
 * but never from a handler of the same session. The handle is invalid
 * afterwards. A null handle is ignored. */
ZAVO_API void ZAVO_Wait(ZAVO_HANDLE handle);

/* Releases a block returned by a query call; exactly the C library's free,
 * so null is accepted. */
ZAVO_API void ZAVO_Free(void* memory);

/* The library's version: a constant NUL-terminated string that begins
 * "v1.1.202105.2" (Windows: "v1.0.202001.win") followed by a build
 * identifier. Always the same pointer; never free it. */
ZAVO_API const char* ZAVO_Version(void);

/* Struct mode. Copies the code table of `market` ("SH" or "SZ", any case),
 * as received after login: securities
 * then options, each entry read as a ZAVO_CODEINFO. On success *table is a
 * malloc block of *count entries that the caller releases with ZAVO_Free. */
ZAVO_API ZAVO_ERROR ZAVO_GetCodeTable(ZAVO_HANDLE handle, const char* market, ZAVO_CODEINFO** table,
                                      unsigned int* count);

/* Struct mode. Copies the option code-table entry of `code`, written as
 * code, '.', market (for example "10003001.SH"), into the caller's *info.
 * ZAVO_ERR_INVALID for a malformed text or an unknown code. */
ZAVO_API ZAVO_ERROR ZAVO_GetOptionCodeInfo(ZAVO_HANDLE handle, const char* code,
                                           ZAVO_OPTION_CODEINFO* info);

/* Struct mode. Changes which records reach the data and rebuild handlers
 * (the caches are filled regardless). `codes` is a list of "code.market"
 * items separated by ';' (market "SH" or "SZ", any case; empty items are
 * skipped); it is ignored for ZAVO_SUBSCRIBE_ALL. Returns ZAVO_ERR_INVALID
 * for an unparsable list. Takes effect for the next record the processing
 * thread filters. A mode outside 0..3 checks the list (ZAVO_ERR_INVALID if
 * it does not parse) and changes nothing.
 *
 * Records of exchanges other than Shanghai (1) and Shenzhen (2) cannot be
 * named in a code list. They are delivered when the subscription of at least
 * one of the two exchanges takes its whole market (all codes, or all codes
 * except some: after ZAVO_SUBSCRIBE_ALL, or an open with no codes for that
 * market), and never when both exchanges are limited to listed codes or to
 * nothing.
 *
 * Removing the last code of a list of subscribed codes leaves that exchange
 * with nothing subscribed; adding back the last code excluded from a whole
 * market leaves the whole market subscribed.
 */
ZAVO_API ZAVO_ERROR ZAVO_UpdateSubscription(ZAVO_HANDLE handle, ZAVO_SUBSCRIPTION_UPDATE mode,
                                            const char* codes);

/* Struct mode. Copies the last snapshot of every security of `market`
 * ("SH" or "SZ"). On success *data is a malloc block of *count records that
 * the caller releases with ZAVO_Free. */
ZAVO_API ZAVO_ERROR ZAVO_GetLastMarketData(ZAVO_HANDLE handle, const char* market,
                                           ZAVO_SecuritySnapShot** data, int* count);

/* Struct mode. As ZAVO_GetLastMarketData, for indices. */
ZAVO_API ZAVO_ERROR ZAVO_GetLastIndexData(ZAVO_HANDLE handle, const char* market,
                                          ZAVO_IndexSnapShot** data, int* count);

/* Struct mode. As ZAVO_GetLastMarketData, for futures. */
ZAVO_API ZAVO_ERROR ZAVO_GetLastFutureData(ZAVO_HANDLE handle, const char* market,
                                           ZAVO_FutureSnapShot** data, int* count);

/* Struct mode. Asks the server to resend the fields with sequence numbers
 * begin_seq up to, not including, end_seq. The records go to `handler` on the
 * event loop thread, filtered like live data; the end is reported to the
 * system handler as ZAVO_MSG_REBUILD_FINISH, exactly once per accepted
 * request. ZAVO_ERR_BUSY while an earlier request is in progress (with
 * ZAVO_FLAG_RECOVER_GAPS also while the session's own recovery has one out);
 * ZAVO_ERR_INVALID for an empty range or a null handler; ZAVO_ERR_NETWORK
 * when the request cannot be sent: the control connection is down (between
 * a drop and the next accepted login), the session is closing, or the
 * write fails. A refused request leaves nothing in progress.
 *
 * A request in progress when the control connection drops is abandoned:
 * the server answers only on the connection that carried it. The system
 * handler then gets ZAVO_MSG_REBUILD_FINISH with Status
 * ZAVO_REBUILD_ABANDONED, before the reconnection starts; ask again after
 * the next ZAVO_MSG_LOGIN. A new trading day (the feed's day marker
 * changes) abandons a request the same way. */
ZAVO_API ZAVO_ERROR ZAVO_RebuildStructData(ZAVO_HANDLE handle, uint64_t begin_seq, uint64_t end_seq,
                                           ZAVO_DataHandler handler);

/* Raw mode. As ZAVO_RebuildStructData, for the raw messages of one market:
 * the character '1' (Shanghai) or '2' (Shenzhen), which must be enabled in
 * the session's SubscribedMarkets; '0' gives ZAVO_ERR_INVALID. */
ZAVO_API ZAVO_ERROR ZAVO_RebuildRawData(ZAVO_HANDLE handle, char market, uint64_t begin_seq,
                                        uint64_t end_seq, ZAVO_DataHandler handler);

#ifdef __cplusplus
}
#endif

/* ------------------------------------------------------------------------ */
/* Layout checks                                                            */
/* ------------------------------------------------------------------------ */
/* A compiler that lays the records out differently from the library stops
 * here rather than producing a program that reads the wrong bytes. Checked
 * where the language has static assertions (C11, C++11, MSVC's C++). */
#if defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSC_VER) && _MSC_VER >= 1600))
#define ZAVO_LAYOUT_CHECK(cond, what) static_assert(cond, what)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define ZAVO_LAYOUT_CHECK(cond, what) _Static_assert(cond, what)
#endif
#ifdef ZAVO_LAYOUT_CHECK
ZAVO_LAYOUT_CHECK(sizeof(ZAVO_MSG) == 32 && offsetof(ZAVO_MSG, SeqNum) == 16 &&
                      offsetof(ZAVO_MSG, MsgData) == 24,
                  "ZAVO_MSG layout");
ZAVO_LAYOUT_CHECK(sizeof(ZAVO_OpenSetting) == 272 &&
                      offsetof(ZAVO_OpenSetting, ServerPort) == 102 &&
                      offsetof(ZAVO_OpenSetting, DataHandler) == 232 &&
                      offsetof(ZAVO_OpenSetting, SubscribeFlags) == 264,
                  "ZAVO_OpenSetting layout");
ZAVO_LAYOUT_CHECK(sizeof(ZAVO_ConnectResult) == 36 && sizeof(ZAVO_DisconnectResult) == 34 &&
                      sizeof(ZAVO_LoginResult) == 214 && sizeof(ZAVO_BaseInfoFinish) == 260 &&
                      sizeof(ZAVO_RebuildResult) == 24 && sizeof(ZAVO_OpenFailure) == 256 &&
                      offsetof(ZAVO_OpenFailure, Reason) == 8,
                  "system record sizes");
ZAVO_LAYOUT_CHECK(sizeof(ZAVO_LostRange) == 24 && offsetof(ZAVO_LostRange, EndSeq) == 8 &&
                      offsetof(ZAVO_LostRange, Reason) == 16,
                  "ZAVO_LostRange layout");
ZAVO_LAYOUT_CHECK(sizeof(ZAVO_FeedStats) == 136 && offsetof(ZAVO_FeedStats, Gaps) == 40 &&
                      offsetof(ZAVO_FeedStats, KernelDrops) == 104 &&
                      offsetof(ZAVO_FeedStats, HeldPeakBytes) == 120 &&
                      offsetof(ZAVO_FeedStats, LastDatagramAgeMs) == 128,
                  "ZAVO_FeedStats layout");
ZAVO_LAYOUT_CHECK(sizeof(ZAVO_SecuritySnapShot) == 536 &&
                      offsetof(ZAVO_SecuritySnapShot, LocalDelay) == 528 &&
                      sizeof(ZAVO_IndexSnapShot) == 88 && sizeof(ZAVO_FutureSnapShot) == 336,
                  "snapshot layouts");
ZAVO_LAYOUT_CHECK(offsetof(ZAVO_TradeDetail, ExecType) == 80 &&
                      offsetof(ZAVO_TradeDetail, BSFlag) == 81,
                  "ZAVO_TradeDetail layout");
ZAVO_LAYOUT_CHECK(sizeof(ZAVO_OrderDetail) == 56 && sizeof(ZAVO_OrderQueue) == 856 &&
                      sizeof(ZAVO_SHOrderDetail) == 72 && sizeof(ZAVO_RawDataRef) == 16 &&
                      sizeof(ZAVO_CODEINFO) == 88 && sizeof(ZAVO_OPTION_CODEINFO) == 192,
                  "order, raw and code-table record sizes");
#if defined(_WIN32)
ZAVO_LAYOUT_CHECK(sizeof(ZAVO_RawOpenSetting) == 256, "ZAVO_RawOpenSetting layout (Windows)");
ZAVO_LAYOUT_CHECK(sizeof(ZAVO_TradeDetail) == 88, "ZAVO_TradeDetail size (Windows)");
ZAVO_LAYOUT_CHECK(sizeof(ZAVO_LostRange) == 24 && sizeof(ZAVO_FeedStats) == 136,
                  "recovery record sizes (Windows)");
#else
ZAVO_LAYOUT_CHECK(sizeof(ZAVO_RawOpenSetting) == 264 &&
                      offsetof(ZAVO_RawOpenSetting, CpuID) == 256 &&
                      offsetof(ZAVO_OpenSetting, CpuID) == 268,
                  "settings CpuID layout");
ZAVO_LAYOUT_CHECK(sizeof(ZAVO_TradeDetail) == 96 &&
                      offsetof(ZAVO_TradeDetail, TradeChannel) == 84 &&
                      offsetof(ZAVO_TradeDetail, BizIndex) == 88,
                  "ZAVO_TradeDetail layout");
#endif
#undef ZAVO_LAYOUT_CHECK
#endif

#endif /* ZAVO_API_H */
