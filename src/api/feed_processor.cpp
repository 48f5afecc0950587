#include "api/feed_processor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>

#include "net/byte_buffer.h"
#include "net/idle_strategy.h"
#include "net/udp_multicast_receiver.h"

namespace zavo {

namespace {
// Room of a fresh datagram copy: a whole feed datagram (the feed keeps them
// under the usual 1500-byte frame) fits, so a recycled copy never has to grow.
constexpr size_t kDatagramBufferSize = 2048;
// Copies that grew past this for an unusually large datagram are freed
// rather than kept, so the spares never hold much memory.
constexpr size_t kMaxSpareBufferSize = 16384;
}  // namespace

FeedProcessor::FeedProcessor(UdpMulticaseReceiver2* source)
    : source_(source),
      pipe_(MpmcPipe::Create()),
      direct_buffer_(new char[kDirectBufferSize]),
      packet_(StructPacket::kDefaultCapacity) {
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

FeedProcessor::~FeedProcessor() {
  Stop();
  Join();
  void* spare = nullptr;
  while (spare_.Pop(&spare)) delete static_cast<ByteBuffer*>(spare);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void FeedProcessor::Start(Sink sink) {
  sink_ = std::move(sink);
  thread_ = std::thread([this] { run(); });
}

void FeedProcessor::Stop() {
  pipe_->Close();
  wake();
}

void FeedProcessor::Join() {
  if (thread_.joinable()) thread_.join();
  // Datagram copies that were still queued go with the session.
  void* item = nullptr;
  while (pipe_->Dequeue(&item)) delete static_cast<ByteBuffer*>(item);
}

void FeedProcessor::wake() {
  const uint64_t one = 1;
  if (wake_fd_ >= 0) (void)!::write(wake_fd_, &one, sizeof(one));
}

ByteBuffer* FeedProcessor::take_buffer(size_t size) {
  void* spare = nullptr;
  if (spare_.Pop(&spare)) {
    ByteBuffer* buffer = static_cast<ByteBuffer*>(spare);
    buffer->Reset();
    return buffer;
  }
  return new ByteBuffer(size > kDatagramBufferSize ? size : kDatagramBufferSize);
}

void FeedProcessor::return_buffer(ByteBuffer* buffer) {
  if (buffer->capacity() > kMaxSpareBufferSize || !spare_.Push(buffer)) delete buffer;
}

void FeedProcessor::Enqueue(const char* data, size_t size) {
  ByteBuffer* copy = take_buffer(size);
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
  if (consumer_waiting_.load(std::memory_order_seq_cst)) wake();
}

bool FeedProcessor::wait_for_feed() {
  bool feed_readable = false;
  consumer_waiting_.store(true, std::memory_order_seq_cst);
  if (pipe_->Empty() && !pipe_->IsClosed()) {
    pollfd fds[2];
    fds[0] = pollfd{wake_fd_, POLLIN, 0};
    fds[1] = pollfd{source_->BeginWatch(), POLLIN, 0};
    const bool watch = fds[1].fd >= 0;
    // The timeout only bounds the wait should a wake-up ever be missed.
    (void)::poll(fds, watch ? 2 : 1, 100);
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      (void)!::read(wake_fd_, &count, sizeof(count));
    }
    feed_readable = (fds[1].revents & POLLIN) != 0;
    // Readable: the caller takes the datagram, then ends the watch.
    if (watch && !feed_readable) source_->EndWatch();
  }
  consumer_waiting_.store(false, std::memory_order_relaxed);
  return feed_readable;
}

bool FeedProcessor::read_feed_directly() {
  // Unless the read thread has taken it already (it may have been awake),
  // the datagram is read here, and the read thread then gets the socket
  // back to drain it while this thread is in the handler.
  const size_t n = source_->TryReadDirect(direct_buffer_.get(), kDirectBufferSize,
                                          [this] { return pipe_->Empty(); });
  source_->EndWatch();
  if (n > 0) sink_(direct_buffer_.get(), n);
  return n > 0;
}

void FeedProcessor::run() {
  IdleStrategy idle(source_->idle_mode());
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
    sink_(datagram->read_pos(), datagram->ReadableBytes());
    return_buffer(datagram);
    // The strategy follows the receiver's, which Open may change.
    const IdleMode mode = source_->idle_mode();
    if (mode != idle.mode()) idle.set_mode(mode);
  }
}

}  // namespace zavo
