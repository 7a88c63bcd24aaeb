#include "smpp/SessionConnection.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "smpp/EventLoop.h"

namespace quorvex::smpp {
namespace {

// EAGAIN as spelled by the BSDs, kept for peers of code that uses it.
constexpr int kBsdEagain = 35;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCheckedHeap = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kCheckedHeap = true;
#else
constexpr bool kCheckedHeap = false;
#endif
#else
constexpr bool kCheckedHeap = false;
#endif

} // namespace

SessionConnection::ZeroPages SessionConnection::mapZeroPages(size_t size) {
  if (kCheckedHeap) {
    return ZeroPages(new uint8_t[size](), PageRelease{size, false});
  }
  void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) {
    throw std::bad_alloc();
  }
  return ZeroPages(static_cast<uint8_t*>(pages), PageRelease{size, true});
}

void SessionConnection::PageRelease::operator()(uint8_t* pages) const {
  if (mapped) {
    ::munmap(pages, size);
  } else {
    delete[] pages;
  }
}

bool isFatalSocketErrno(int error) {
  switch (error) {
  case ENOMEM:
  case EPIPE:
  case ENOTSOCK:
  case EMSGSIZE:
  case EOPNOTSUPP:
  case ENETDOWN:
  case ENETUNREACH:
  case ENETRESET:
  case ECONNABORTED:
  case ECONNRESET:
  case ENOBUFS:
  case ENOTCONN:
  case ESHUTDOWN:
  case ETOOMANYREFS:
  case ETIMEDOUT:
  case ECONNREFUSED:
    return true;
  default:
    return false;
  }
}

SessionConnection::SessionConnection()
    : body_(mapZeroPages(kMaxCommandLength)),
      readBuffer_(std::make_unique_for_overwrite<uint8_t[]>(kReadBufferCapacity)) {}

SessionConnection::~SessionConnection() { close(); }

void SessionConnection::attach(std::unique_ptr<SMPPSocket> socket, int descriptor,
                               bool ownsDescriptor) {
  std::lock_guard<SpinningMutex> lock(sendMutex_);
  socket_ = std::move(socket);
  descriptor_.store(descriptor, std::memory_order_relaxed);
  ownsDescriptor_ = ownsDescriptor;
  dead_.store(false, std::memory_order_relaxed);
  peerClosed_.store(false, std::memory_order_relaxed);
  readStart_ = readEnd_ = 0;
  framePending_ = false;
  dropOutputLocked();
}

void SessionConnection::dropOutputLocked() {
  output_.clear();
  sending_.clear();
  sendingHead_ = 0;
  pendingOutput_.store(0, std::memory_order_relaxed);
  stalledSince_.store(0, std::memory_order_relaxed);
  loop_ = nullptr;
  flushRequested_ = false;
}

bool SessionConnection::readPDU(bool mayRead) {
  if (!socket_) {
    markDead();
  }
  // A complete PDU already buffered is handed out without a system call;
  // the socket is read once the buffer runs short.
  if (extract()) {
    return true;
  }
  // Input a TLS layer took from the kernel is read without waiting for a
  // readiness event that will not come.
  if (dead() || (!mayRead && !socket_->holdsInput())) {
    return false;
  }
  fill();
  return extract();
}

bool SessionConnection::hasBufferedPDU() const {
  const uint32_t buffered = readEnd_ - readStart_;
  return buffered >= kHeaderLength &&
         buffered >= PDUHeader::decode(readBuffer_.get() + readStart_).command_length;
}

void SessionConnection::fill() {
  ++reads_;
  if (readStart_ > 0) {
    std::memmove(readBuffer_.get(), readBuffer_.get() + readStart_, readEnd_ - readStart_);
    readEnd_ -= readStart_;
    readStart_ = 0;
  }
  // Only an incomplete frame is left here (under 66560 octets), so there is
  // always room. The read takes what fits; the rest of a backlog larger than
  // the buffer stays in the kernel for the next call. Skipping the read
  // whenever the backlog exceeds the free room would stall the session for
  // good once a fast peer gets that far ahead: the backlog only grows, and a
  // level-triggered readiness loop would spin on it.
  if (readEnd_ >= readCapacity_) {
    return;
  }
  const int n = socket_->read(readBuffer_.get() + readEnd_, readCapacity_ - readEnd_);
  if (n > 0) {
    readEnd_ += static_cast<uint32_t>(n);
  } else if (n == 0) {
    peerClosed_.store(true, std::memory_order_relaxed);
    markDead();
  } else if (errno == EBADF || isFatalSocketErrno(errno)) {
    // A spurious readiness (EAGAIN), a signal or a soft error leaves the
    // session as it was.
    markDead();
  }
}

bool SessionConnection::extract() {
  const uint32_t buffered = readEnd_ - readStart_;
  if (buffered < kHeaderLength) {
    return false;
  }
  const uint8_t* frame = readBuffer_.get() + readStart_;
  header_ = PDUHeader::decode(frame);
  // No way to resynchronise a stream whose length field is off: a length
  // below the header is as fatal as an oversized one.
  if (!header_.lengthValid()) {
    markDead();
    return false;
  }
  framePending_ = true;
  if (buffered < header_.command_length) {
    return false;
  }
  const uint32_t bodyLength = header_.command_length - kHeaderLength;
  std::memcpy(body_.get(), frame + kHeaderLength, bodyLength);
  // Only what the previous bodies wrote needs clearing to keep zeros behind
  // the end; clearing all 64 KiB for every PDU would dominate small PDUs.
  if (bodyDirty_ > bodyLength) {
    std::memset(body_.get() + bodyLength, 0, bodyDirty_ - bodyLength);
  }
  bodyDirty_ = bodyLength;
  readStart_ += header_.command_length;
  if (readStart_ == readEnd_) {
    readStart_ = readEnd_ = 0;
  }
  framePending_ = false;
  bodyLength_ = static_cast<int>(bodyLength);
  return true;
}

