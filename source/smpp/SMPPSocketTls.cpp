#include "smpp/SMPPSocketTls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "smpp/EventLoop.h"
#include "smpp/TlsContext.h"

namespace quorvex::smpp {
namespace {

bool isAddress(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

int clampLength(size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

// OpenSSL reads and writes the descriptor itself, without MSG_DONTWAIT: an
// accepted socket, blocking by default, would stall the loop in read(2).
bool makeNonBlocking(int descriptor) {
  const int flags = ::fcntl(descriptor, F_GETFL);
  return flags >= 0 &&
         ((flags & O_NONBLOCK) != 0 || ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == 0);
}

SSL* newSession(const TlsContext& context, int descriptor) {
  if (!makeNonBlocking(descriptor)) {
    return nullptr;
  }
  SSL* ssl = SSL_new(context.handle());
  if (ssl != nullptr && SSL_set_fd(ssl, descriptor) != 1) {
    SSL_free(ssl);
    return nullptr;
  }
  return ssl;
}

} // namespace

std::unique_ptr<SMPPSocketTls> SMPPSocketTls::accepting(const TlsContext& context, int descriptor) {
  SSL* ssl = newSession(context, descriptor);
  if (ssl == nullptr) {
    return nullptr;
  }
  SSL_set_accept_state(ssl);
  return std::unique_ptr<SMPPSocketTls>(new SMPPSocketTls(ssl, descriptor));
}

std::unique_ptr<SMPPSocketTls> SMPPSocketTls::connecting(const TlsContext& context, int descriptor,
                                                         const std::string& host) {
  SSL* ssl = newSession(context, descriptor);
  if (ssl == nullptr) {
    return nullptr;
  }
  SSL_set_connect_state(ssl);
  const bool address = isAddress(host);
  bool named = true;
  if (!address && !host.empty()) {
    named = SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
  }
  if (context.verifies()) {
    named = named && (address ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str())
                              : SSL_set1_host(ssl, host.c_str())) == 1;
  }
  if (!named) {
    SSL_free(ssl);
    return nullptr;
  }
  return std::unique_ptr<SMPPSocketTls>(new SMPPSocketTls(ssl, descriptor));
}

SMPPSocketTls::~SMPPSocketTls() { SSL_free(ssl_); }

int SMPPSocketTls::failWith(int result) {
  const int code = SSL_get_error(ssl_, result);
  switch (code) {
  case SSL_ERROR_WANT_READ:
  case SSL_ERROR_WANT_WRITE:
    ERR_clear_error();
    return EAGAIN;
  case SSL_ERROR_ZERO_RETURN:
    ERR_clear_error();
    return 0;
  case SSL_ERROR_SYSCALL: {
    const int error = errno;
    if (failure_.empty()) {
      failure_ = error != 0 ? std::strerror(error) : "the peer closed the connection";
    }
    ERR_clear_error();
    return error == 0 ? ECONNRESET : error;
  }
  default:
    if (failure_.empty()) {
      const long verified = SSL_get_verify_result(ssl_);
      const unsigned long queued = ERR_peek_error();
      const char* reason = queued != 0 ? ERR_reason_error_string(queued) : nullptr;
      failure_ = reason != nullptr ? reason : TlsContext::takeErrorText("TLS protocol error");
      if (verified != X509_V_OK) {
        failure_ += std::string(": ") + X509_verify_cert_error_string(verified);
      }
    }
    ERR_clear_error();
    return ECONNRESET;
  }
}

SMPPSocketTls::Step SMPPSocketTls::handshake() {
  std::lock_guard<SpinningMutex> lock(mutex_);
  if (established_) {
    return Step::kDone;
  }
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    established_ = true;
    // Records that came with the peer's last flight may already be read.
    mayHold_ = true;
    return Step::kDone;
  }
  const int code = SSL_get_error(ssl_, result);
  if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
    ERR_clear_error();
    return code == SSL_ERROR_WANT_READ ? Step::kWantRead : Step::kWantWrite;
  }
  if (failWith(result) == 0 && failure_.empty()) {
    failure_ = "the peer closed the connection";
  }
  return Step::kFailed;
}

void SMPPSocketTls::watchFor(EventLoop& loop, int fd, Step step) {
  loop.setWriting(fd, step == Step::kWantWrite);
  loop.setReading(fd, step == Step::kWantRead || step == Step::kDone);
}

std::string SMPPSocketTls::description() const {
  std::lock_guard<SpinningMutex> lock(mutex_);
  const char* cipher = SSL_get_cipher_name(ssl_);
  return std::string(SSL_get_version(ssl_)) + " " + (cipher != nullptr ? cipher : "");
}

void SMPPSocketTls::requireCloseNotify() {
  std::lock_guard<SpinningMutex> lock(mutex_);
  SSL_clear_options(ssl_, SSL_OP_IGNORE_UNEXPECTED_EOF);
}

int SMPPSocketTls::read(uint8_t* buffer, size_t length) {
  std::lock_guard<SpinningMutex> lock(mutex_);
  mayHold_ = false;
  if (endPending_) {
    endPending_ = false;
    if (pendingError_ == 0) {
      return 0;
    }
    errno = pendingError_;
    return -1;
  }
  size_t got = 0;
  // Records are read until none is complete (the kernel then reports the
  // rest) or the buffer is full; at most `length` octets, as a plain read.
  while (got < length) {
    ERR_clear_error();
    const int n = SSL_read(ssl_, buffer + got, clampLength(length - got));
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    const int error = failWith(n);
    if (got == 0) {
      if (error == 0) {
        return 0;
      }
      errno = error;
      return -1;
    }
    if (error != EAGAIN) {
      // No readiness event may follow (a close_notify without a FIN).
      endPending_ = true;
      pendingError_ = error;
    }
    return static_cast<int>(got);
  }
  mayHold_ = true;
  return static_cast<int>(got);
}

int SMPPSocketTls::send(const uint8_t* buffer, size_t length) {
  std::lock_guard<SpinningMutex> lock(mutex_);
  if (length == 0) {
    return 0;
  }
  ERR_clear_error();
  const int n = SSL_write(ssl_, buffer, clampLength(length));
  if (n > 0) {
    return n;
  }
  const int error = failWith(n);
  errno = error == 0 ? EPIPE : error;
  return -1;
}

long SMPPSocketTls::available() {
  int pending = 0;
  if (::ioctl(descriptor_, FIONREAD, &pending) != 0) {
    pending = 0;
  }
  std::lock_guard<SpinningMutex> lock(mutex_);
  return pending + SSL_pending(ssl_);
}

bool SMPPSocketTls::holdsInput() const {
  std::lock_guard<SpinningMutex> lock(mutex_);
  return endPending_ || (mayHold_ && SSL_has_pending(ssl_) == 1);
}

void SMPPSocketTls::finish() {
  std::lock_guard<SpinningMutex> lock(mutex_);
  if (established_ && failure_.empty()) {
    // One attempt: the close_notify goes if the kernel takes it now.
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }
}

} // namespace quorvex::smpp
