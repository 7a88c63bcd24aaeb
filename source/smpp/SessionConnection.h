// One session's connection: the socket, the framing reader and the output
// buffer.
//
// The reader is driven by readiness: whoever watches the descriptor (poll or
// epoll, level-triggered) calls readPDU() until it returns false; each call
// reads the socket at most once and only when no complete PDU is buffered.
//
// Sending appends whole PDUs to the output buffer. A connection bound to an
// event loop asks that loop to flush it at the end of the pass (so every PDU
// queued in one pass leaves in one send); without a loop it flushes at once.
// Whatever the kernel does not take waits for write readiness: no thread
// ever sleeps on a full socket.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "app/SpinningMutex.h"
#include "smpp/PDUHeader.h"
#include "smpp/SMPPSocket.h"

namespace quorvex::smpp {

class EventLoop;

// Outcome of one flush.
enum class FlushResult {
  kDone,    // the output buffer is empty
  kPending, // the kernel took what it could; the rest waits for writability
  kFailed,  // the connection is dead
};

// Errors after which a connection is unusable.
bool isFatalSocketErrno(int error);

class SessionConnection {
public:
  SessionConnection();
  ~SessionConnection();
  SessionConnection(const SessionConnection&) = delete;
  SessionConnection& operator=(const SessionConnection&) = delete;

  // Puts a socket under the connection. With `ownsDescriptor` closing the
  // connection closes the descriptor too.
  void attach(std::unique_ptr<SMPPSocket> socket, int descriptor, bool ownsDescriptor);

  // True when one complete PDU is in header() and body(). Without
  // `mayRead` only what is buffered is looked at.
  bool readPDU(bool mayRead = true);
  // Socket reads so far; a caller allows itself one per readiness event, so
  // a peer that keeps sending cannot hold the loop (the rest stays in the
  // kernel and is reported again by the next wait).
  uint64_t reads() const { return reads_; }
  // A complete PDU waits in the read buffer.
  bool hasBufferedPDU() const;
  // Input no readiness event will report: a complete PDU in the read
  // buffer, or what a TLS layer already took from the kernel.
  bool inputWaiting() const { return hasBufferedPDU() || (socket_ && socket_->holdsInput()); }

  // Frames one PDU into the output buffer; false when the connection is
  // dead, the body too long or the buffer at its hard limit. Any thread:
  // the send lock keeps PDUs of different threads whole and in order.
  bool sendE(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
             const uint8_t* body, size_t bodyLength);

  // From now on flushes run on `loop` (its thread), which watches the
  // descriptor under its current generation. Null flushes at every send.
  void bindLoop(EventLoop* loop);
  // Writes as much buffered output as the kernel takes (loop thread).
  FlushResult flush();
  // Octets waiting in the output buffer (any thread).
  size_t pendingOutput() const { return pendingOutput_.load(std::memory_order_relaxed); }
  // Monotonic µs since which buffered output has made no progress; 0 while
  // the buffer is empty.
  uint64_t outputStalledSince() const { return stalledSince_.load(std::memory_order_relaxed); }

  // Above this much unsent output a connection stops taking work: the side
  // that feeds it pauses until it is back under kOutputLowWater.
  static constexpr size_t kOutputHighWater = 512 * 1024;
  static constexpr size_t kOutputLowWater = 128 * 1024;
  // Output at which a flush handed over at the end of a pass is asked for
  // at once instead.
  static constexpr size_t kEarlyFlush = 64 * 1024;
  // Never buffered beyond this: a send that would pass it fails whole.
  static constexpr size_t kOutputHardLimit = 64 * 1024 * 1024;

  // Writes what the kernel takes of the queued output (also after the
  // peer's end of stream), then closes the descriptor if owned, marks the
  // connection dead and drops the socket.
  void close();

  // Marks the connection dead without closing anything.
  void markDead() { dead_.store(true, std::memory_order_relaxed); }

