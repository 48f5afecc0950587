// The C interface of libzavo_book: argument checks around BookBuilder.
// Nothing is thrown across it: allocation failure becomes a null book or
// ZAVO_BOOK_EINVAL.
#include <new>

#include "book/book_builder.h"
#include "zavo_book.h"

struct zavo_book {
  explicit zavo_book(unsigned flags) : builder(flags) {}
  zavo::book::BookBuilder builder;
};

namespace {

const zavo::book::SecurityBook* find(const zavo_book* book, const char* code, char exchange) {
  return book->builder.Find(code, exchange);
}

bool bad_side(int side) {
  return side != ZAVO_BOOK_BID && side != ZAVO_BOOK_ASK;
}

}  // namespace

extern "C" {

zavo_book* zavo_book_new(unsigned flags) {
  try {
    return new zavo_book(flags);
  } catch (...) {
    return nullptr;
  }
}

void zavo_book_free(zavo_book* book) {
  delete book;
}

int zavo_book_reserve(zavo_book* book, uint32_t securities, uint64_t orders) {
  if (book == nullptr) return ZAVO_BOOK_EINVAL;
  try {
    book->builder.Reserve(securities, orders);
  } catch (...) {
    return ZAVO_BOOK_EINVAL;
  }
  return 0;
}

int zavo_book_apply(zavo_book* book, const ZAVO_MSG* msg) {
  if (book == nullptr || msg == nullptr) return ZAVO_BOOK_EINVAL;
  try {
    return book->builder.Apply(*msg);
  } catch (...) {
    // Only growth can throw; what was applied before stays consistent.
    return ZAVO_BOOK_EINVAL;
  }
}

int zavo_book_pending_gap(const zavo_book* book, uint64_t* begin, uint64_t* end) {
  if (book == nullptr || begin == nullptr || end == nullptr) return ZAVO_BOOK_EINVAL;
  return book->builder.PendingGap(begin, end) ? 1 : 0;
}

int zavo_book_drop_gap(zavo_book* book) {
  if (book == nullptr) return ZAVO_BOOK_EINVAL;
  try {
    book->builder.DropGap();
  } catch (...) {
    return ZAVO_BOOK_EINVAL;
  }
  return 0;
}

int zavo_book_levels(const zavo_book* book, const char* code, char exchange, int side,
                     zavo_book_level* out, int n) {
  if (book == nullptr || code == nullptr || bad_side(side) || n < 0 || (n > 0 && !out)) {
    return ZAVO_BOOK_EINVAL;
  }
  const zavo::book::SecurityBook* b = find(book, code, exchange);
  if (b == nullptr) return 0;
  int i = 0;
  for (; i < n; ++i) {
    const zavo::book::Level* lv = b->side(side).FromBest(static_cast<size_t>(i));
    if (lv == nullptr) break;
    out[i].price = lv->price;
    out[i].volume = lv->volume;
    out[i].orders = lv->orders;
    out[i].inferred = lv->inferred;
  }
  return i;
}

int zavo_book_queue(const zavo_book* book, const char* code, char exchange, int side, int64_t price,
                    zavo_book_order* out, int n) {
  if (book == nullptr || code == nullptr || bad_side(side) || n < 0 || (n > 0 && !out)) {
    return ZAVO_BOOK_EINVAL;
  }
  const zavo::book::SecurityBook* b = find(book, code, exchange);
  if (b == nullptr) return 0;
  const zavo::book::Level* lv = b->side(side).At(price);
  if (lv == nullptr) return 0;
  const zavo::book::OrderPool& pool = book->builder.pool();
  int i = 0;
  for (int32_t s = lv->head; s >= 0 && i < n; s = pool[s].next, ++i) {
    out[i].sequence = pool[s].seq;
    out[i].quantity = pool[s].qty;
  }
  return static_cast<int>(lv->orders);
}

int zavo_book_last_trade(const zavo_book* book, const char* code, char exchange,
                         zavo_book_trade* out) {
  if (book == nullptr || code == nullptr || out == nullptr) return ZAVO_BOOK_EINVAL;
  const zavo::book::SecurityBook* b = find(book, code, exchange);
  if (b == nullptr || !b->has_trade) return 0;
  *out = b->last_trade;
  return 1;
}

int zavo_book_check(const zavo_book* book, const char* code, char exchange,
                    zavo_book_check_info* out) {
  if (book == nullptr || code == nullptr || out == nullptr) return ZAVO_BOOK_EINVAL;
  const zavo::book::SecurityBook* b = find(book, code, exchange);
  if (b == nullptr) {
    *out = zavo_book_check_info();
    out->diff_side = -1;
    return 0;
  }
  *out = b->check;
  out->inferred_levels = static_cast<uint32_t>(b->bid.inferred_levels() + b->ask.inferred_levels());
  return 1;
}

int zavo_book_totals(const zavo_book* book, zavo_book_totals_info* out) {
  if (book == nullptr || out == nullptr) return ZAVO_BOOK_EINVAL;
  *out = book->builder.Totals();
  return 0;
}

int zavo_book_each(const zavo_book* book, int (*fn)(void*, const char*, char), void* arg) {
  if (book == nullptr || fn == nullptr) return ZAVO_BOOK_EINVAL;
  int calls = 0;
  for (const zavo::book::SecurityBook& b : book->builder.securities()) {
    ++calls;
    if (fn(arg, b.code, b.exchange) != 0) break;
  }
  return calls;
}

}  // extern "C"
