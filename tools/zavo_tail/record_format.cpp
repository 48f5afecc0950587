#include "record_format.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace zavo_tail {

namespace {

// Builds one line field by field so that the three formats share the
// description of each record.
class Line {
 public:
  Line(OutputFormat format, const char* kind, const ZAVO_MSG& msg, std::string* out)
      : format_(format == OutputFormat::kCsvHeader ? OutputFormat::kCsv : format),
        out_(out),
        header_(format == OutputFormat::kCsvHeader) {
    out_->clear();
    if (format_ == OutputFormat::kJson) out_->push_back('{');
    Str("kind", kind);
    U64("seq", msg.SeqNum);
    Time("time", msg.MsgTime);
  }

  void Str(const char* name, const char* value) {
    sep(name);
    if (header_) return;
    if (format_ == OutputFormat::kJson) {
      out_->push_back('"');
      for (const char* p = value; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
          out_->push_back('\\');
          out_->push_back(static_cast<char>(c));
        } else if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof(esc), "\\u%04x", c);
          out_->append(esc);
        } else {
          out_->push_back(static_cast<char>(c));
        }
      }
      out_->push_back('"');
    } else {
      out_->append(value);
    }
  }
  void Chr(const char* name, char c) {
    char s[2] = {c ? c : '-', 0};
    Str(name, s);
  }
  void I64(const char* name, int64_t v) {
    char b[32];
    std::snprintf(b, sizeof(b), "%" PRId64, v);
    num(name, b);
  }
  void U64(const char* name, uint64_t v) {
    char b[32];
    std::snprintf(b, sizeof(b), "%" PRIu64, v);
    num(name, b);
  }
  void Time(const char* name, uint32_t hhmmssmmm) {
    char b[32];
    std::snprintf(b, sizeof(b), "%02u:%02u:%02u.%03u", hhmmssmmm / 10000000u,
                  hhmmssmmm / 100000u % 100u, hhmmssmmm / 1000u % 100u, hhmmssmmm % 1000u);
    Str(name, b);
  }
  void Finish() {
    if (format_ == OutputFormat::kJson) out_->push_back('}');
  }

 private:
  void sep(const char* name) {
    if (first_) {
      first_ = false;
    } else {
      out_->push_back(format_ == OutputFormat::kText ? ' ' : ',');
    }
    if (format_ == OutputFormat::kJson) {
      out_->push_back('"');
      out_->append(name);
      out_->append("\":");
    } else if (format_ == OutputFormat::kText) {
      out_->append(name);
      out_->push_back('=');
    } else if (header_) {
      out_->append(name);
    }
  }
  void num(const char* name, const char* text) {
    sep(name);
    if (!header_) out_->append(text);
  }

  OutputFormat format_;
  std::string* out_;
  bool header_;  // CSV column names instead of values
  bool first_ = true;
};

void code_field(Line& l, const char* code, char exchange) {
  l.Str("code", MarketCode(code, exchange).c_str());
}

}  // namespace

std::string MarketCode(const char* code, char exchange) {
  char c[17];
  std::memcpy(c, code, 16);
  c[16] = '\0';
  std::string s = c;
  if (exchange == '1')
    s += ".SH";
  else if (exchange == '2')
    s += ".SZ";
  return s;
}

