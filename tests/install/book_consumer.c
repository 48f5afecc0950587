/* A program that knows the book builder only through its installed header
 * and package files: one Shenzhen limit order makes a one-level book. */
#include <stdio.h>
#include <string.h>

#include <zavo_book.h>

int main(void) {
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
  printf("book consumer ok\n");
  return 0;
}
