/*
 * zavo_book.h: C interface of libzavo_book, order books rebuilt from the
 * order and trade details that a struct-mode session of libzavo_api
 * delivers, and checked against every security snapshot of the same feed.
 *
 * A program creates a book with zavo_book_new, passes every ZAVO_MSG its
 * data handler receives to zavo_book_apply, and asks for the levels, the
 * order queue at a level and the last trade of a security whenever it
 * likes. Each security snapshot (kind 101) that passes through
 * zavo_book_apply is compared with the book built so far, and the result is
 * counted per security (zavo_book_check) and over the whole book
 * (zavo_book_totals): a rule that does not match the exchange shows up as
 * disagreements at once, with the first differing level to look at.
 *
 * What the book reads, per exchange (kinds are ZAVO_MSG.MsgType values):
 *
 *   Shenzhen (ExchangeID '2'):
 *     - 104 ZAVO_OrderDetail is a new order, keyed by OrderSequence.
 *       OrderSide 'B' or 'S' (other sides are counted as ignored).
 *       OrderType '2' (limit): the whole OrderQty rests at OrderPrice. An
 *       order that crosses the other side is published before the trades it
 *       causes, so the book may be crossed until those trades arrive.
 *       OrderType 'U' (own side best): rests at the best price of its own
 *       side as built at that moment, whatever OrderPrice says; with no
 *       order on its side it is held off the book until it is cancelled.
 *       OrderType '1' (market): held off the book; its trades reduce it and
 *       a cancel removes what is left.
 *     - 103 ZAVO_TradeDetail with ExecType 'T' reduces the order named by
 *       AskOrderSequence and the one named by BidOrderSequence by TradeQty;
 *       an order that reaches zero leaves its level. ExecType 'C' is a
 *       cancel: the one non-zero order sequence names the order, which
 *       leaves the book with whatever it had left.
 *   Shanghai (ExchangeID '1'):
 *     - 106 ZAVO_SHOrderDetail with OrderType 'A' adds OrderNo at
 *       OrderPrice, side BSFlag 'B' or 'S', with Balance: what is left after
 *       the order matched on arrival. Its immediate trades come before the
 *       add and name an order the book does not know yet, so only the
 *       resting side of those trades changes the book. An add with Balance
 *       0 changes nothing. OrderType 'D' deletes OrderNo with whatever it
 *       has left. Other order types are counted as ignored.
 *     - 103 ZAVO_TradeDetail with ExecType 'T' reduces the named orders
 *       that rest on the book, as for Shenzhen.
 *   Both: 101 ZAVO_SecuritySnapShot is compared with the book (see
 *   zavo_book_check) once a detail has named its security; before that
 *   the feed may carry no details of it at all (options, or a session
 *   without the detail flags), so such snapshots are only counted
 *   (untracked) and the security gets no book. Kinds 100, 102, 105 and
 *   system messages are read only for their sequence numbers (see
 *   ZAVO_BOOK_NO_SEQ_CHECK).
 *
 * Order sequences are unique per security (an exchange numbers orders per
 * channel and a security belongs to one channel), so the book keys orders
 * by security and number. A trade, cancel or delete naming an order the
 * book does not hold is counted (zavo_book_totals, unknown_refs); it
 * changes only inferred volume (see below), never an order the book holds.
 * The Shanghai aggressor named by its own trades before its add is
 * expected and not counted.
 *
 * Sequence gaps (see also ZAVO_BOOK_HOLD_GAPS, which waits for a
 * retransmission instead): ZAVO_MSG.SeqNum numbers every field of the feed, whatever
 * its kind or security, from 1, so a program that passes every message of
 * a session that delivers everything (no code filter, all detail flags)
 * sees consecutive numbers. A number that skips (and a first number above
 * 1: the book started late) marks every security of the book stale, and
 * every security first seen after it, because the missing fields may have
 * belonged to any of them. The next snapshot of a stale security
 * resynchronises the top of its book: if it agrees, nothing changes; if it
 * differs, its ten levels a side become the book's (quantities the seen
 * orders do not explain are kept as inferred volume of the level; seen
 * orders at prices the snapshot shows empty or smaller are dropped) and
 * the snapshot is counted as a stale snapshot, not as a disagreement.
 * Inferred volume shrinks when an unseen order trades at its price
 * (Shenzhen and Shanghai) or is deleted (Shanghai); a later snapshot that
 * differs from a book still holding inferred volume resynchronises it again
 * and counts as stale too. Disagreements therefore only ever count
 * differences of a book built from details alone. A message whose SeqNum
 * is not above the last one seen (a retransmission fed late) is not
 * applied and is counted as late, except SeqNum 1 after higher numbers:
 * the server started its numbering again, which is counted as a restart
 * and marks every security stale. A program that filters codes or kinds
 * opens the book with ZAVO_BOOK_NO_SEQ_CHECK.
 *
 * A session that recovers gaps itself (ZAVO_FLAG_RECOVER_GAPS) delivers a
 * complete stream, so its book never goes stale from a loss it recovered;
 * pass it ZAVO_MSG_LOST_RANGE too: a range the session could not recover
 * counts as one gap of that many fields and marks every security stale, in
 * either mode (it is the one hole a filtered book can tell from a field it
 * was never meant to see), and the field after the range is no gap.
 *
 * Threads: a book is a plain data structure without locks. One thread at a
 * time may call its functions; a program that queries from another thread
 * than its data handler's holds its own lock around both.
 *
 * Memory: the book allocates while it grows (new securities, more orders or
 * levels than ever before) and not otherwise: once it has seen the busiest
 * moment of a day, applying a message allocates nothing. zavo_book_reserve
 * moves that growth to start-up.
 *
 * Prices and volumes are the feed's integers, unscaled.
 */
