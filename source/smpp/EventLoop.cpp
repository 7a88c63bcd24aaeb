#include "smpp/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "app/Log.h"

namespace quorvex::smpp {
namespace {

// Events fetched per epoll_wait; more stay pending for the next pass.
constexpr int kMaxEvents = 256;
// epoll key of the wake-up eventfd; descriptor keys never have all bits set.
constexpr uint64_t kWakeKey = ~0ULL;

// The loop whose pass runs on this thread, if any.
thread_local EventLoop* tRunningLoop = nullptr;

uint64_t pack(int fd, uint32_t generation) {
  return (static_cast<uint64_t>(generation) << 32) | static_cast<uint32_t>(fd);
}

} // namespace

EventLoop::EventLoop()
    : epollFd_(::epoll_create1(EPOLL_CLOEXEC)), wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  ready_.reserve(kMaxEvents * 2);
  if (epollFd_ >= 0 && wakeFd_ >= 0) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeKey;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &event);
  }
}

EventLoop::~EventLoop() {
  if (wakeFd_ >= 0) {
    ::close(wakeFd_);
  }
  if (epollFd_ >= 0) {
    ::close(epollFd_);
  }
}

uint64_t EventLoop::monotonicMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

bool EventLoop::add(int fd, EventHandler* handler) {
  if (fd < 0 || handler == nullptr || epollFd_ < 0) {
    errno = EINVAL;
    return false;
  }
  if (static_cast<size_t>(fd) >= slots_.size()) {
    slots_.resize(static_cast<size_t>(fd) + 1);
  }
  Slot& slot = slots_[fd];
  const bool present = slot.handler != nullptr;
  const uint32_t generation = slot.generation + 1;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = pack(fd, generation);
  if (::epoll_ctl(epollFd_, present ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) != 0) {
    return false;
  }
  slot.handler = handler;
  slot.generation = generation;
  slot.events = EPOLLIN;
  if (!present) {
    ++watched_;
  }
  return true;
}

void EventLoop::remove(int fd) {
  if (!watching(fd)) {
    return;
  }
  ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
  slots_[fd].handler = nullptr;
  slots_[fd].events = 0;
  ++slots_[fd].generation;
  --watched_;
}

bool EventLoop::watching(int fd) const {
  return fd >= 0 && static_cast<size_t>(fd) < slots_.size() && slots_[fd].handler != nullptr;
}

uint32_t EventLoop::generation(int fd) const { return watching(fd) ? slots_[fd].generation : 0; }

void EventLoop::updateInterest(int fd, uint32_t events) {
  Slot& slot = slots_[fd];
  if (slot.events == events) {
    return;
  }
  epoll_event event{};
  event.events = events;
  event.data.u64 = pack(fd, slot.generation);
  if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event) == 0) {
    slot.events = events;
  }
}

void EventLoop::setReading(int fd, bool on) {
  if (watching(fd)) {
    updateInterest(fd, on ? (slots_[fd].events | EPOLLIN) : (slots_[fd].events & ~EPOLLIN));
  }
}

void EventLoop::setWriting(int fd, bool on) {
  if (watching(fd)) {
    updateInterest(fd, on ? (slots_[fd].events | EPOLLOUT) : (slots_[fd].events & ~EPOLLOUT));
  }
}

