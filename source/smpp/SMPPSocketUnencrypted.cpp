#include "smpp/SMPPSocketUnencrypted.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

namespace quorvex::smpp {

int SMPPSocketUnencrypted::read(uint8_t* buffer, size_t length) {
  if (descriptor_ == -1) {
    errno = EBADF;
    return -1;
  }
  return static_cast<int>(::recv(descriptor_, buffer, length, MSG_DONTWAIT));
}

int SMPPSocketUnencrypted::send(const uint8_t* buffer, size_t length) {
  if (descriptor_ == -1) {
    return 0;
  }
  // MSG_NOSIGNAL: a peer that has gone must give EPIPE, not kill the process.
  return static_cast<int>(::send(descriptor_, buffer, length, MSG_DONTWAIT | MSG_NOSIGNAL));
}

long SMPPSocketUnencrypted::available() {
  if (descriptor_ == -1) {
    return 0;
  }
  int pending = 0;
  if (::ioctl(descriptor_, FIONREAD, &pending) != 0) {
    return 0;
  }
  return pending;
}

} // namespace quorvex::smpp