bool FormatRecord(const ZAVO_MSG& msg, OutputFormat format, std::string* out) {
  switch (msg.MsgType) {
    case ZAVO_MSG_SECURITY_SNAPSHOT: {
      const auto& r = *static_cast<const ZAVO_SecuritySnapShot*>(msg.MsgData);
      Line l(format, "security", msg, out);
      code_field(l, r.Code, r.ExchangeID);
      l.U64("status", r.Status);
      l.I64("last", r.MatchPx);
      l.I64("open", r.OpenPx);
      l.I64("high", r.HighPx);
      l.I64("low", r.LowPx);
      l.U64("bid1", r.BidPrice[0]);
      l.U64("bidvol1", r.BidVol[0]);
      l.U64("ask1", r.AskPrice[0]);
      l.U64("askvol1", r.AskVol[0]);
      l.U64("trades", r.NumTrades);
      l.I64("volume", r.TotalVolumeTrade);
      l.I64("value", r.TotalValueTrade);
      l.I64("delay_us", r.LocalDelay);
      l.Finish();
      return true;
    }
    case ZAVO_MSG_INDEX_SNAPSHOT: {
      const auto& r = *static_cast<const ZAVO_IndexSnapShot*>(msg.MsgData);
      Line l(format, "index", msg, out);
      code_field(l, r.Code, r.ExchangeID);
      l.I64("last", r.LastIndex);
      l.I64("open", r.OpenIndex);
      l.I64("high", r.HighIndex);
      l.I64("low", r.LowIndex);
      l.I64("volume", r.TotalVolume);
      l.I64("turnover", r.Turnover);
      l.Finish();
      return true;
    }
    case ZAVO_MSG_FUTURE_SNAPSHOT: {
      const auto& r = *static_cast<const ZAVO_FutureSnapShot*>(msg.MsgData);
      Line l(format, "future", msg, out);
      code_field(l, r.Code, r.ExchangeID);
      l.I64("last", r.MatchPx);
      l.U64("bid1", r.BidPrice[0]);
      l.U64("ask1", r.AskPrice[0]);
      l.I64("volume", r.TotalVolumeTrade);
      l.I64("open_interest", r.OpenInterest);
      l.Finish();
      return true;
    }
    case ZAVO_MSG_TRADE_DETAIL: {
      const auto& r = *static_cast<const ZAVO_TradeDetail*>(msg.MsgData);
      Line l(format, "trade", msg, out);
      code_field(l, r.Code, r.ExchangeID);
      l.I64("trade_seq", r.TradeSequence);
      l.I64("price", r.TradePrice);
      l.U64("qty", r.TradeQty);
      l.Chr("exec", r.ExecType);
      l.Chr("side", r.BSFlag);
      l.I64("bid_order", r.BidOrderSequence);
      l.I64("ask_order", r.AskOrderSequence);
      l.Finish();
      return true;
    }
    case ZAVO_MSG_ORDER_DETAIL: {
      const auto& r = *static_cast<const ZAVO_OrderDetail*>(msg.MsgData);
      Line l(format, "order", msg, out);
      code_field(l, r.Code, r.ExchangeID);
      l.I64("order_seq", r.OrderSequence);
      l.I64("price", r.OrderPrice);
      l.U64("qty", r.OrderQty);
      l.Chr("side", r.OrderSide);
      l.Chr("type", r.OrderType);
      l.Finish();
      return true;
    }
    case ZAVO_MSG_ORDER_QUEUE: {
      const auto& r = *static_cast<const ZAVO_OrderQueue*>(msg.MsgData);
      Line l(format, "queue", msg, out);
      code_field(l, r.Code, r.ExchangeID);
      l.Chr("side", r.OrderSide);
      l.I64("price", r.OrderPrice);
      l.U64("orders", r.NumOrders);
      l.U64("queue_size", r.OrderQueueSize);
      l.U64("first", r.OrderQueueSize > 0 ? r.OrderQueue[0] : 0);
      l.Finish();
      return true;
    }
    case ZAVO_MSG_SH_ORDER_DETAIL: {
      const auto& r = *static_cast<const ZAVO_SHOrderDetail*>(msg.MsgData);
      Line l(format, "sh_order", msg, out);
      code_field(l, r.Code, '1');
      l.U64("channel", r.ChannelNo);
      l.U64("index", r.OrderIndex);
      l.I64("order_no", r.OrderNo);
      l.I64("price", r.OrderPrice);
      l.I64("balance", r.Balance);
      l.Chr("side", r.BSFlag);
      l.Chr("type", r.OrderType);
      l.Finish();
      return true;
    }
    case ZAVO_MSG_RAW_DATA: {
      const auto& r = *static_cast<const ZAVO_RawDataRef*>(msg.MsgData);
      Line l(format, "raw", msg, out);
      l.Str("exchange", r.ExchangeID == '1' ? "SH" : r.ExchangeID == '2' ? "SZ" : "?");
      l.U64("length", r.Length);
      char hex[2 * 16 + 1] = {0};
      const unsigned char* p = static_cast<const unsigned char*>(r.Data);
      uint32_t n = r.Length < 16 ? r.Length : 16;
      for (uint32_t i = 0; i < n && p != nullptr; ++i) std::snprintf(hex + 2 * i, 3, "%02x", p[i]);
      l.Str("head", hex);
      l.Finish();
      return true;
    }
    default:
      return false;
  }
}

