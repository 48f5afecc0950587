#pragma once
// Builds the records a data handler receives, for feeding books by hand.
#include <cstdint>
#include <cstring>
#include <vector>

#include "zavo_book.h"

namespace zavo {
namespace test {

class BookFeed {
 public:
  explicit BookFeed(zavo_book* book) : book_(book) {}

  int Order(const char* code, int64_t seq, char side, char type, int64_t px, uint32_t qty) {
    ZAVO_OrderDetail r{};
    std::strncpy(r.Code, code, 15);
    r.ExchangeID = '2';
    r.OrderSequence = seq;
    r.OrderPrice = px;
    r.OrderQty = qty;
    r.OrderSide = side;
    r.OrderType = type;
    return send(ZAVO_MSG_ORDER_DETAIL, &r, sizeof r);
  }
  int ShOrder(const char* code, int64_t no, char side, char type, int64_t px, int64_t balance) {
    ZAVO_SHOrderDetail r{};
    std::strncpy(r.Code, code, 15);
    r.OrderNo = no;
    r.OrderPrice = px;
    r.Balance = balance;
    r.BSFlag = side;
    r.OrderType = type;
    return send(ZAVO_MSG_SH_ORDER_DETAIL, &r, sizeof r);
  }
  int Trade(const char* code, char exchange, int64_t ask, int64_t bid, int64_t px, uint32_t qty,
            char exec = 'T') {
    ZAVO_TradeDetail r{};
    std::strncpy(r.Code, code, 15);
    r.ExchangeID = exchange;
    r.TradeSequence = ++trades_;
    r.TradePrice = px;
    r.TradeQty = qty;
    r.AskOrderSequence = ask;
    r.BidOrderSequence = bid;
    r.ExecType = exec;
    r.BSFlag = 'N';
    r.Time = 93000000;
    return send(ZAVO_MSG_TRADE_DETAIL, &r, sizeof r);
  }
  // Snapshot with the given levels; pairs of price, volume, best first.
  int Snapshot(const char* code, char exchange, const std::vector<int64_t>& bids,
               const std::vector<int64_t>& asks) {
    ZAVO_SecuritySnapShot r{};
    std::strncpy(r.Code, code, 15);
    r.ExchangeID = exchange;
    for (size_t i = 0; i + 1 < bids.size() && i / 2 < 10; i += 2) {
      r.BidPrice[i / 2] = static_cast<uint64_t>(bids[i]);
      r.BidVol[i / 2] = static_cast<uint64_t>(bids[i + 1]);
    }
    for (size_t i = 0; i + 1 < asks.size() && i / 2 < 10; i += 2) {
      r.AskPrice[i / 2] = static_cast<uint64_t>(asks[i]);
      r.AskVol[i / 2] = static_cast<uint64_t>(asks[i + 1]);
    }
    return send(ZAVO_MSG_SECURITY_SNAPSHOT, &r, sizeof r);
  }
  // Skips sequence numbers, as a lost datagram would.
  void Skip(uint64_t n) { seq_ += n; }
  int Send(uint32_t type, const void* rec, uint32_t size, uint64_t seq) {
    ZAVO_MSG m{type, size, 93000000, 1, seq, rec};
    return zavo_book_apply(book_, &m);
  }

 private:
  int send(uint32_t type, const void* rec, uint32_t size) { return Send(type, rec, size, ++seq_); }

  zavo_book* book_;
  uint64_t seq_ = 0;
  int64_t trades_ = 0;
};

}  // namespace test
}  // namespace zavo