#ifndef ZAVO_BOOK_H
#define ZAVO_BOOK_H

#include <stddef.h>
#include <stdint.h>

#include "zavo_api.h"

#if defined(_WIN32)
#define ZAVO_BOOK_API
#elif defined(__GNUC__) || defined(__clang__)
#define ZAVO_BOOK_API __attribute__((visibility("default")))
#else
#define ZAVO_BOOK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An order book of every security it has seen. Opaque. */
typedef struct zavo_book zavo_book;

/* Flags of zavo_book_new. */
enum {
  /* For programs that pass only some codes or kinds to the book, whose
   * sequence numbers skip by design: holes are not gaps and nothing is
   * late. Two numbers still count: a first number above 1 (the book
   * started on a running feed, so every security is stale until its next
   * snapshot, and this start counts as one gap) and 1 after higher numbers
   * (a restart of the server). */
  ZAVO_BOOK_NO_SEQ_CHECK = 1,
  /* On a gap after the first message, keep the messages that follow (up
   * to 64 MiB) instead of applying them, until the missing range has been
   * passed to zavo_book_apply in order (from ZAVO_RebuildStructData's
   * handler; see zavo_book_pending_gap), then apply them: the books stay
   * exact and nothing becomes stale. zavo_book_drop_gap stops waiting. */
  ZAVO_BOOK_HOLD_GAPS = 2
};

/* Results of zavo_book_apply. */
enum {
  ZAVO_BOOK_APPLIED = 0, /* the message changed or checked a book */
  ZAVO_BOOK_IGNORED = 1, /* a kind, side or type the book does not use */
  ZAVO_BOOK_LATE = 2,    /* SeqNum not above the last one: not applied */
  ZAVO_BOOK_HELD = 3,    /* kept until a gap before it is filled */
  ZAVO_BOOK_EINVAL = -1  /* null book or message, or a record too short */
};

/* Sides, for the queries. */
enum { ZAVO_BOOK_BID = 0, ZAVO_BOOK_ASK = 1 };

