#include "api/feed_processor.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <errno.h>

#include <cstdlib>

#include "net/event_wait.h"
#include "net/idle_strategy.h"
#include "net/udp_multicast_receiver.h"
#include "util/byte_buffer.h"
#include "util/logger.h"

namespace zavo {

namespace {
// Room of a fresh datagram copy: a whole feed datagram (the feed keeps them
// under the usual 1500-byte frame) fits, so a recycled copy never has to grow.
constexpr size_t kDatagramBufferSize = 2048;
// Copies that grew past this for an unusually large datagram are freed
// rather than kept, so the spares never hold much memory.
constexpr size_t kMaxSpareBufferSize = 16384;

// What a queued copy holds of the process's memory.
uint64_t Charge(size_t capacity) {
  return capacity + sizeof(ByteBuffer);
}

uint64_t MaxQueuedBytesFromEnvironment() {
  const char* text = std::getenv("ZAVO_MAX_QUEUED_BYTES");
  if (text == nullptr || *text == '\0') return FeedProcessor::kDefaultMaxQueuedBytes;
  char* end = nullptr;
  errno = 0;
  const unsigned long long bytes = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || bytes == 0 || text[0] == '-') {
    ZAVO_LOG("ZAVO_MAX_QUEUED_BYTES=%s is not a positive number of bytes; using %llu", text,
             static_cast<unsigned long long>(FeedProcessor::kDefaultMaxQueuedBytes));
    return FeedProcessor::kDefaultMaxQueuedBytes;
  }
  return bytes;
}
}  // namespace

FeedProcessor::FeedProcessor(UdpMulticaseReceiver2* source)
    : source_(source),
      socket_(source->handover()),
      max_queued_bytes_(MaxQueuedBytesFromEnvironment()) {
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  // Without its eventfd the processing thread could not be told that the
  // socket came: the read thread then does all the reading.
  if (wake_fd_ >= 0) source_->enable_consumer_reads(wake_fd_);
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
  stopping_.store(true, std::memory_order_release);
  wake();
}

void FeedProcessor::Join() {
  if (thread_.joinable()) thread_.join();
  // Datagram copies that were still queued go with the session.
  void* item = nullptr;
  while (pipe_.Dequeue(&item)) {
    ByteBuffer* copy = static_cast<ByteBuffer*>(item);
    release(Charge(copy->capacity()));
    delete copy;
  }
  note_drops(true);
}

void FeedProcessor::PostSideWork() {
  side_work_posted_.store(true, std::memory_order_release);
  wake();
}

