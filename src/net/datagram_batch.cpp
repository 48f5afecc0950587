#include "net/datagram_batch.h"

#include <errno.h>

#include <cstring>

namespace zavo {

DatagramBatch::DatagramBatch() {
  std::memset(iov_, 0, sizeof(iov_));
  std::memset(msgs_, 0, sizeof(msgs_));
  grow_to(1);
}

void DatagramBatch::grow_to(unsigned n) {
  for (; allocated_ < n; ++allocated_) {
    slots_[allocated_].reset(new char[kSlotSize]);
    iov_[allocated_].iov_base = slots_[allocated_].get();
    iov_[allocated_].iov_len = kSlotSize;
    msgs_[allocated_].msg_hdr.msg_iov = &iov_[allocated_];
    msgs_[allocated_].msg_hdr.msg_iovlen = 1;
  }
}

int DatagramBatch::Receive(int fd) {
  last_want_ = want_;
  // Source addresses are not asked for: the socket is bound to its group.
  const int n = ::recvmmsg(fd, msgs_, want_, MSG_DONTWAIT, nullptr);
  if (n < 0) {
    last_ = 0;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -errno;
  }
  last_ = static_cast<unsigned>(n);
  const unsigned next = last_ == want_ ? want_ * 2 : last_ + 1;
  want_ = next > kMaxBatch ? kMaxBatch : next;
  grow_to(want_);
  return n;
}

}  // namespace zavo
