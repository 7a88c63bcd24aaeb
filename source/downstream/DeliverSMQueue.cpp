#include "downstream/DeliverSMQueue.h"

#include "smpp/EventLoop.h"

namespace quorvex {

void DeliverSMQueue::push(std::string_view esmeSystemID, const uint8_t* body, size_t length) {
  bool wake = false;
  {
    std::lock_guard<SpinningMutex> lock(mutex_);
    auto it = queues_.find(esmeSystemID);
    if (it == queues_.end()) {
      it = queues_.emplace(std::string(esmeSystemID), Queue()).first;
    }
    // Buffers circulate between the two threads instead of being allocated
    // by one and freed by the other, which would make both queue on the
    // allocator's lock; copying a body under this lock costs less.
    std::vector<uint8_t> copy;
    if (!spares_.empty()) {
      copy.swap(spares_.back());
      spares_.pop_back();
    }
    copy.assign(body, body + length);
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

bool DeliverSMQueue::takePushed(std::string_view esmeSystemID, Fifo& taken) {
  std::lock_guard<SpinningMutex> lock(mutex_);
  // The buffers popped since the last take-over go back for the pushes.
  while (!popped_.empty() && spares_.size() < kSpareBuffers) {
    spares_.push_back(std::move(popped_.back()));
    popped_.pop_back();
  }
  const auto it = queues_.find(esmeSystemID);
  if (it == queues_.end() || it->second.bodies.empty()) {
    return false;
  }
  taken.swap(it->second.bodies);
  return true;
}

bool DeliverSMQueue::pop(std::string_view esmeSystemID, std::vector<uint8_t>& body) {
  auto it = taken_.find(esmeSystemID);
  if (it == taken_.end()) {
    it = taken_.emplace(std::string(esmeSystemID), Fifo()).first;
  }
  Fifo& taken = it->second;
  if (taken.empty() && !takePushed(esmeSystemID, taken)) {
    return false;
  }
  // Swapped, not copied; the caller's previous buffer becomes a spare for
  // the pushes.
  std::vector<uint8_t>& front = taken.front();
  body.swap(front);
  if (popped_.size() < kSpareBuffers && front.capacity() <= kSpareCapacity) {
    popped_.push_back(std::move(front));
  }
  taken.pop_front();
  metrics_.deliverQueueShrank();
  return true;
}

size_t DeliverSMQueue::size(std::string_view esmeSystemID) {
  const auto it = taken_.find(esmeSystemID);
  const size_t taken = it == taken_.end() ? 0 : it->second.size();
  std::lock_guard<SpinningMutex> lock(mutex_);
  const auto queued = queues_.find(esmeSystemID);
  return taken + (queued == queues_.end() ? 0 : queued->second.bodies.size());
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