bool EventLoop::inLoopThread() const {
  return loopThread_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

void EventLoop::requestFlush(int fd, uint32_t generation, bool now) {
  if (inLoopThread()) {
    flushes_.push_back({fd, generation});
    return;
  }
  if (tRunningLoop != nullptr && !now) {
    tRunningLoop->handOvers_.push_back({this, {fd, generation}});
    return;
  }
  const FlushRequest request{fd, generation};
  pushRemote(&request, 1);
}

void EventLoop::pushRemote(const FlushRequest* requests, size_t count) {
  {
    std::lock_guard<SpinningMutex> lock(remoteMutex_);
    remoteFlushes_.insert(remoteFlushes_.end(), requests, requests + count);
  }
  wake();
}

void EventLoop::handOver() {
  // Grouped by target loop: one lock and one wake-up per loop and pass.
  while (!handOvers_.empty()) {
    EventLoop* target = handOvers_.front().loop;
    handOverBatch_.clear();
    size_t kept = 0;
    for (const HandOver& entry : handOvers_) {
      if (entry.loop == target) {
        handOverBatch_.push_back(entry.request);
      } else {
        handOvers_[kept++] = entry;
      }
    }
    handOvers_.resize(kept);
    target->pushRemote(handOverBatch_.data(), handOverBatch_.size());
  }
}

void EventLoop::wake() {
  // One write per drain: later wake-ups find the flag set and cost nothing.
  if (wakePending_.exchange(true, std::memory_order_acq_rel)) {
    return;
  }
  const uint64_t one = 1;
  ssize_t ignored = ::write(wakeFd_, &one, sizeof(one));
  (void)ignored;
}

void EventLoop::drainWake() {
  // Cleared before the work runs: a wake() from now on is seen next pass.
  wakePending_.store(false, std::memory_order_release);
  {
    std::lock_guard<SpinningMutex> lock(remoteMutex_);
    flushes_.insert(flushes_.end(), remoteFlushes_.begin(), remoteFlushes_.end());
    remoteFlushes_.clear();
  }
}

int EventLoop::waitMillis(int timeoutMillis) {
  if (!flushes_.empty()) {
    return 0;
  }
  if (timers_.empty()) {
    return timeoutMillis;
  }
  const uint64_t now = monotonicMicros();
  const uint64_t due = timers_.nearest();
  if (due <= now) {
    return 0;
  }
  // Rounded up: waking a little early would only spin until the deadline.
  const uint64_t millis = (due - now + 999) / 1000;
  if (timeoutMillis >= 0 && millis > static_cast<uint64_t>(timeoutMillis)) {
    return timeoutMillis;
  }
  return millis > 0x7fffffff ? 0x7fffffff : static_cast<int>(millis);
}

int EventLoop::poll(int timeoutMillis) {
  loopThread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  epoll_event events[kMaxEvents];
  const int count = ::epoll_wait(epollFd_, events, kMaxEvents, waitMillis(timeoutMillis));
  if (count < 0) {
    return count;
  }
  beginClockPass();
  tRunningLoop = this;
  // Copied first: handlers may add and remove descriptors while we dispatch.
  ready_.clear();
  bool woken = false;
  for (int i = 0; i < count; ++i) {
    if (events[i].data.u64 == kWakeKey) {
      uint64_t ignored;
      ssize_t n = ::read(wakeFd_, &ignored, sizeof(ignored));
      (void)n;
      woken = true;
      continue;
    }
    ready_.push_back(events[i].data.u64);
    ready_.push_back(events[i].events);
  }
  for (size_t i = 0; i < ready_.size(); i += 2) {
    dispatch(ready_[i], static_cast<uint32_t>(ready_[i + 1]));
  }
  if (woken) {
    drainWake();
  }
  if (!timers_.empty()) {
    timers_.fireDue(monotonicMicros());
  }
  runFlushes();
  tRunningLoop = nullptr;
  handOver();
  endClockPass();
  return static_cast<int>(ready_.size() / 2);
}

void EventLoop::dispatch(uint64_t key, uint32_t events) {
  const int fd = static_cast<int>(key & 0xffffffffU);
  const uint32_t generation = static_cast<uint32_t>(key >> 32);
  if (static_cast<size_t>(fd) >= slots_.size()) {
    return;
  }
  const Slot& slot = slots_[fd];
  if (slot.handler == nullptr || slot.generation != generation) {
    return;
  }
  if ((events & EPOLLOUT) != 0) {
    slot.handler->onWritable(fd);
  }
  // Re-checked: the write handler may have closed the descriptor. An error
  // or hang-up is reported even with read interest off (it would otherwise
  // be reported again at every wait): the read finds and handles it.
  const bool readable = (events & EPOLLIN) != 0 && (slot.events & EPOLLIN) != 0;
  if ((readable || (events & (EPOLLERR | EPOLLHUP)) != 0) && slot.handler != nullptr &&
      slot.generation == generation) {
    slot.handler->onReadable(fd);
  }
}

void EventLoop::runFlushes() {
  // Flushing may queue more output (a handler answering from onWritable);
  // that lands in flushes_ and makes the next wait zero.
  flushing_.swap(flushes_);
  for (const FlushRequest& request : flushing_) {
    if (static_cast<size_t>(request.fd) < slots_.size()) {
      const Slot& slot = slots_[request.fd];
      if (slot.handler != nullptr && slot.generation == request.generation) {
        slot.handler->onWritable(request.fd);
      }
    }
  }
  flushing_.clear();
}

void EventLoop::armTimer(Timer& timer, uint64_t delayMicros) {
  timers_.arm(timer, monotonicMicros() + delayMicros);
}

void EventLoop::cancelTimer(Timer& timer) { timers_.cancel(timer); }

} // namespace quorvex::smpp
