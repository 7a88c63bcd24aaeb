// Deadlines of one event loop: a binary heap of timers ordered by deadline
// (then by arming order). Arming, moving and cancelling cost O(log n); the
// nearest deadline is read in O(1), so a loop's wait is that deadline and
// nothing is swept per pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvex::smpp {

class Timer;
class TimerHeap;

class TimerHandler {
public:
  virtual ~TimerHandler() = default;
  virtual void onTimer(Timer& timer) = 0;
};

// One deadline, owned by its user and armed on one heap. ~Timer cancels it
// while the heap it was armed on still exists.
class Timer {
public:
  explicit Timer(TimerHandler* handler = nullptr) : handler_(handler) {}
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void setHandler(TimerHandler* handler) { handler_ = handler; }
  bool armed() const { return heapIndex_ != kNotArmed; }
  // Monotonic µs of the deadline while armed.
  uint64_t deadline() const { return deadline_; }

private:
  friend class TimerHeap;
  static constexpr size_t kNotArmed = static_cast<size_t>(-1);

  TimerHandler* handler_;        // called when the deadline passes
  TimerHeap* heap_ = nullptr;    // heap it is armed on
  uint64_t deadline_ = 0;        // monotonic µs
  uint64_t order_ = 0;           // tie-break: earlier arming fires first
  size_t heapIndex_ = kNotArmed; // position in the heap
};

class TimerHeap {
public:
  TimerHeap() = default;
  // Armed timers are left disarmed.
  ~TimerHeap();
  TimerHeap(const TimerHeap&) = delete;
  TimerHeap& operator=(const TimerHeap&) = delete;

  // Arms (or moves) `timer` to `deadline` (monotonic µs).
  void arm(Timer& timer, uint64_t deadline);
  void cancel(Timer& timer);
  bool empty() const { return heap_.empty(); }
  size_t size() const { return heap_.size(); }
  // The nearest deadline; only when not empty.
  uint64_t nearest() const { return heap_.front()->deadline_; }
  // Calls the handler of every timer due at `now`. Timers armed by those
  // handlers wait for the next call, so a handler that re-arms with no delay
  // cannot starve the loop's descriptors.
  void fireDue(uint64_t now);

private:
  bool earlier(const Timer* a, const Timer* b) const;
  void siftUp(size_t index);
  void siftDown(size_t index);
  void place(size_t index, Timer* timer);
  void removeAt(size_t index);

  std::vector<Timer*> heap_; // armed timers, earliest first
  uint64_t order_ = 0;       // arming counter
};

} // namespace quorvex::smpp
