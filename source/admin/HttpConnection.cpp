#include "admin/HttpConnection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "admin/ConsolePage.h"
#include "smpp/SMPPSocketTls.h"
#include "smpp/SMPPSocketUnencrypted.h"

namespace quorvex {

namespace {

// Bytes asked of the kernel per read; a pass reads once per connection so
// that one fast peer cannot hold the loop.
constexpr size_t kReadChunk = 64 * 1024;
// How long a closing connection drains what its peer still sends.
constexpr uint64_t kLingerMicros = 1000 * 1000;

// Reason phrases go into the status line; a line break there would end it.
std::string statusLineSafe(const std::string& reason) {
  std::string out = reason;
  for (char& c : out) {
    if (c == '\r' || c == '\n') {
      c = ' ';
    }
  }
  return out;
}

// The Content-Length of a head of `headEnd` bytes, 0 when absent or unreadable.
size_t contentLength(const std::string& text, size_t headEnd) {
  std::string lower = text.substr(0, headEnd);
  for (char& c : lower) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const size_t at = lower.find("\ncontent-length:");
  if (at == std::string::npos) {
    return 0;
  }
  const char* digits = lower.c_str() + at + 16;
  while (*digits == ' ') {
    ++digits;
  }
  char* end = nullptr;
  const unsigned long long value = std::strtoull(digits, &end, 10);
  if (end == digits) {
    return 0;
  }
  // A length that cannot fit is over the limit anyway.
  return value > kMaxRequestBytes ? kMaxRequestBytes + 1 : static_cast<size_t>(value);
}

} // namespace

void send_response(std::string& out, int status, const std::string& reason,
                   const std::string& contentType, const std::string& body) {
  out += "HTTP/1.1 " + std::to_string(status) + " " + statusLineSafe(reason) +
         "\r\nAccess-Control-Allow-Origin: *\r\nContent-Type: " + contentType +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  out += body;
}

void send_options_response(std::string& out, int status, const std::string& reason,
                           const std::string& body) {
  out += "HTTP/1.1 " + std::to_string(status) + " " + statusLineSafe(reason) +
         "\r\nAccess-Control-Allow-Origin: *\r\nAccess-Control-Allow-Headers: "
         "*\r\nAccess-Control-Allow-Methods: *\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  out += body;
}

void formatReply(std::string& out, const HttpReply& reply) {
  switch (reply.kind) {
  case HttpReply::Kind::None:
    return;
  case HttpReply::Kind::Normal:
    send_response(out, reply.status, reply.reason, reply.contentType, reply.body);
    return;
  case HttpReply::Kind::Options:
    send_options_response(out, reply.status, reply.reason, reply.body);
    return;
  case HttpReply::Kind::Fallback:
    out += "HTTP/1.1 200 OK\r\n\r\nOK";
    return;
  case HttpReply::Kind::TooLarge:
    out += refusalReply(ReadResult::TooLarge);
    return;
  case HttpReply::Kind::Console:
    serve_console_page(out);
    return;
  }
}

std::string refusalReply(ReadResult result) {
  const char* statusLine = nullptr;
  switch (result) {
  case ReadResult::TooLarge:
    statusLine = "HTTP/1.1 413 Request too large";
    break;
  case ReadResult::RequestLineLong:
    statusLine = "HTTP/1.1 400 Bad Request";
    break;
  case ReadResult::HeadersTooLarge:
    statusLine = "HTTP/1.1 431 Request Header Fields Too Large";
    break;
  case ReadResult::Complete:
  case ReadResult::Error:
    return {};
  }
  return std::string(statusLine) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

HttpConnection::HttpConnection(int fd, smpp::EventLoop& loop, Owner& owner,
                               const smpp::TlsContext* tls)
    : fd_(fd), loop_(loop), owner_(owner), deadline_(this) {
  if (tls != nullptr) {
    std::unique_ptr<smpp::SMPPSocketTls> socket = smpp::SMPPSocketTls::accepting(*tls, fd);
    if (socket != nullptr) {
      // A cut without close_notify must not pass for the end of a request.
      socket->requireCloseNotify();
      tls_ = socket.get();
      socket_ = std::move(socket);
    }
  } else {
    socket_ = std::make_unique<smpp::SMPPSocketUnencrypted>(fd);
  }
}

HttpConnection::~HttpConnection() {
  if (fd_ >= 0) {
    loop_.remove(fd_);
    ::close(fd_);
  }
}

bool HttpConnection::start() {
  if (socket_ == nullptr || !loop_.add(fd_, this)) {
    ::close(fd_);
    fd_ = -1;
    state_ = State::Closed;
    return false;
  }
  // Counted from the accept, which is no later than the first byte: a peer
  // that sends nothing must not hold a descriptor either.
  loop_.armTimer(deadline_, static_cast<uint64_t>(kRequestTimeoutMillis) * 1000);
  return true;
}

void HttpConnection::onReadable(int) {
  if (state_ == State::Lingering) {
    char discard[4096];
    const ssize_t n = recv(fd_, discard, sizeof(discard), 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      closeNow();
    }
    return;
  }
  if (state_ == State::Writing) {
    // Read interest is off, so this is an error or hang-up: the write finds
    // and ends it, rather than the loop being told again at every wait.
    flush();
    return;
  }
  if (state_ == State::Reading && tls_ != nullptr && !handshake()) {
    return;
  }
  // What a TLS layer already holds brings no readiness event: read on.
  do {
    readRequest();
  } while (state_ == State::Reading && socket_->holdsInput());
}

bool HttpConnection::handshake() {
  // The request deadline bounds the handshake too.
  const smpp::SMPPSocketTls::Step step = tls_->handshake();
  if (step == smpp::SMPPSocketTls::Step::kFailed) {
    closeNow();
    return false;
  }
  smpp::SMPPSocketTls::watchFor(loop_, fd_, step);
  return step == smpp::SMPPSocketTls::Step::kDone;
}

void HttpConnection::readRequest() {
  if (state_ != State::Reading) {
    return;
  }
  const size_t before = in_.size();
  in_.resize(before + kReadChunk);
  const ssize_t n = socket_->read(reinterpret_cast<uint8_t*>(in_.data() + before), kReadChunk);
  in_.resize(before + (n > 0 ? static_cast<size_t>(n) : 0));
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return;
    }
    // Over TLS an error after part of a request may be a cut: nothing runs.
    if (in_.empty() || tls_ != nullptr) {
      perror("recv");
      closeNow();
      return;
    }
    finishReading(ReadResult::Complete);
    return;
  }
  if (n == 0) {
    // The peer stopped sending: what arrived is the request.
    if (in_.empty()) {
      closeNow();
    } else {
      finishReading(ReadResult::Complete);
    }
    return;
  }
  ReadResult result = ReadResult::Complete;
  if (frame(result)) {
    finishReading(result);
  }
}

