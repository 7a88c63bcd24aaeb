#include "smpp/EventLoop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace quorvex::smpp {
namespace {

// Events fetched per epoll_wait; more stay pending for the next pass.
constexpr int kMaxEvents = 256;

uint64_t pack(int fd, uint32_t generation) {
  return (static_cast<uint64_t>(generation) << 32) | static_cast<uint32_t>(fd);
}

} // namespace

EventLoop::EventLoop() : epollFd_(::epoll_create1(EPOLL_CLOEXEC)) { ready_.reserve(kMaxEvents); }

EventLoop::~EventLoop() {
  if (epollFd_ >= 0) {
    ::close(epollFd_);
  }
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
  if (!present) {
    ++watched_;
  }
  return true;
}

void EventLoop::remove(int fd) {
  if (fd < 0 || static_cast<size_t>(fd) >= slots_.size() || slots_[fd].handler == nullptr) {
    return;
  }
  ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
  slots_[fd].handler = nullptr;
  ++slots_[fd].generation;
  --watched_;
}

bool EventLoop::watching(int fd) const {
  return fd >= 0 && static_cast<size_t>(fd) < slots_.size() && slots_[fd].handler != nullptr;
}

int EventLoop::poll(int timeoutMillis) {
  epoll_event events[kMaxEvents];
  const int count = ::epoll_wait(epollFd_, events, kMaxEvents, timeoutMillis);
  if (count <= 0) {
    return count;
  }
  // Copied first: handlers may add and remove descriptors while we dispatch.
  ready_.clear();
  for (int i = 0; i < count; ++i) {
    ready_.push_back(events[i].data.u64);
  }
  for (const uint64_t key : ready_) {
    const int fd = static_cast<int>(key & 0xffffffffU);
    const uint32_t generation = static_cast<uint32_t>(key >> 32);
    if (static_cast<size_t>(fd) >= slots_.size()) {
      continue;
    }
    const Slot& slot = slots_[fd];
    if (slot.handler != nullptr && slot.generation == generation) {
      slot.handler->onReadable(fd);
    }
  }
  return count;
}

} // namespace quorvex::smpp
