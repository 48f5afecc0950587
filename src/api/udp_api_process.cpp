// Struct session: the multicast data path. The read thread copies each
// datagram into the pipe; the processing thread decodes, converts, filters
// and delivers its fields.
#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "api/convert.h"
#include "api/udp_api_imp.h"
#include "util/logger.h"

namespace zavo {

namespace {
// Room of a fresh datagram copy: a whole feed datagram (the feed keeps them
// under the usual 1500-byte frame) fits, so a recycled copy never has to grow.
constexpr size_t kDatagramBufferSize = 2048;
// Copies that grew past this for an unusually large datagram are freed
// rather than kept, so the spares never hold much memory.
constexpr size_t kMaxSpareBufferSize = 16384;

template <class T>
struct FieldTag {
  using type = T;
};
}  // namespace

ByteBuffer* UdpStructApiImp::take_datagram_buffer(size_t size) {
  void* spare = nullptr;
  if (spare_buffers_.Pop(&spare)) {
    ByteBuffer* buffer = static_cast<ByteBuffer*>(spare);
    buffer->Reset();
    return buffer;
  }
  return new ByteBuffer(size > kDatagramBufferSize ? size : kDatagramBufferSize);
}

void UdpStructApiImp::return_datagram_buffer(ByteBuffer* buffer) {
  if (buffer->capacity() > kMaxSpareBufferSize || !spare_buffers_.Push(buffer)) delete buffer;
}

void UdpStructApiImp::OnData(const char* data, size_t size) {
  ByteBuffer* copy = take_datagram_buffer(size);
  if (!copy->Append(data, size)) {
    // Out of memory growing a recycled copy: this datagram is lost.
    delete copy;
    return;
  }
  while (!pipe_->Enqueue(copy)) {
    std::printf("UdpStructApiImp::OnData Enqueue Failed\n");
  }
  // Enqueue's counter update is a full barrier before this load; the
  // consumer announces itself before its last look at the pipe.
  if (consumer_waiting_.load(std::memory_order_seq_cst)) wake_consumer();
}

void UdpStructApiImp::wake_consumer() {
  const uint64_t one = 1;
  if (consumer_fd_ >= 0) (void)::write(consumer_fd_, &one, sizeof(one));
}

bool UdpStructApiImp::wait_for_feed() {
  bool feed_readable = false;
  consumer_waiting_.store(true, std::memory_order_seq_cst);
  if (pipe_->Empty() && !pipe_->IsClosed()) {
    pollfd fds[2];
    fds[0] = pollfd{consumer_fd_, POLLIN, 0};
    fds[1] = pollfd{BeginWatch(), POLLIN, 0};
    const bool watch = fds[1].fd >= 0;
    // The timeout only bounds the wait should a wake-up ever be missed.
    (void)::poll(fds, watch ? 2 : 1, 100);
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      (void)::read(consumer_fd_, &count, sizeof(count));
    }
    feed_readable = (fds[1].revents & POLLIN) != 0;
    // Readable: the caller takes the datagram, then ends the watch.
    if (watch && !feed_readable) EndWatch();
  }
  consumer_waiting_.store(false, std::memory_order_relaxed);
  return feed_readable;
}

bool UdpStructApiImp::read_feed_directly() {
  // Unless the read thread has taken it already (it may have been awake),
  // the datagram is read here, and the read thread then gets the socket
  // back to drain it while this thread is in the handler.
  const size_t n = TryReadDirect(direct_buffer_.get(), kDirectBufferSize,
                                 [this] { return pipe_->Empty(); });
  EndWatch();
  if (n > 0) process_datagram(direct_buffer_.get(), n);
  return n > 0;
}

void UdpStructApiImp::OnError(int code) {
  ZAVO_LOG("%p[%s] UDP OnError: %s", handle(), ClassName(), get_uv_err_string(code).c_str());
}

