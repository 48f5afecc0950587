// Reads a burst of datagrams (or captured frames) with one system call.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace Qen {

class RecvBatch {
 public:
  // Room for `count` datagrams of at most `maxLen` bytes each.
  RecvBatch(size_t count, size_t maxLen);
  RecvBatch(const RecvBatch&) = delete;
  RecvBatch& operator=(const RecvBatch&) = delete;

  // Reads what is queued on `fd`, up to the batch size, without waiting.
  // Returns the number read, or -1 with errno set (EAGAIN: nothing queued).
  int Receive(int fd);

  const unsigned char* Data(int i) const {
    return buffers_.get() + static_cast<size_t>(i) * maxLen_;
  }
  // The bytes actually held, never more than the buffer.
  size_t Length(int i) const;
  // The sender's (or the capture's) address of datagram i.
  const sockaddr_storage& From(int i) const { return from_[static_cast<size_t>(i)]; }
  int Capacity() const { return static_cast<int>(msgs_.size()); }

 private:
  size_t maxLen_;
  // Left uninitialised: only the bytes the kernel fills are ever read, and
  // untouched pages of a large batch cost no memory.
  std::unique_ptr<unsigned char[]> buffers_;
  std::vector<struct iovec> iov_;
  std::vector<sockaddr_storage> from_;
  std::vector<struct mmsghdr> msgs_;
};

}  // namespace Qen
