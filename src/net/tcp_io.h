#pragma once
// The byte-stream half of a TCP connection: receive buffer, draining reads,
// direct writes on the loop thread and queued writes from any thread.
// Opening and closing the libuv stream belongs to the derived classes.
#include <uv.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "util/byte_buffer.h"
#include "net/net_base.h"
#include "util/slice.h"

namespace zavo {

// uv_tcp_init, TCP_NODELAY on, keep-alive after 10 s. First failing libuv
// status, else 0. Every TCP handle of the library is set up through it.
int init_uv_tcp(uv_loop_t* loop, uv_tcp_t* tcp);
// Text of a libuv status.
std::string get_uv_err_string(int status);
// Close callback freeing a handle allocated with the C allocator.
void release_uvobj(uv_handle_t* handle);

// One write in flight; frees itself (and its bytes) on completion.
struct tcp_send_req {
  tcp_send_req(ByteBuffer&& b, uv_stream_t* s);
  tcp_send_req(const tcp_send_req&) = delete;
  tcp_send_req& operator=(const tcp_send_req&) = delete;
  virtual ~tcp_send_req();

  static void uvcb_write(uv_write_t* req, int status);

  ByteBuffer buf;
  uv_write_t req{};
  uv_stream_t* stream;

  static std::atomic<int64_t> Count;
};

class TcpIO : public NetBase {
 public:
  enum ReadMode {
    kDrainRead = 0,  // after each read event keep reading the socket directly
    kEventRead = 1,  // libuv read events only
  };
  // Bytes consumed from the front of the data, and bytes the framing layer
  // needs to see at once to make progress (0: no wish).
  using DataResult = std::pair<uint64_t, uint64_t>;

  static constexpr size_t kInitialRecvBuffer = 1048576;
  static constexpr unsigned kDefaultAsyncSendLimit = 1048576;
  // The receive buffer never grows past this, whatever a peer announces.
  static constexpr uint64_t kMaxRecvBuffer = 256ull << 20;
  // Direct reads that deliver data per read event.
  static constexpr int kMaxDrainRounds = 100;

  explicit TcpIO(ReadMode mode = kDrainRead);
  // Stops serving if the owner did not (on the loop thread).
  ~TcpIO() override;

  // Read error or end of stream (negative libuv status).
  virtual void OnError(long status) = 0;
  // Received bytes from the start of the unconsumed data.
  virtual DataResult OnData(const char* data, unsigned long len) = 0;

  // Starts serving a connected stream (loop thread). First failing libuv
  // status, else 0.
  int OpenIO(uv_tcp_t* tcp);
  // Stops serving (loop thread); harmless when not open. Bytes still queued
  // by AsyncWrite are dropped: they belong to the connection that ended.
  void StopIO();
  bool IsOpen() const { return stream_ != nullptr; }

  // Loop thread only: start writing now. False (bytes dropped) when no
  // usable stream is open or libuv refuses.
  bool Write(ByteBuffer&& buf);
  bool Write(const Slice& s);
  // Any thread: queue the bytes for the loop thread. Dropped when the
  // connection is not open.
  void AsyncWrite(ByteBuffer&& buf);
  void AsyncWrite(const Slice& s);

  // Not on Windows, whose handles are not descriptors.
  int fd() const;
  // Grows the receive buffer to at least `size`; never shrinks.
  void SetMinRecvBufferSize(unsigned long size);
  static unsigned long GetCachedWriteReqCount();
  // Bytes written per wake-up of the queued path; 0 means unlimited.
  void set_async_send_limit(unsigned int bytes) {
    async_send_limit_.store(bytes == 0 ? 4294967295u : bytes, std::memory_order_relaxed);
  }

  uint64_t bytes_received() const { return bytes_received_; }
  uint64_t bytes_submitted() const { return bytes_submitted_.load(std::memory_order_relaxed); }
  size_t recv_buffer_capacity() const { return recv_.capacity(); }
  size_t recv_buffer_readable() const { return recv_.ReadableBytes(); }
  // Wake-ups of the queued path that wrote at least one buffer.
  uint64_t async_write_rounds() const { return async_rounds_; }

  static void uvcb_alloc(uv_handle_t* handle, size_t suggested, uv_buf_t* buf);
  static void uvcb_read(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf);
  static void uvcb_async(uv_async_t* handle);

 protected:
  void do_read_impl(long nread);
  uv_tcp_t* stream() const { return stream_; }

 private:
  bool write_now(ByteBuffer&& buf);
  void drain_pending();
  long direct_read(int fd);  // not on Windows
  void grow_recv_buffer(uint64_t needed);

  uv_tcp_t* stream_ = nullptr;
  ByteBuffer recv_;
  ReadMode mode_;
  uv_async_t* async_ = nullptr;
  std::mutex mu_;
  std::deque<ByteBuffer> pending_;
  uint64_t bytes_received_ = 0;
  std::atomic<uint64_t> bytes_submitted_{0};
  std::atomic<unsigned> async_send_limit_{kDefaultAsyncSendLimit};
  uint64_t async_rounds_ = 0;
};

}  // namespace zavo
