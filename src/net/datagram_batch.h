#pragma once
// Batched receives: one recvmmsg call takes up to kMaxBatch datagrams.
//
// The batch asked for follows what the socket had queued: after a call that
// filled it, the next asks for twice as many (up to kMaxBatch); after one
// that did not, for one more than it got. An idle or slow feed costs one
// slot and one failed dequeue per call, a backlog is taken kMaxBatch at a
// time. Every slot has room for the largest UDP datagram, so nothing is
// ever truncated; slots are allocated when the batch first grows to them.
//
// One thread uses a batch at a time; the datagrams of the last Receive stay
// valid until the next.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zavo {

class DatagramBatch {
 public:
  static constexpr unsigned kMaxBatch = 16;
  // Any IPv4 UDP payload (at most 65,507 bytes) fits.
  static constexpr size_t kSlotSize = 65536;

  DatagramBatch();
  DatagramBatch(const DatagramBatch&) = delete;
  DatagramBatch& operator=(const DatagramBatch&) = delete;

  // Takes what is queued on the socket `fd`. Without `wait` it returns at
  // once; with it, it blocks until a first datagram comes (or the socket's
  // receive timeout passes, or its read side is shut down), then takes
  // what else is queued without waiting. The number of datagrams (empty
  // ones included), 0 when none came, or -errno on an error.
  int Receive(int fd, bool wait = false);

  // Asks for the socket's count of datagrams the kernel dropped (a socket
  // with SO_RXQ_OVFL on) with every receive from now on.
  void EnableDropCount();
  bool counts_drops() const { return count_drops_; }
  // That count as the newest datagram that carried it said (it only
  // grows, for the socket's life); 0 before any.
  uint32_t kernel_drops() const { return kernel_drops_; }

  const char* data(unsigned i) const { return slots_[i].get(); }
  size_t size(unsigned i) const { return msgs_[i].msg_len; }
  // The last Receive filled its batch: more may be queued.
  bool filled() const { return last_ == last_want_ && last_ > 0; }

 private:
  void grow_to(unsigned n);

  std::unique_ptr<char[]> slots_[kMaxBatch];
  iovec iov_[kMaxBatch];
  mmsghdr msgs_[kMaxBatch];
  unsigned allocated_ = 0;
  unsigned want_ = 1;
  unsigned last_ = 0;
  unsigned last_want_ = 0;
  // Room for one SO_RXQ_OVFL control message per slot.
  struct alignas(cmsghdr) Control {
    char bytes[CMSG_SPACE(sizeof(uint32_t))];
  };
  Control control_[kMaxBatch];
  bool count_drops_ = false;
  uint32_t kernel_drops_ = 0;
};

}  // namespace zavo