void UdpStructApiImp::udp_packet_process_loop() {
  IdleStrategy idle(idle_mode());
  void* item = nullptr;
  while (!pipe_->IsClosed()) {
    if (!pipe_->Dequeue(&item)) {
      idle.Idle([this, &idle] {
        if (!wait_for_feed()) return;
        // Watch again at once after a datagram read here: the read thread
        // parks rather than wait on the socket too. Should the read thread
        // have taken it instead, its copy is only moments away: poll the
        // pipe for a while before blocking again.
        if (!read_feed_directly()) idle.Reset();
      });
      continue;
    }
    idle.Reset();
    ByteBuffer* datagram = static_cast<ByteBuffer*>(item);
    process_datagram(datagram->read_pos(), datagram->ReadableBytes());
    return_datagram_buffer(datagram);
    // The strategy follows the receiver's, which Open may change.
    const IdleMode mode = idle_mode();
    if (mode != idle.mode()) idle.set_mode(mode);
  }
}

void UdpStructApiImp::ProcessDatagram(const char* data, size_t size) {
  process_datagram(data, size);
}

void UdpStructApiImp::process_datagram(const char* data, size_t size) {
  // The fields are walked where they lie in the datagram's copy.
  const char* body = nullptr;
  const StructPacket::ParseResult r = packet_.ParseInPlace(data, size, &body);
  if (!r.complete) {
    std::printf("UdpStructApiImp::udp_packet_process_loop Enqueue Failed\n");
    return;
  }
  try {
    on_udp_packet_process(packet_.PacketTime, body, packet_.BodyLength);
  } catch (...) {
    // A handler that throws must not take the session's thread down.
    ZAVO_LOG("%p[%s] DataHandler threw an exception", handle(), ClassName());
  }
}

// Flattened: the per-field step is inlined into the walk, which saves a
// call with six arguments per field.
__attribute__((flatten)) void UdpStructApiImp::on_udp_packet_process(unsigned long packet_time,
                                                                     const char* body,
                                                                     unsigned int size) {
  const uint32_t t = static_cast<uint32_t>(packet_time % 1000000000UL);
  const ZAVO_DataHandler handler = data_handler_;
  for (StructPacket::Iterator it(body, size); it.Valid(); it.Next()) {
    if (it.FieldId == HeartBeatField::kFieldId) {
      OnHeartbeat(it);
    } else if (it.FieldId >= SecuritySnapShotField::kFieldId &&
               it.FieldId <= SH_OrderDetailField::kFieldId) {
      handle_market_field(it, live_, handler, t, true, "%p[%s] UDP Session GetField Error: %s");
    }
  }
}

void UdpStructApiImp::deliver(ZAVO_DataHandler handler, uint32_t kind, uint32_t size,
                              uint32_t msg_time, uint64_t seq, const void* record) {
  if (handler == nullptr) return;
  ZAVO_MSG msg;
  msg.MsgType = kind;
  msg.MsgSize = size;
  msg.MsgTime = msg_time;
  msg.ConnectID = setting_.ConnectID;
  msg.SeqNum = seq;
  msg.MsgData = record;
  handler(handle(), &msg);
}

