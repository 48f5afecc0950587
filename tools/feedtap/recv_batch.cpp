#include "recv_batch.h"

#include <sys/uio.h>

#include <cstring>

namespace Qen {

RecvBatch::RecvBatch(size_t count, size_t maxLen)
    : maxLen_(maxLen > 0 ? maxLen : 1),
      buffers_(new unsigned char[count * maxLen_]),
      iov_(count),
      from_(count),
      msgs_(count) {
  for (size_t i = 0; i < count; ++i) {
    iov_[i].iov_base = buffers_.get() + i * maxLen_;
    iov_[i].iov_len = maxLen_;
    std::memset(&msgs_[i], 0, sizeof(msgs_[i]));
    msgs_[i].msg_hdr.msg_iov = &iov_[i];
    msgs_[i].msg_hdr.msg_iovlen = 1;
    msgs_[i].msg_hdr.msg_name = &from_[i];
  }
}

int RecvBatch::Receive(int fd) {
  // The kernel shortens the address lengths it fills in; every call starts
  // from the full size again.
  for (auto& m : msgs_) {
    m.msg_hdr.msg_namelen = sizeof(sockaddr_storage);
    m.msg_len = 0;
  }
  return ::recvmmsg(fd, msgs_.data(), static_cast<unsigned>(msgs_.size()), MSG_DONTWAIT, nullptr);
}

size_t RecvBatch::Length(int i) const {
  // A datagram longer than the buffer is cut to it (MSG_TRUNC in the flags).
  const size_t n = msgs_[static_cast<size_t>(i)].msg_len;
  return n < maxLen_ ? n : maxLen_;
}

}  // namespace Qen
