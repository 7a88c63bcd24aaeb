#include "common/BufferedSocket.h"

#include <cerrno>

namespace quorvex::tools {

int BufferedSocket::send(const uint8_t* buffer, size_t length) {
  if (error_ != 0) {
    errno = error_;
    return -1;
  }
  pending_.insert(pending_.end(), buffer, buffer + length);
  return static_cast<int>(length);
}

bool BufferedSocket::flush() {
  while (error_ == 0 && start_ < pending_.size()) {
    const int n = inner_->send(pending_.data() + start_, pending_.size() - start_);
    if (n > 0) {
      start_ += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      break;
    }
    error_ = n < 0 ? errno : EBADF;
  }
  if (start_ == pending_.size()) {
    pending_.clear();
    start_ = 0;
  } else if (start_ > (1U << 20) && start_ * 2 > pending_.size()) {
    // Reclaim the written front once it dominates, so a slow peer does not
    // make the buffer grow with output that has already gone.
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(start_));
    start_ = 0;
  }
  return error_ == 0;
}

} // namespace quorvex::tools