void UdpStructApiImp::handle_market_field(const StructPacket::Iterator& it, Scratch& s,
                                          ZAVO_DataHandler handler, uint32_t msg_time, bool live,
                                          const char* error_format) {
  // Each record is decoded straight from its wire bytes into the thread's
  // public record scratch. Kinds that are not cached are filtered on the
  // wire's exchange and code first, so a record nobody wants costs no
  // conversion; snapshots are always converted, for the cache.
  const char* data = it.Data();
  const unsigned int len = it.Remaining();
  // A record shorter than its wire size is refused with its type's name.
  auto too_short = [&](auto tag) {
    using Field = typename decltype(tag)::type;
    if (len >= Field::Size()) return false;
    ZAVO_LOG(error_format, handle(), ClassName(), TypeName<Field>());
    return true;
  };
  auto wanted = [&](unsigned char exchange) {
    // The code leads every market-data record.
    return subscription_.IsMatchSysCode(exchange, data, 16);
  };
  auto wire_exchange = [&]() { return static_cast<unsigned char>(data[16]); };
  switch (it.FieldId) {
    case SecuritySnapShotField::kFieldId:
      if (too_short(FieldTag<SecuritySnapShotField>())) break;
      DecodeInto(data, len, &s.security);
      if (wanted(wire_exchange())) {
        deliver(handler, ZAVO_MSG_SECURITY_SNAPSHOT, sizeof(s.security), msg_time, it.FieldSeq,
                &s.security);
      }
      if (live) snapshots_.Update(s.security);
      break;
    case IndexSnapShotField::kFieldId:
      if (too_short(FieldTag<IndexSnapShotField>())) break;
      DecodeInto(data, len, &s.index);
      if (wanted(wire_exchange())) {
        deliver(handler, ZAVO_MSG_INDEX_SNAPSHOT, sizeof(s.index), msg_time, it.FieldSeq, &s.index);
      }
      if (live) snapshots_.Update(s.index);
      break;
    case FutureSnapShotField::kFieldId:
      if (too_short(FieldTag<FutureSnapShotField>())) break;
      DecodeInto(data, len, &s.future);
      if (wanted(wire_exchange())) {
        deliver(handler, ZAVO_MSG_FUTURE_SNAPSHOT, sizeof(s.future), msg_time, it.FieldSeq,
                &s.future);
      }
      if (live) snapshots_.Update(s.future);
      break;
    case OrderQueueField::kFieldId:
      if (too_short(FieldTag<OrderQueueField>())) break;
      if (queue_flag_.load(std::memory_order_relaxed) && wanted(wire_exchange())) {
        DecodeInto(data, len, &s.queue);
        deliver(handler, ZAVO_MSG_ORDER_QUEUE, sizeof(s.queue), msg_time, it.FieldSeq, &s.queue);
      }
      break;
    case OrderDetailField::kFieldId:
      if (too_short(FieldTag<OrderDetailField>())) break;
      if (order_flag_.load(std::memory_order_relaxed) && wanted(wire_exchange())) {
        DecodeInto(data, len, &s.order);
        deliver(handler, ZAVO_MSG_ORDER_DETAIL, sizeof(s.order), msg_time, it.FieldSeq, &s.order);
      }
      break;
    case TradeDetailField::kFieldId:
      if (too_short(FieldTag<TradeDetailField>())) break;
      if (trade_flag_.load(std::memory_order_relaxed) && wanted(wire_exchange())) {
        DecodeInto(data, len, &s.trade);
        deliver(handler, ZAVO_MSG_TRADE_DETAIL, sizeof(s.trade), msg_time, it.FieldSeq, &s.trade);
      }
      break;
    case SH_OrderDetailField::kFieldId:
      if (too_short(FieldTag<SH_OrderDetailField>())) break;
      // The record carries no exchange: it is Shanghai by definition.
      if (order_flag_.load(std::memory_order_relaxed) && wanted(1)) {
        DecodeInto(data, len, &s.sh_order);
        deliver(handler, ZAVO_MSG_SH_ORDER_DETAIL, sizeof(s.sh_order), msg_time, it.FieldSeq,
                &s.sh_order);
      }
      break;
    default:
      break;
  }
}

void UdpStructApiImp::OnHeartbeat(const StructPacket::Iterator& it) {
  HeartBeatField heartbeat;
  if (it.FieldId != HeartBeatField::kFieldId || !it.Decode(heartbeat)) {
    ZAVO_LOG("%p[%s] Session GetField Error: HeartBeatField", handle(), ClassName());
    return;
  }
  const unsigned long v = heartbeat.ServerTime;
  const uint32_t day = static_cast<uint32_t>(v / 10000000UL);
  // Both the processing thread and the loop thread see heartbeats; the
  // exchange makes exactly one of them act on a change of day.
  if (day_marker_.exchange(day) != day) ClearApiCache();
  ZAVO_LOG("%p[%s] OnHeartbeat: %lu", handle(), ClassName(), v);
}

}  // namespace zavo