/* One price level: the sum of the orders resting at a price. */
typedef struct zavo_book_level {
  int64_t price;
  int64_t volume;   /* remaining quantities of the orders, plus inferred */
  uint32_t orders;  /* number of orders the book has seen at this price */
  int64_t inferred; /* volume known only from a snapshot (see gaps) */
} zavo_book_level;

/* One order of a level's queue, in time priority. */
typedef struct zavo_book_order {
  int64_t sequence; /* OrderSequence (Shenzhen) or OrderNo (Shanghai) */
  int64_t quantity; /* remaining */
} zavo_book_order;

/* The last trade (ExecType 'T') of a security. */
typedef struct zavo_book_trade {
  int64_t price;
  int64_t quantity;
  int64_t trade_sequence;
  int64_t ask_sequence;
  int64_t bid_sequence;
  uint32_t time; /* hhmmssmmm */
  char bs_flag;  /* as delivered: 'B', 'S', 'N' or 0 */
} zavo_book_trade;

/* Self-check of one security. */
typedef struct zavo_book_check_info {
  uint64_t agreements;      /* snapshots whose ten levels a side matched */
  uint64_t disagreements;   /* snapshots that differed while not stale */
  uint64_t stale_snapshots; /* snapshots that differed while stale */
  int stale;                /* 1 while stale since a sequence gap */
  /* The first difference of the last disagreeing snapshot (stale or not):
   * side (ZAVO_BOOK_BID or ZAVO_BOOK_ASK; -1 if none yet), level 1 to 10,
   * the snapshot's price and volume there and the book's. An empty level
   * has price and volume 0. */
  int diff_side;
  int diff_level;
  int64_t snap_price, snap_volume;
  int64_t book_price, book_volume;
  uint64_t diff_seq; /* SeqNum of that snapshot */
  uint32_t diff_time;
  /* Levels whose volume is partly known only from a snapshot. */
  uint32_t inferred_levels;
} zavo_book_check_info;

/* Counters over the whole book. */
typedef struct zavo_book_totals_info {
  uint64_t messages;        /* messages passed to zavo_book_apply */
  uint64_t details;         /* order and trade details applied */
  uint64_t snapshots;       /* security snapshots compared */
  uint64_t untracked;       /* snapshots of securities no detail has named */
  uint64_t agreements;      /* of which agreed */
  uint64_t disagreements;   /* differed while not stale */
  uint64_t stale_snapshots; /* differed while stale */
  uint64_t resyncs;         /* stale securities made clean by a snapshot */
  uint64_t gaps;            /* sequence gaps seen */
  uint64_t missing;         /* sequence numbers skipped by those gaps */
  uint64_t late;            /* messages not applied as late */
  uint64_t restarts;        /* numbering started again at 1 */
  uint64_t filled;          /* gaps filled by resent fields (HOLD_GAPS) */
  uint64_t held;            /* messages held now, waiting for a gap */
  uint64_t held_overflows;  /* waits given up because too much was held */
  uint64_t unknown_refs;    /* trades, cancels, deletes of unknown orders */
  uint64_t ignored;         /* messages of kinds or types not used */
  uint32_t securities;      /* securities with a book */
  uint32_t stale;           /* securities stale now */
  uint64_t resting_orders;  /* orders resting on all books */
} zavo_book_totals_info;

/* Creates an empty book. `flags`: 0, ZAVO_BOOK_NO_SEQ_CHECK or
 * ZAVO_BOOK_HOLD_GAPS. Returns null only when memory runs out. */
ZAVO_BOOK_API zavo_book* zavo_book_new(unsigned flags);

/* Destroys a book and everything it holds. Null is ignored. */
ZAVO_BOOK_API void zavo_book_free(zavo_book* book);

/* Grows the book's tables now so that up to `securities` securities and
 * `orders` resting orders need no allocation later. Returns 0, or
 * ZAVO_BOOK_EINVAL for a null book. */