bool SessionConnection::sendE(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
                              const uint8_t* body, size_t bodyLength) {
  std::unique_lock<SpinningMutex> lock(sendMutex_);
  if (dead() || !socket_) {
    return false;
  }
  // A frame the peer would have to refuse is not sent at all.
  if (bodyLength > kMaxBodyLength || (bodyLength > 0 && body == nullptr)) {
    return false;
  }
  const size_t total = bodyLength + kHeaderLength;
  const size_t pending = pendingOutput_.load(std::memory_order_relaxed);
  if (pending + total > kOutputHardLimit) {
    return false;
  }
  const size_t at = output_.size();
  output_.resize(at + total);
  PDUHeader{static_cast<uint32_t>(total), commandId, commandStatus, sequenceNumber}.encode(
      output_.data() + at);
  if (bodyLength > 0) {
    std::memcpy(output_.data() + at + kHeaderLength, body, bodyLength);
  }
  const size_t before = pendingOutput_.fetch_add(total, std::memory_order_relaxed);
  if (before == 0) {
    stalledSince_.store(EventLoop::monotonicMicros(), std::memory_order_relaxed);
  }
  if (loop_ == nullptr) {
    return drain(lock, false) != FlushResult::kFailed;
  }
  if (!flushRequested_) {
    flushRequested_ = true;
    loop_->requestFlush(descriptor(), loopGeneration_);
  } else if (before < kEarlyFlush && before + total >= kEarlyFlush) {
    // A pass queueing this much does not wait for its end to start the
    // writes: the high water mark must hold back a slow peer, not a pass.
    loop_->requestFlush(descriptor(), loopGeneration_, true);
  }
  return true;
}

void SessionConnection::bindLoop(EventLoop* loop) {
  std::lock_guard<SpinningMutex> lock(sendMutex_);
  loop_ = loop;
  loopGeneration_ = loop != nullptr ? loop->generation(descriptor()) : 0;
  flushRequested_ = false;
  if (loop_ != nullptr && pendingOutput_.load(std::memory_order_relaxed) > 0) {
    flushRequested_ = true;
    loop_->requestFlush(descriptor(), loopGeneration_);
  }
}

FlushResult SessionConnection::flush() {
  std::unique_lock<SpinningMutex> lock(sendMutex_);
  // Only the owning loop flushes a bound connection, so the batch in
  // sending_ is its alone and is written without the lock: other threads
  // keep appending meanwhile instead of waiting for the system call.
  return drain(lock, loop_ != nullptr);
}

FlushResult SessionConnection::drain(std::unique_lock<SpinningMutex>& lock, bool unlocked,
                                     bool closing) {
  for (;;) {
    if (sendingHead_ == sending_.size()) {
      if (!lock.owns_lock()) {
        lock.lock();
      }
      flushRequested_ = false;
      if ((dead() && !closing) || !socket_) {
        return FlushResult::kFailed;
      }
      if (output_.empty()) {
        sending_.clear();
        sendingHead_ = 0;
        // Everything went: buffers grown by a burst are given back.
        if (sending_.capacity() > kOutputLowWater) {
          std::vector<uint8_t>().swap(sending_);
        }
        if (output_.capacity() > kOutputLowWater) {
          std::vector<uint8_t>().swap(output_);
        }
        stalledSince_.store(0, std::memory_order_relaxed);
        return FlushResult::kDone;
      }
      sending_.swap(output_);
      output_.clear();
      sendingHead_ = 0;
      if (unlocked) {
        lock.unlock();
      }
    }
    const int n = socket_->send(sending_.data() + sendingHead_, sending_.size() - sendingHead_);
    if (n > 0) {
      sendingHead_ += static_cast<size_t>(n);
      pendingOutput_.fetch_sub(static_cast<size_t>(n), std::memory_order_relaxed);
      stalledSince_.store(EventLoop::monotonicMicros(), std::memory_order_relaxed);
      continue;
    }
    // 0 means the socket has no descriptor: nothing can ever be written.
    const int error = n < 0 ? errno : 0;
    if (n < 0 && (error == EAGAIN || error == kBsdEagain || error == EINTR)) {
      return FlushResult::kPending;
    }
    if (!lock.owns_lock()) {
      lock.lock();
    }
    if (!closing) {
      reportSendFailure(error);
    }
    return FlushResult::kFailed;
  }
}

void SessionConnection::reportSendFailure(int error) {
  // Part of a PDU may be on the wire: the peer's stream is corrupt for good,
  // and what is buffered can never follow.
  markDead();
  std::printf("socket send failed (fd=%d;errno=%d)\n", descriptor(), error);
  errno = error;
  std::perror("socket send failed\n");
}

void SessionConnection::close() {
  std::unique_lock<SpinningMutex> lock(sendMutex_);
  // What was queued still goes, as far as the kernel takes it without
  // waiting: answers to requests that came before the peer's end of stream,
  // an unbind sent just before. A peer that has gone is no failure here.
  if (socket_) {
    drain(lock, false, true);
    socket_->finish();
  }
  closeLocked();
}

void SessionConnection::closeLocked() {
  dropOutputLocked();
  const int descriptor = descriptor_.exchange(-1, std::memory_order_relaxed);
  if (ownsDescriptor_ && descriptor != -1) {
    ::close(descriptor);
  }
  markDead();
  socket_.reset();
}

} // namespace quorvex::smpp
