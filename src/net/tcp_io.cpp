#include "net/tcp_io.h"

#ifndef _WIN32
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cassert>
#include <cerrno>
#include <cstdlib>

#include "net/ev_loop.h"

namespace zavo {

namespace {
[[maybe_unused]] EvLoop* owner_loop(const uv_handle_t* h) {
  return h ? EvLoop::FromUv(h->loop) : nullptr;
}
}  // namespace

int init_uv_tcp(uv_loop_t* loop, uv_tcp_t* tcp) {
  int rc = uv_tcp_init(loop, tcp);
  if (rc != 0) return rc;
  rc = uv_tcp_nodelay(tcp, 1);
  if (rc != 0) return rc;
#ifdef _WIN32
  // libuv on Windows applies keep-alive when it creates the socket, inside
  // the connect, and a stack without the keep-alive interval option would
  // fail the connect for it: it is set on the connected socket instead
  // (OpenIO), where it is only advice.
  return 0;
#else
  return uv_tcp_keepalive(tcp, 1, 10);
#endif
}

std::string get_uv_err_string(int status) {
  return uv_strerror(status);
}

void release_uvobj(uv_handle_t* handle) {
  std::free(handle);
}

std::atomic<int64_t> tcp_send_req::Count{0};

tcp_send_req::tcp_send_req(ByteBuffer&& b, uv_stream_t* s) : buf(std::move(b)), stream(s) {
  req.data = this;
  Count.fetch_add(1, std::memory_order_relaxed);
}

tcp_send_req::~tcp_send_req() {
  Count.fetch_sub(1, std::memory_order_relaxed);
}

void tcp_send_req::uvcb_write(uv_write_t* req, int) {
  delete static_cast<tcp_send_req*>(req->data);
}

TcpIO::TcpIO(ReadMode mode) : recv_(kInitialRecvBuffer), mode_(mode) {}

TcpIO::~TcpIO() {
  if (stream_ != nullptr || async_ != nullptr) StopIO();
}

int TcpIO::OpenIO(uv_tcp_t* tcp) {
  ZAVO_ASSERT_IN_LOOP(owner_loop(reinterpret_cast<uv_handle_t*>(tcp)));
  ClearAddress();
  FillAddressFromTcp(tcp);
#ifdef _WIN32
  (void)uv_tcp_keepalive(tcp, 1, 10);
#endif
  stream_ = tcp;
  tcp->data = this;
  recv_.Reset();
  int rc = uv_read_start(reinterpret_cast<uv_stream_t*>(tcp), uvcb_alloc, uvcb_read);
  std::lock_guard<std::mutex> lock(mu_);
  if (async_ == nullptr) {
    async_ = static_cast<uv_async_t*>(std::calloc(1, sizeof(uv_async_t)));
    async_->data = this;
    int arc = uv_async_init(tcp->loop, async_, uvcb_async);
    if (arc != 0) {
      std::free(async_);
      async_ = nullptr;
      if (rc == 0) rc = arc;
    }
  }
  return rc;
}

void TcpIO::StopIO() {
  uv_async_t* async = nullptr;
  std::deque<ByteBuffer> dropped;
  {
    std::lock_guard<std::mutex> lock(mu_);
    async = async_;
    async_ = nullptr;
    dropped.swap(pending_);
  }
  if (stream_ != nullptr) {
    ZAVO_ASSERT_IN_LOOP(owner_loop(reinterpret_cast<uv_handle_t*>(stream_)));
    if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(stream_)))
      uv_read_stop(reinterpret_cast<uv_stream_t*>(stream_));
    stream_ = nullptr;
  }
  recv_.Reset();
  if (async != nullptr) {
    ZAVO_ASSERT_IN_LOOP(owner_loop(reinterpret_cast<uv_handle_t*>(async)));
    if (uv_handle_usable(reinterpret_cast<uv_handle_t*>(async))) {
      uv_close(reinterpret_cast<uv_handle_t*>(async), release_uvobj);
    } else if (async->type == UV_UNKNOWN_HANDLE || async->type == UV_ASYNC) {
      // Never initialised, or closed by the loop's shutdown walk (which has
      // completed by the time anyone may run here).
      std::free(async);
    }
  }
}

#ifndef _WIN32
int TcpIO::fd() const {
  if (stream_ == nullptr) return 0;
  uv_os_fd_t os_fd;
  if (uv_fileno(reinterpret_cast<const uv_handle_t*>(stream_), &os_fd) != 0) return 0;
  return os_fd;
}
#endif

bool TcpIO::write_now(ByteBuffer&& buf) {
  tcp_send_req* req = new tcp_send_req(std::move(buf), reinterpret_cast<uv_stream_t*>(stream_));
  uv_stream_t* s = req->stream;
  if (s != nullptr && !uv_is_closing(reinterpret_cast<uv_handle_t*>(s)) && uv_is_writable(s)) {
    uv_buf_t b = uv_buf_init(req->buf.read_pos(), static_cast<unsigned>(req->buf.ReadableBytes()));
    if (uv_write(&req->req, s, &b, 1, tcp_send_req::uvcb_write) == 0) return true;
  }
  delete req;
  return false;
}

bool TcpIO::Write(ByteBuffer&& buf) {
  ZAVO_ASSERT_IN_LOOP(owner_loop(reinterpret_cast<uv_handle_t*>(stream_)));
  bytes_submitted_.fetch_add(buf.ReadableBytes(), std::memory_order_relaxed);
  return write_now(std::move(buf));
}

