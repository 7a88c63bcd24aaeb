#include "downstream/DeliverSMQueue.h"

#include "smpp/EventLoop.h"

namespace quorvex {

void DeliverSMQueue::push(std::string_view esmeSystemID, const uint8_t* body, size_t length) {
  // Copied before the lock: the pushing and the popping thread meet on it
  // once per receipt each, so nothing allocates or frees under it.
  std::vector<uint8_t> copy(body, body + length);
  bool wake = false;
  {
    std::lock_guard<SpinningMutex> lock(mutex_);
    auto it = queues_.find(esmeSystemID);
    if (it == queues_.end()) {
      it = queues_.emplace(std::string(esmeSystemID), Queue()).first;
    }
    it->second.bodies.push_back(std::move(copy));
    metrics_.deliverQueueGrew();
    if (!it->second.ready) {
      it->second.ready = true;
      wake = ready_.empty();
      ready_.push_back(it->first);
      anyReady_.store(true, std::memory_order_release);
    }
  }
  if (wake) {
    if (smpp::EventLoop* loop = wakeLoop_.load()) {
      loop->wake();
    }
  }
}

bool DeliverSMQueue::pop(std::string_view esmeSystemID, std::vector<uint8_t>& body) {
  std::vector<uint8_t> taken;
  {
    std::lock_guard<SpinningMutex> lock(mutex_);
    const auto it = queues_.find(esmeSystemID);
    if (it == queues_.end() || it->second.bodies.empty()) {
      return false;
    }
    taken = std::move(it->second.bodies.front());
    it->second.bodies.pop_front();
    metrics_.deliverQueueShrank();
  }
  // Swapped, not copied; the caller's previous buffer is freed here, after
  // the lock.
  body.swap(taken);
  return true;
}

size_t DeliverSMQueue::size(std::string_view esmeSystemID) {
  std::lock_guard<SpinningMutex> lock(mutex_);
  const auto it = queues_.find(esmeSystemID);
  return it == queues_.end() ? 0 : it->second.bodies.size();
}

void DeliverSMQueue::takeReady(std::vector<std::string>& out) {
  if (!anyReady_.load(std::memory_order_acquire)) {
    return;
  }
  std::lock_guard<SpinningMutex> lock(mutex_);
  for (std::string& systemId : ready_) {
    const auto it = queues_.find(systemId);
    if (it != queues_.end()) {
      it->second.ready = false;
    }
    out.push_back(std::move(systemId));
  }
  ready_.clear();
  anyReady_.store(false, std::memory_order_release);
}

DeliverSMQueue& deliverSMQueue() {
  static DeliverSMQueue queue;
  return queue;
}

} // namespace quorvex
