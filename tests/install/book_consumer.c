/* A program that knows the book builder only through its installed header
 * and package files: one Shenzhen limit order makes a one-level book. Books
 * are fed by a session, so such a program calls the client library too,
 * having named only zavo_book to its build. */
#include <stdio.h>
#include <string.h>

#include <zavo_book.h>

int main(void) {
  const char* version = ZAVO_Version();
  if (version == NULL || strncmp(version, "v1.", 3) != 0) {
    fprintf(stderr, "unexpected library version\n");
    return 1;
  }
  zavo_book* book = zavo_book_new(0);
  if (book == NULL) {
    fprintf(stderr, "no book\n");
    return 1;
  }
  ZAVO_OrderDetail order;
  memset(&order, 0, sizeof order);
  strcpy(order.Code, "000001");
  order.ExchangeID = '2';
  order.OrderSequence = 7;
  order.OrderPrice = 105000;
  order.OrderQty = 300;
  order.OrderSide = 'B';
  order.OrderType = '2';
  ZAVO_MSG msg;
  memset(&msg, 0, sizeof msg);
  msg.MsgType = ZAVO_MSG_ORDER_DETAIL;
  msg.MsgSize = (uint32_t)sizeof order;
  msg.SeqNum = 1;
  msg.MsgData = &order;
  int rc = zavo_book_apply(book, &msg);
  zavo_book_level bid;
  int n = zavo_book_levels(book, "000001", '2', ZAVO_BOOK_BID, &bid, 1);
  zavo_book_free(book);
  if (rc != ZAVO_BOOK_APPLIED || n != 1 || bid.price != 105000 || bid.volume != 300 ||
      bid.orders != 1) {
    fprintf(stderr, "unexpected book: rc %d, %d levels\n", rc, n);
    return 1;
  }
  printf("book consumer ok, library %s\n", version);
  return 0;
}
