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

void DatagramBatch::EnableDropCount() {
  count_drops_ = true;
}

int DatagramBatch::Receive(int fd, bool wait) {
  last_want_ = want_;
  if (count_drops_) {
    // The kernel shortens msg_controllen to what it wrote: room again.
    for (unsigned i = 0; i < want_; ++i) {
      msgs_[i].msg_hdr.msg_control = control_[i].bytes;
      msgs_[i].msg_hdr.msg_controllen = sizeof(control_[i].bytes);
    }
  }
  // Source addresses are not asked for: the socket is bound to its group.
  const int n = ::recvmmsg(fd, msgs_, want_, wait ? MSG_WAITFORONE : MSG_DONTWAIT, nullptr);
  if (n < 0) {
    last_ = 0;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -errno;
  }
  last_ = static_cast<unsigned>(n);
  if (count_drops_ && n > 0) {
    // The newest datagram carries the newest count.
    msghdr& h = msgs_[n - 1].msg_hdr;
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
        std::memcpy(&kernel_drops_, CMSG_DATA(c), sizeof(kernel_drops_));
      }
    }
  }
  const unsigned next = last_ == want_ ? want_ * 2 : last_ + 1;
  want_ = next > kMaxBatch ? kMaxBatch : next;
  grow_to(want_);
  return n;
}

}  // namespace zavo