  bool dead() const { return dead_.load(std::memory_order_relaxed); }
  bool peerClosed() const { return peerClosed_.load(std::memory_order_relaxed); }
  bool framePending() const { return framePending_; }
  int descriptor() const { return descriptor_.load(std::memory_order_relaxed); }
  bool ownsDescriptor() const { return ownsDescriptor_; }
  SMPPSocket* socket() const { return socket_.get(); }

  // The PDU delivered by the last successful readPDU().
  const PDUHeader& header() const { return header_; }
  // Its body; zero octets follow the body's end.
  const uint8_t* body() const { return body_.get(); }
  int bodyLength() const { return bodyLength_; }

  // Octets received and not yet consumed (buffer_socket_idx).
  int bufferedOctets() const { return static_cast<int>(readEnd_ - readStart_); }
  const uint8_t* bufferedData() const { return readBuffer_.get() + readStart_; }
  // Octets the socket reports waiting in the kernel.
  long socketAvailable() const { return socket_ ? socket_->available() : 0; }

private:
  void fill();
  bool extract();
  void closeLocked();
  // Forgets buffered output and the loop (send lock held).
  void dropOutputLocked();
  // Writes sending_, refilled from output_ under `lock`, until both are empty
  // or the kernel refuses more; `unlocked` releases the lock while writing.
  FlushResult drain(std::unique_lock<SpinningMutex>& lock, bool unlocked, bool closing = false);
  void reportSendFailure(int error);

  // Anonymous pages: zero until written and resident only once touched, so
  // a session whose PDUs are small holds one page of its 64 KiB body. Under
  // AddressSanitizer the heap is used instead, for its guards around it.
  struct PageRelease {
    size_t size; // octets mapped
    bool mapped; // false: allocated with new[]
    void operator()(uint8_t* pages) const;
  };
  using ZeroPages = std::unique_ptr<uint8_t[], PageRelease>;
  static ZeroPages mapZeroPages(size_t size);

  const uint32_t bodyCapacity_ = kMaxCommandLength;   // octets of the body buffer
  std::unique_ptr<SMPPSocket> socket_;                // the stream; null when none
  std::atomic<int> descriptor_{-1};                   // socket descriptor, -1 when closed
  bool ownsDescriptor_ = false;                       // close() closes the descriptor
  std::atomic<bool> dead_{false};                     // never read or send again
  std::atomic<bool> peerClosed_{false};               // the peer's orderly shutdown was seen
  ZeroPages body_;                                    // body of the current PDU, zero-padded
  uint32_t bodyDirty_ = 0;                            // octets of body_ that may be non-zero
  bool framePending_ = false;                         // header decoded, body incomplete
  PDUHeader header_;                                  // header of the current PDU
  int bodyLength_ = 0;                                // octets of the current body
  std::unique_ptr<uint8_t[]> readBuffer_;             // received octets
  const uint32_t readCapacity_ = kReadBufferCapacity; // octets of readBuffer_
  uint32_t readStart_ = 0;                            // first unconsumed octet
  uint32_t readEnd_ = 0;                              // one past the last received octet
  uint64_t reads_ = 0;                                // socket reads so far
  SpinningMutex sendMutex_;                           // guards output_ and the swap into sending_
  std::vector<uint8_t> output_;                       // framed PDUs appended since the last swap
  std::vector<uint8_t> sending_;                      // the batch being written (flushing thread)
  size_t sendingHead_ = 0;                            // first unwritten octet of sending_
  std::atomic<size_t> pendingOutput_{0};              // octets unwritten in both buffers
  std::atomic<uint64_t> stalledSince_{0}; // monotonic µs of the last progress, 0 = empty
  EventLoop* loop_ = nullptr;             // loop that flushes, null = flush on send
  uint32_t loopGeneration_ = 0;           // the descriptor's watch generation there
  bool flushRequested_ = false;           // a flush is pending on loop_
};

} // namespace quorvex::smpp