bool HttpConnection::frame(ReadResult& result) {
  if (needed_ == 0) {
    for (; scanned_ < in_.size(); ++scanned_) {
      if (in_[scanned_] == '\n') {
        if (scanned_ >= 3 && in_.compare(scanned_ - 3, 4, "\r\n\r\n") == 0) {
          needed_ = scanned_ + 1 + contentLength(in_, scanned_ - 3);
          scanned_ = in_.size();
          break;
        }
        lineStart_ = scanned_ + 1;
      } else if (scanned_ - lineStart_ > kMaxLineBytes) {
        result = lineStart_ == 0 ? ReadResult::RequestLineLong : ReadResult::HeadersTooLarge;
        return true;
      }
      if (scanned_ >= kMaxHeaderBytes) {
        result = ReadResult::HeadersTooLarge;
        return true;
      }
    }
  }
  if (in_.size() > kMaxRequestBytes || needed_ > kMaxRequestBytes) {
    result = ReadResult::TooLarge;
    return true;
  }
  result = ReadResult::Complete;
  return needed_ != 0 && in_.size() >= needed_;
}

void HttpConnection::finishReading(ReadResult result) {
  state_ = State::Writing;
  loop_.setReading(fd_, false);
  out_ = owner_.onRequest(result, in_);
  std::string().swap(in_);
  if (out_.empty()) {
    closeNow();
    return;
  }
  // The peer has as long to take the reply as it had to send the request.
  loop_.armTimer(deadline_, static_cast<uint64_t>(kRequestTimeoutMillis) * 1000);
  flush();
}

void HttpConnection::onWritable(int) {
  if (state_ == State::Writing) {
    flush();
  } else if (state_ == State::Reading && tls_ != nullptr && handshake()) {
    onReadable(fd_);
  }
}

void HttpConnection::flush() {
  while (sent_ < out_.size()) {
    const ssize_t n =
        socket_->send(reinterpret_cast<const uint8_t*>(out_.data() + sent_), out_.size() - sent_);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      loop_.setWriting(fd_, true);
      return;
    }
    if (n <= 0) {
      closeNow();
      return;
    }
    sent_ += static_cast<size_t>(n);
  }
  linger();
}

void HttpConnection::linger() {
  std::string().swap(out_);
  state_ = State::Lingering;
  loop_.setWriting(fd_, false);
  socket_->finish();
  ::shutdown(fd_, SHUT_WR);
  loop_.setReading(fd_, true);
  loop_.armTimer(deadline_, kLingerMicros);
}

void HttpConnection::onTimer(smpp::Timer&) {
  if (state_ == State::Reading && !in_.empty()) {
    // The peer stopped sending without closing: what arrived is the request.
    finishReading(ReadResult::Complete);
    return;
  }
  closeNow();
}

void HttpConnection::closeNow() {
  if (state_ == State::Closed) {
    return;
  }
  state_ = State::Closed;
  loop_.cancelTimer(deadline_);
  loop_.remove(fd_);
  ::close(fd_);
  fd_ = -1;
  owner_.onClosed(*this);
}

} // namespace quorvex