void FeedProcessor::wake() {
  SignalEvent(wake_fd_);
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

void FeedProcessor::note_drops(bool last) {
  if (burst_drops_ == 0) return;
  // Bursts that follow each other closely are summed into the next line;
  // the last one is always said.
  uint64_t held_back = 0;
  if (!drops_log_.TakeNow(&held_back) && !last) return;
  ZAVO_LOG(
      "dropped %llu datagrams: the queue behind the data handler held its bound of %llu "
      "bytes (ZAVO_MAX_QUEUED_BYTES); their records are missing from SeqNum",
      static_cast<unsigned long long>(burst_drops_),
      static_cast<unsigned long long>(max_queued_bytes_));
  burst_drops_ = 0;
}

void FeedProcessor::Enqueue(const char* data, size_t size) {
  const size_t capacity = size > kDatagramBufferSize ? size : kDatagramBufferSize;
  // One reading of the queue's size serves the bound and the peak.
  const uint64_t queued = queued_bytes();
  if (queued + Charge(capacity) > max_queued_bytes_) {
    // Dropped as the kernel drops what overflows its buffer: the newest.
    ++burst_drops_;
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  note_drops();
  ByteBuffer* copy = take_buffer(size);
  if (!copy->Append(data, size)) {
    // Out of memory growing a recycled copy: this datagram is lost.
    delete copy;
    return;
  }
  const uint64_t charge_bytes = Charge(copy->capacity());
  charge(charge_bytes);
  if (!pipe_.Enqueue(copy)) {
    // Out of memory for the queue's next block. Retrying would stall the
    // read thread while the socket overflows: the datagram is dropped and
    // counted like one past the bound.
    charge(0 - charge_bytes);  // wraps back: never queued
    delete copy;
    ++burst_drops_;
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // Only this thread writes the peak: a plain store.
  if (queued + charge_bytes > peak_queued_bytes_.load(std::memory_order_relaxed)) {
    peak_queued_bytes_.store(queued + charge_bytes, std::memory_order_relaxed);
  }
}

void FeedProcessor::process(const char* data, size_t size) {
  socket_.BeginDatagram();
  sink_(data, size);
  socket_.EndDatagram();
}

void FeedProcessor::process_copy(ByteBuffer* copy) {
  release(Charge(copy->capacity()));
  process(copy->read_pos(), copy->ReadableBytes());
  return_buffer(copy);
}

size_t FeedProcessor::drain_queue() {
  size_t count = 0;
  void* item = nullptr;
  while (!stopping() && pipe_.Dequeue(&item)) {
    process_copy(static_cast<ByteBuffer*>(item));
    ++count;
  }
  return count;
}

void FeedProcessor::wait_for_feed(int fd) {
  // Every change that matters signals wake_fd_; the limit only bounds the
  // wait should a wake-up ever be missed.
  WaitEventOrReadable(wake_fd_, fd, 1000LL * 1000 * 1000);
}

bool FeedProcessor::consume_step(DatagramBatch& batch) {
  // Copies queued before are older than anything still in the socket
  // (the read thread drained it, maybe on a socket since replaced).
  if (!pipe_.Empty() && drain_queue() > 0) return true;
  if (socket_.owner() != SocketHandover::Owner::kConsumer) {
    // The read thread drains the socket and the queue is empty: take the
    // socket back. What it queued before letting go is processed first.
    socket_.BeginReclaim();
    takeovers_.store(takeovers_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    // The read thread is out of Enqueue for good: a burst of drops ends.
    note_drops();
    drain_queue();
    socket_.EndReclaim();
    source_->wake_read_thread();
    return true;
  }
  const int fd = socket_.ConsumerBeginRead();
  if (fd < 0) return socket_.owner() != SocketHandover::Owner::kConsumer;
  // Waits in the receive itself when the socket is empty: one system call
  // per wake-up. Detach (the socket going) or the socket's timeout end it.
  if (!batch.counts_drops() && source_->counts_kernel_drops()) batch.EnableDropCount();
  const int n = batch.Receive(fd, !prompt_wake_);
  socket_.ConsumerEndRead();
  if (n > 0 && batch.counts_drops()) source_->note_kernel_drops(batch.kernel_drops());
  if (n <= 0) {
    full_batches_ = 0;
    return false;
  }
  full_batches_ = batch.filled() ? full_batches_ + 1 : 0;
  if (full_batches_ >= kHelpAfterFullBatches) {
    // The socket's queue keeps growing: let the read thread move it into
    // the (larger) queue here while this thread works through it.
    full_batches_ = 0;
    socket_.RequestHelp();
    source_->wake_read_thread();
  }
  for (int i = 0; i < n; ++i) {
    const size_t size = batch.size(i);
    if (size == 0) continue;
    socket_.BeginDatagram();
    // The watchdog parks when the feed is quiet; now there is work.
    if (i == 0 && socket_.NoteWakeUp()) source_->wake_read_thread();
    sink_(batch.data(i), size);
    socket_.EndDatagram();
  }
  return true;
}

void FeedProcessor::run() {
  IdleStrategy idle(source_->idle_mode());
  DatagramBatch batch;
  void* item = nullptr;
  while (!stopping()) {
    if (side_work_posted_.load(std::memory_order_acquire)) {
      side_work_posted_.store(false, std::memory_order_relaxed);
      if (side_work_) side_work_();
    }
    if (source_->consumer_reads()) {
      if (consume_step(batch)) continue;
      // No socket, or the receive ended without a datagram (its timeout, an
      // error). Not while the read thread holds the socket or copies wait:
      // those come first, and nothing would wake this thread for them.
      if (socket_.owner() == SocketHandover::Owner::kConsumer && pipe_.Empty()) {
        wait_for_feed(socket_.fd());
      }
      continue;
    }
    // The read thread owns the socket (spin mode, or no feed joined).
    if (!pipe_.Dequeue(&item)) {
      const IdleMode mode = source_->idle_mode();
      if (mode != idle.mode()) idle.set_mode(mode);
      idle.Idle([this] { wait_for_feed(-1); });
      continue;
    }
    idle.Reset();
    process_copy(static_cast<ByteBuffer*>(item));
  }
}

}  // namespace zavo