namespace {
const char* LostReasonName(uint32_t reason) {
  switch (reason) {
    case ZAVO_LOST_REFUSED:
      return "refused";
    case ZAVO_LOST_UNAVAILABLE:
      return "unavailable";
    case ZAVO_LOST_TIMEOUT:
      return "timeout";
    case ZAVO_LOST_HOLD_FULL:
      return "hold_full";
    case ZAVO_LOST_ABANDONED:
      return "abandoned";
    case ZAVO_LOST_NEW_DAY:
      return "new_day";
    default:
      return "unknown";
  }
}
}  // namespace

bool FormatSystem(const ZAVO_MSG& msg, OutputFormat format, std::string* out) {
  switch (msg.MsgType) {
    case ZAVO_MSG_LOST_RANGE: {
      const auto& r = *static_cast<const ZAVO_LostRange*>(msg.MsgData);
      Line l(format, "lost", msg, out);
      l.U64("begin", r.BeginSeq);
      l.U64("end", r.EndSeq);
      l.Str("reason", LostReasonName(r.Reason));
      l.Finish();
      return true;
    }
    case ZAVO_MSG_FEED_STATS: {
      const auto& r = *static_cast<const ZAVO_FeedStats*>(msg.MsgData);
      Line l(format, "feed_stats", msg, out);
      l.U64("datagrams", r.Datagrams);
      l.U64("bytes", r.Bytes);
      l.U64("fields", r.Fields);
      l.U64("delivered", r.Delivered);
      l.U64("filtered", r.Filtered);
      l.U64("gaps", r.Gaps);
      l.U64("missing", r.Missing);
      l.U64("recovered", r.Recovered);
      l.U64("lost", r.Lost);
      l.U64("duplicates", r.Duplicates);
      l.U64("queue_drops", r.QueueDrops);
      l.U64("queue_peak_bytes", r.QueuePeakBytes);
      l.U64("takeovers", r.TakeOvers);
      l.U64("kernel_drops", r.KernelDrops);
      l.U64("reconnects", r.Reconnects);
      l.U64("held_peak_bytes", r.HeldPeakBytes);
      if (r.LastDatagramAgeMs != 0xFFFFFFFFu) l.U64("last_datagram_age_ms", r.LastDatagramAgeMs);
      l.Finish();
      return true;
    }
    case ZAVO_MSG_CONNECT: {
      const auto& r = *static_cast<const ZAVO_ConnectResult*>(msg.MsgData);
      Line l(format, "connected", msg, out);
      l.Str("server", r.Address);
      l.U64("port", r.Port);
      l.Finish();
      return true;
    }
    case ZAVO_MSG_DISCONNECT: {
      const auto& r = *static_cast<const ZAVO_DisconnectResult*>(msg.MsgData);
      Line l(format, "disconnected", msg, out);
      l.Str("server", r.Address);
      l.U64("port", r.Port);
      l.Finish();
      return true;
    }
    case ZAVO_MSG_LOGIN: {
      const auto& r = *static_cast<const ZAVO_LoginResult*>(msg.MsgData);
      Line l(format, "login", msg, out);
      l.U64("error", r.ErrorID);
      char text[129];
      std::memcpy(text, r.ErrorMsg, 128);
      text[128] = '\0';
      l.Str("message", text);
      std::string items;
      for (unsigned i = 0; i < r.ItemCount && i < 6; ++i) {
        char item[9];
        std::memcpy(item, r.Items[i], 8);
        item[8] = '\0';
        if (!items.empty()) items += ';';
        items += item;
      }
      l.Str("items", items.c_str());
      l.Finish();
      return true;
    }
    case ZAVO_MSG_BASEINFO_FINISH: {
      const auto& r = *static_cast<const ZAVO_BaseInfoFinish*>(msg.MsgData);
      Line l(format, "codetables", msg, out);
      for (unsigned i = 0; i < r.MarketCount && i < 8; ++i) {
        char m[9];
        std::memcpy(m, r.Markets[i], 8);
        m[8] = '\0';
        char name[32];
        std::snprintf(name, sizeof(name), "%s_codes", m);
        l.U64(name, r.CodeCount[i]);
        std::snprintf(name, sizeof(name), "%s_update", m);
        l.U64(name, r.LastUpdate[i]);
      }
      l.Finish();
      return true;
    }
    case ZAVO_MSG_REBUILD_FINISH: {
      const auto& r = *static_cast<const ZAVO_RebuildResult*>(msg.MsgData);
      Line l(format, "rebuild_done", msg, out);
      l.U64("begin", r.BeginSeq);
      l.U64("end", r.EndSeq);
      l.U64("status", r.Status);
      l.Finish();
      return true;
    }
    default:
      return false;
  }
}

}  // namespace zavo_tail