bool TcpIO::Write(const Slice& s) {
  return Write(ByteBuffer(s.data, s.size));
}

void TcpIO::AsyncWrite(ByteBuffer&& buf) {
  bytes_submitted_.fetch_add(buf.ReadableBytes(), std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(mu_);
  if (async_ == nullptr) return;  // not open: nowhere to send to
  pending_.push_back(std::move(buf));
  uv_async_send(async_);
}

void TcpIO::AsyncWrite(const Slice& s) {
  AsyncWrite(ByteBuffer(s.data, s.size));
}

void TcpIO::uvcb_async(uv_async_t* handle) {
  static_cast<TcpIO*>(handle->data)->drain_pending();
}

void TcpIO::drain_pending() {
  const uint64_t limit = async_send_limit_.load(std::memory_order_relaxed);
  uint64_t round = 0;
  bool wrote = false;
  for (;;) {
    ByteBuffer buf;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (pending_.empty()) break;
      buf = std::move(pending_.front());
      pending_.pop_front();
    }
    if (!wrote) ++async_rounds_;
    wrote = true;
    round += buf.ReadableBytes();
    write_now(std::move(buf));
    if (round > limit) {
      // Leave the rest for a later iteration so that one busy connection
      // does not hold the loop.
      std::lock_guard<std::mutex> lock(mu_);
      if (async_ != nullptr && !pending_.empty()) uv_async_send(async_);
      return;
    }
  }
}

void TcpIO::SetMinRecvBufferSize(unsigned long size) {
  recv_.Reserve(size);
}

unsigned long TcpIO::GetCachedWriteReqCount() {
  return static_cast<unsigned long>(tcp_send_req::Count.load(std::memory_order_relaxed));
}

void TcpIO::uvcb_alloc(uv_handle_t* handle, size_t, uv_buf_t* buf) {
  TcpIO* io = static_cast<TcpIO*>(handle->data);
  buf->base = io->recv_.write_pos();
  buf->len = io->recv_.WritableBytes();
}

#ifndef _WIN32
long TcpIO::direct_read(int sock) {
  if (recv_.WritableBytes() == 0) return -1;
  ssize_t n;
  do {
    n = ::read(sock, recv_.write_pos(), recv_.WritableBytes());
  } while (n < 0 && errno == EINTR);
  // The kernel drops quick-ack mode on its own; re-arm it after every read so
  // the peer's next segment is acknowledged at once.
  int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
  return static_cast<long>(n);
}
#endif

void TcpIO::uvcb_read(uv_stream_t* stream, ssize_t nread, const uv_buf_t*) {
  TcpIO* io = static_cast<TcpIO*>(stream->data);
#ifdef _WIN32
  // Windows: libuv read events only (no draining reads, no quick
  // acknowledgements on a Winsock handle).
  io->do_read_impl(static_cast<long>(nread));
#else
  uv_os_fd_t sock = -1;
  uv_fileno(reinterpret_cast<uv_handle_t*>(stream), &sock);
  long n = static_cast<long>(nread);
  int count = 0;
  for (;;) {
    io->do_read_impl(n);
    // An error, or the derived class closed the stream while handling the
    // data: the descriptor may already be closed (and its number reused).
    if (n < 0 || io->stream_ != reinterpret_cast<uv_tcp_t*>(stream)) return;
    if (io->mode_ != kDrainRead || count >= kMaxDrainRounds || sock < 0) return;
    n = io->direct_read(sock);
    if (n < 0) return;
    if (n == 0) {
      // poll rather than select: descriptors above FD_SETSIZE are valid here.
      pollfd pfd{sock, POLLIN, 0};
      if (poll(&pfd, 1, 1) <= 0) return;
      n = io->direct_read(sock);
      if (n < 1) return;
    }
    ++count;
  }
#endif
}

void TcpIO::do_read_impl(long nread) {
  if (nread == 0) return;
  if (nread < 0) {
    OnError(nread);
    return;
  }
  uv_tcp_t* s = stream_;
  recv_.AdvanceWrite(static_cast<size_t>(nread));
  bytes_received_ += static_cast<uint64_t>(nread);
  uint64_t needed = 0;
  while (recv_.ReadableBytes() > 0) {
    DataResult r = OnData(recv_.read_pos(), recv_.ReadableBytes());
    // Closed from inside OnData: the buffer was reset with the connection.
    if (stream_ != s) return;
    needed = r.second;
    if (r.first == 0) break;
    recv_.AdvanceRead(r.first);
  }
  recv_.Compact();
  if (recv_.capacity() >= needed && recv_.WritableBytes() > 31) return;
  grow_recv_buffer(needed);
}

void TcpIO::grow_recv_buffer(uint64_t needed) {
  // 64-bit arithmetic and a ceiling: the needed count may come from a length
  // field sent by the peer, and a wrapped 32-bit size would shrink the block
  // under the unconsumed bytes.
  uint64_t want = needed > recv_.capacity() ? needed : recv_.capacity();
  uint64_t p2 = 1;
  while (p2 < want) p2 <<= 1;
  uint64_t cap = p2 * 2;
  if (cap > kMaxRecvBuffer) cap = kMaxRecvBuffer;
  if (needed > cap || (cap == recv_.capacity() && recv_.WritableBytes() == 0) ||
      !recv_.Reserve(static_cast<size_t>(cap))) {
    OnError(UV_ENOBUFS);
  }
}

}  // namespace zavo
