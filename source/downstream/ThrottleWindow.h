// The per-session TPS throttle: a window that opens with a submit and
// closes with the first submit more than one second later. Throttled
// submits stay counted, so a sender that keeps pushing stays throttled for
// the rest of the window.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorvex {

class ThrottleWindow {
public:
  static constexpr uint64_t kWindowMicros = 1000000;

  // Counts one submit at `now` (µs); false when it exceeds `limit`.
  bool admit(uint64_t now, uint16_t limit);

  // Submits of the last closed window and the µs it closed; read by status reports.
  uint64_t closedCount() const { return closedCount_.load(std::memory_order_relaxed); }
  uint64_t closedTime() const { return closedTime_.load(std::memory_order_relaxed); }

private:
  uint64_t start_ = 0;                   // µs the window opened, 0 = none yet
  uint64_t count_ = 0;                   // submits counted in the window
  std::atomic<uint64_t> closedCount_{0}; // count of the last closed window
  std::atomic<uint64_t> closedTime_{0};  // µs it closed
};

} // namespace quorvex
