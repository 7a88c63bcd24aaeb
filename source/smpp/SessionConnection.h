// One session's connection: the socket, the framing reader and the sender.
//
// The reader is driven by readiness: whoever watches the descriptor (poll or
// epoll, level-triggered) calls readPDU() until it returns false; each call
// reads the socket at most once and only when no complete PDU is buffered.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "smpp/PDUHeader.h"
#include "smpp/SMPPSocket.h"

namespace quorvex::smpp {

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

  // True when one complete PDU is in header() and body().
  bool readPDU();

  // Frames and sends one PDU. The whole frame is written or the PDU fails:
  // a short write is continued, EAGAIN is retried after 1, 2, ... 10 ms, and
  // a frame that stays half-written marks the connection dead. Serialised
  // by the send lock, so PDUs of different threads never interleave.
  bool sendE(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
             const uint8_t* body, size_t bodyLength);

  // Closes the descriptor if owned, marks the connection dead, drops the socket.
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

  const uint32_t bodyCapacity_ = kMaxCommandLength;   // octets of the body buffer
  std::unique_ptr<SMPPSocket> socket_;                // the stream; null when none
  std::atomic<int> descriptor_{-1};                   // socket descriptor, -1 when closed
  bool ownsDescriptor_ = false;                       // close() closes the descriptor
  std::atomic<bool> dead_{false};                     // never read or send again
  std::atomic<bool> peerClosed_{false};               // the peer's orderly shutdown was seen
  std::unique_ptr<uint8_t[]> body_;                   // body of the current PDU, zero-padded
  uint32_t bodyDirty_ = 0;                            // octets of body_ that may be non-zero
  bool framePending_ = false;                         // header decoded, body incomplete
  PDUHeader header_;                                  // header of the current PDU
  int bodyLength_ = 0;                                // octets of the current body
  std::unique_ptr<uint8_t[]> readBuffer_;             // received octets
  const uint32_t readCapacity_ = kReadBufferCapacity; // octets of readBuffer_
  uint32_t readStart_ = 0;                            // first unconsumed octet
  uint32_t readEnd_ = 0;                              // one past the last received octet
  std::mutex sendMutex_;                              // one PDU on the wire at a time
};

} // namespace quorvex::smpp
