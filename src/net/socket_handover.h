#pragma once
// Which of two threads reads a feed socket, and the hand-over between them.
//
// A feed socket has one reader at a time, so datagrams are taken in the
// order the kernel queued them. Two threads may take turns:
//   consumer  decodes and calls the user's handler. While it keeps up it
//             also reads the socket itself: one thread, one wake-up per
//             datagram, no copy.
//   reader    the receiver's read thread. It stands by while the consumer
//             owns the socket, and takes it over to drain it into the
//             hand-off queue when the consumer is stuck in a handler (or
//             asks for help). The consumer takes it back once it has
//             emptied the queue.
//
//   kConsumer --TakeOver (reader)--> kReader --BeginReclaim (consumer)-->
//   kReturning --EndReclaim (consumer)--> kConsumer
//
// Each read is bracketed by Begin/EndRead of its thread. Those flags and
// the owner word are sequentially consistent on both sides (Dekker's
// pattern): a thread that changes the owner then waits for the other's
// read in flight, and a thread starting a read either sees the new owner
// and stays away, or is waited for. So a read that overtakes another
// cannot happen, and no lock is taken on the data path. The descriptor
// lives here too: Detach waits for reads in flight before the socket is
// closed, so neither thread reads a closed (or reused) descriptor.
//
// The consumer also publishes its progress, one word per datagram: the
// reader's watchdog tells a consumer that is stuck in one datagram from
// one that is merely busy.
#include <sys/socket.h>

#include <atomic>
#include <cstdint>

namespace zavo {

class SocketHandover {
 public:
  enum class Owner : uint8_t { kConsumer, kReader, kReturning };

  SocketHandover() = default;
  SocketHandover(const SocketHandover&) = delete;
  SocketHandover& operator=(const SocketHandover&) = delete;

  // Puts `fd` in place with its first owner. Before any thread reads.
  void Attach(int fd, Owner first) {
    owner_.store(first, std::memory_order_seq_cst);
    fd_.store(fd, std::memory_order_seq_cst);
  }
  // Takes the descriptor away and waits until no read uses it any more;
  // a consumer blocked in a receive on it is woken by shutting the
  // socket's read side. Returns it (or -1) for the caller to close.
  int Detach() {
    const int fd = fd_.exchange(-1, std::memory_order_seq_cst);
    if (fd >= 0) (void)::shutdown(fd, SHUT_RD);
    while (consumer_reading_.load(std::memory_order_seq_cst) ||
           reader_reading_.load(std::memory_order_seq_cst)) {
      Pause();
    }
    return fd;
  }
  // The socket, for waiting on it; -1 when none. Reads go through Begin*Read.
  int fd() const { return fd_.load(std::memory_order_acquire); }
  Owner owner() const { return owner_.load(std::memory_order_acquire); }

  // ---- consumer ----
  // The descriptor to read now, or -1 when the socket is not the
  // consumer's (or there is none); then no EndRead.
  int ConsumerBeginRead() { return begin_read(consumer_reading_, Owner::kConsumer); }
  void ConsumerEndRead() { consumer_reading_.store(false, std::memory_order_release); }
  // The reader drains; the consumer, having emptied the queue, takes the
  // socket back: after BeginReclaim no datagram enters the queue any more,
  // the consumer empties it once more, then calls EndReclaim.
  void BeginReclaim() {
    owner_.store(Owner::kReturning, std::memory_order_seq_cst);
    while (reader_reading_.load(std::memory_order_seq_cst)) Pause();
  }
  void EndReclaim() { owner_.store(Owner::kConsumer, std::memory_order_seq_cst); }
  // Progress word: odd while a datagram is in hand.
  void BeginDatagram() {
    steps_ += 2;
    progress_.store(steps_ | 1u, std::memory_order_relaxed);
  }
  void EndDatagram() { progress_.store(steps_, std::memory_order_release); }
  // A stuck consumer cannot ask; one that sees its socket's queue grow can.
  void RequestHelp() { help_requested_.store(true, std::memory_order_release); }

  // ---- reader ----
  int ReaderBeginRead() { return begin_read(reader_reading_, Owner::kReader); }
  void ReaderEndRead() { reader_reading_.store(false, std::memory_order_release); }
  uint64_t progress() const { return progress_.load(std::memory_order_acquire); }
  static bool InDatagram(uint64_t progress) { return (progress & 1u) != 0; }
  bool TakeHelpRequest() { return help_requested_.exchange(false, std::memory_order_acq_rel); }
  // kConsumer -> kReader. False when the consumer does not own the socket.
  // The consumer may still be in a receive that started before: the reader
  // then waits for it (ConsumerOutOfReceive) before its own first read.
  bool TakeOver() {
    Owner expected = Owner::kConsumer;
    return owner_.compare_exchange_strong(expected, Owner::kReader, std::memory_order_seq_cst);
  }
  // No consumer receive in flight any more.
  bool ConsumerOutOfReceive() const { return !consumer_reading_.load(std::memory_order_seq_cst); }

  // ---- parking ----
  // A reader with nothing to watch sleeps without a timer. It announces it,
  // then looks at the progress once more; a consumer that starts work after
  // a wait of its own calls NoteWakeUp and wakes a parked reader.
  void AnnouncePark() { reader_parked_.store(true, std::memory_order_seq_cst); }
  void Unpark() { reader_parked_.store(false, std::memory_order_relaxed); }
  // True when the reader was parked and should be woken (once).
  // Called after BeginDatagram: the read-modify-write puts that progress
  // in the single order of sequentially consistent operations, before the
  // look at the flag, as the reader's announcement comes before its look
  // at the progress.
  bool NoteWakeUp() {
    progress_.fetch_add(0, std::memory_order_seq_cst);
    return reader_parked_.load(std::memory_order_seq_cst) &&
           reader_parked_.exchange(false, std::memory_order_acq_rel);
  }

  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

 private:
  int begin_read(std::atomic<bool>& reading, Owner me) {
    reading.store(true, std::memory_order_seq_cst);
    const int fd = fd_.load(std::memory_order_seq_cst);
    if (fd < 0 || owner_.load(std::memory_order_seq_cst) != me) {
      reading.store(false, std::memory_order_release);
      return -1;
    }
    return fd;
  }

  std::atomic<Owner> owner_{Owner::kReader};
  std::atomic<int> fd_{-1};
  alignas(64) std::atomic<bool> consumer_reading_{false};
  std::atomic<uint64_t> progress_{0};
  uint64_t steps_ = 0;  // consumer only
  alignas(64) std::atomic<bool> reader_reading_{false};
  std::atomic<bool> reader_parked_{false};
  std::atomic<bool> help_requested_{false};
};

}  // namespace zavo
