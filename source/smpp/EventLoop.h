// A small event loop over epoll, level-triggered: file events (read, and
// write only while a handler asks for it), timers, a wake-up for other
// threads and the flushing of output buffers once per pass.
//
// Costs: a pass is O(ready descriptors + due timers + connections with
// output), never O(watched descriptors); the wait is the nearest timer's
// deadline, so a loop with nothing due sleeps in epoll_wait. wake() costs
// one eventfd write the first time it is called after a pass, nothing after.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "app/SpinningMutex.h"
#include "smpp/TimerHeap.h"

namespace quorvex::smpp {

class EventHandler {
public:
  virtual ~EventHandler() = default;
  // The descriptor is readable (or has an error or hang-up to report).
  virtual void onReadable(int fd) = 0;
  // The descriptor is writable (while write interest is on), or a flush was
  // requested for it with requestFlush().
  virtual void onWritable(int fd) { (void)fd; }
};

class EventLoop {
public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // False when the loop could not be created.
  bool valid() const { return epollFd_ >= 0 && wakeFd_ >= 0; }

  // Monotonic microseconds, the time base of the timers.
  static uint64_t monotonicMicros();

  // Watches `fd` for reading; false (with errno) when the kernel refuses it.
  bool add(int fd, EventHandler* handler);
  // Stops watching; safe from inside a handler, also for other descriptors
  // reported ready in the same pass (they are skipped). Call before close().
  void remove(int fd);
  bool watching(int fd) const;
  // Generation of the watch on `fd` (changes with every add and remove).
  uint32_t generation(int fd) const;
  // Read interest (on after add) and write interest (off after add).
  void setReading(int fd, bool on);
  void setWriting(int fd, bool on);
  // Number of watched descriptors.
  size_t size() const { return watched_; }

  // Any thread: calls the handler's onWritable(fd) at the end of the current
  // (or next) pass, if the watch still has this generation. From another
  // thread it wakes the loop; from inside another loop's pass the request is
  // handed over when that pass ends (unless `now`), so that everything the
  // pass queued for one connection leaves in one write, not one per PDU.
  void requestFlush(int fd, uint32_t generation, bool now = false);

  // Loop thread only. Arms (or moves) a timer `delayMicros` from now.
  void armTimer(Timer& timer, uint64_t delayMicros);
  void cancelTimer(Timer& timer);
  size_t timerCount() const { return timers_.size(); }

  // Any thread: makes the current or next wait return.
  void wake();
  // The eventfd behind wake(), for a signal handler.
  int wakeDescriptor() const { return wakeFd_; }

  // One pass: waits up to `timeoutMillis` (-1: no limit) or the nearest
  // timer, whichever is first (no wait with flushes pending), calls the
  // handler of each ready descriptor, then due timers and requested flushes. Returns the number of
  // ready watched descriptors, 0 when none, -1 with errno when the wait failed (EINTR included).
  int poll(int timeoutMillis);

private:
  // True on the thread that runs poll() (before the first pass: none).
  bool inLoopThread() const;

  struct Slot {
    EventHandler* handler = nullptr; // null when not watched
    uint32_t generation = 0;         // bumped on every add and remove; stale events are dropped
    uint32_t events = 0;             // epoll interest mask
  };
  struct FlushRequest {
    int fd;              // descriptor to flush
    uint32_t generation; // of its watch when requested
  };
  struct HandOver {
    EventLoop* loop;      // the loop that owns the descriptor
    FlushRequest request; // what it is asked to flush
  };

  void updateInterest(int fd, uint32_t events);
  void dispatch(uint64_t key, uint32_t events);
  void runFlushes();
  void pushRemote(const FlushRequest* requests, size_t count);
  void handOver();
  void drainWake();
  int waitMillis(int timeoutMillis);

  int epollFd_ = -1;                          // the epoll instance
  int wakeFd_ = -1;                           // eventfd behind wake()
  std::atomic<bool> wakePending_{false};      // work was handed over since the last drain
  std::vector<Slot> slots_;                   // indexed by descriptor
  size_t watched_ = 0;                        // descriptors with a handler
  std::vector<uint64_t> ready_;               // key and events of this pass's events
  TimerHeap timers_;                          // armed deadlines
  std::vector<FlushRequest> flushes_;         // loop thread's flush requests
  std::vector<FlushRequest> flushing_;        // the batch being flushed
  SpinningMutex remoteMutex_;                 // guards remoteFlushes_; held for a push_back
  std::vector<FlushRequest> remoteFlushes_;   // other threads' flush requests
  std::vector<HandOver> handOvers_;           // this pass's requests for other loops
  std::vector<FlushRequest> handOverBatch_;   // one target loop's share of handOvers_
  std::atomic<std::thread::id> loopThread_{}; // thread running poll()
};

} // namespace quorvex::smpp
