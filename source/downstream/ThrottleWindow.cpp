#include "downstream/ThrottleWindow.h"

namespace quorvex {

bool ThrottleWindow::admit(uint64_t now, uint16_t limit) {
  if (start_ == 0) {
    start_ = now;
    count_ = 1;
  } else {
    ++count_;
    if (now > start_ && now - start_ > kWindowMicros) {
      // The submit that closes a window opens the next one untested.
      closedCount_.store(count_, std::memory_order_relaxed);
      closedTime_.store(now, std::memory_order_relaxed);
      start_ = now;
      count_ = 1;
      return true;
    }
  }
  return count_ <= limit;
}

} // namespace quorvex
