// A small readiness loop over epoll, level-triggered. Servers register a
// handler per descriptor and call poll() once per pass; nothing else in the
// code base waits on descriptors itself.
//
// Cost: poll() is O(ready descriptors), not O(watched descriptors), so a
// thousand idle ESME sessions cost nothing per 1 ms pass. Any descriptor
// number is fine (no 1024 limit as with select).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvex::smpp {

class EventHandler {
public:
  virtual ~EventHandler() = default;
  // The descriptor is readable (or has an error or hang-up to report).
  virtual void onReadable(int fd) = 0;
};

class EventLoop {
public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // False when the loop could not be created.
  bool valid() const { return epollFd_ >= 0; }

  // Watches `fd` for reading; false (with errno) when the kernel refuses it.
  bool add(int fd, EventHandler* handler);
  // Stops watching; safe from inside a handler, also for other descriptors
  // reported ready in the same pass (they are skipped). Call before close().
  void remove(int fd);
  bool watching(int fd) const;
  // Number of watched descriptors.
  size_t size() const { return watched_; }

  // Waits up to `timeoutMillis` and calls the handler of each ready
  // descriptor once. Returns the number of ready descriptors, 0 on timeout,
  // -1 with errno on failure (EINTR included).
  int poll(int timeoutMillis);

private:
  struct Slot {
    EventHandler* handler = nullptr; // null when not watched
    uint32_t generation = 0;         // bumped on every add, so stale events are dropped
  };

  int epollFd_ = -1;            // the epoll instance
  std::vector<Slot> slots_;     // indexed by descriptor
  size_t watched_ = 0;          // descriptors with a handler
  std::vector<uint64_t> ready_; // fd and generation of this pass's events
};

} // namespace quorvex::smpp