ZAVO_BOOK_API int zavo_book_reserve(zavo_book* book, uint32_t securities, uint64_t orders);

/* Applies one message as a data handler received it (see the rules at the
 * top of this file). The message and its record are read during the call
 * only. Returns ZAVO_BOOK_APPLIED, ZAVO_BOOK_IGNORED, ZAVO_BOOK_LATE or
 * ZAVO_BOOK_HELD or ZAVO_BOOK_EINVAL (null book, null message, a
 * market-data kind whose MsgData is null or whose MsgSize is below its
 * record's size). */
ZAVO_BOOK_API int zavo_book_apply(zavo_book* book, const ZAVO_MSG* msg);

/* With ZAVO_BOOK_HOLD_GAPS: while messages are held, stores the missing
 * range [*begin, *end) of field sequence numbers (still to be passed to
 * zavo_book_apply, in order, from *begin on) and returns 1; returns 0 when
 * nothing is missing, ZAVO_BOOK_EINVAL for null arguments. The range suits
 * ZAVO_RebuildStructData(handle, *begin, *end, handler) directly. */
ZAVO_BOOK_API int zavo_book_pending_gap(const zavo_book* book, uint64_t* begin, uint64_t* end);

/* Stops waiting for a missing range (the retransmission failed or takes
 * too long): the held messages are applied, and every security is stale
 * as after any gap. Returns 0, or ZAVO_BOOK_EINVAL for a null book. */
ZAVO_BOOK_API int zavo_book_drop_gap(zavo_book* book);

/* Copies up to `n` levels of one side of `code` on `exchange` ('1'
 * Shanghai, '2' Shenzhen), best first, into `out`. Returns the number
 * copied (0 for a security the book does not know), or ZAVO_BOOK_EINVAL for
 * a null book or code, a bad side, or n > 0 with a null `out`. */
ZAVO_BOOK_API int zavo_book_levels(const zavo_book* book, const char* code, char exchange, int side,
                                   zavo_book_level* out, int n);

/* Copies up to `n` orders resting at `price` on one side, first in time
 * first, into `out`. Returns the number of orders at that price (which may
 * be more than `n`; 0 when there is no such level), or ZAVO_BOOK_EINVAL as
 * for zavo_book_levels. Only orders the book has seen are listed; inferred
 * volume (see zavo_book_level) has no orders. */
ZAVO_BOOK_API int zavo_book_queue(const zavo_book* book, const char* code, char exchange, int side,
                                  int64_t price, zavo_book_order* out, int n);

/* Copies the last trade of a security into `out`. Returns 1 when there was
 * one, 0 when not (out untouched), ZAVO_BOOK_EINVAL for null arguments. */
ZAVO_BOOK_API int zavo_book_last_trade(const zavo_book* book, const char* code, char exchange,
                                       zavo_book_trade* out);

/* Copies the self-check of a security into `out`. Returns 1 when the book
 * knows the security, 0 when not (out zeroed, diff_side -1),
 * ZAVO_BOOK_EINVAL for null arguments. */
ZAVO_BOOK_API int zavo_book_check(const zavo_book* book, const char* code, char exchange,
                                  zavo_book_check_info* out);

/* Copies the counters over the whole book into `out`. Returns 0, or
 * ZAVO_BOOK_EINVAL for null arguments. */
ZAVO_BOOK_API int zavo_book_totals(const zavo_book* book, zavo_book_totals_info* out);

/* Calls `fn(arg, code, exchange)` for every security the book knows, in
 * the order it first saw them; stops early when fn returns non-zero.
 * Returns the number of calls made, or ZAVO_BOOK_EINVAL for null
 * arguments. fn must not change the book. */
ZAVO_BOOK_API int zavo_book_each(const zavo_book* book,
                                 int (*fn)(void* arg, const char* code, char exchange), void* arg);

#ifdef __cplusplus
}
#endif

#endif /* ZAVO_BOOK_H */
