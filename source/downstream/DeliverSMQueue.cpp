#include "downstream/DeliverSMQueue.h"

namespace quorvex {

void DeliverSMQueue::push(std::string_view esmeSystemID, const uint8_t* body, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = queues_.find(esmeSystemID);
  if (it == queues_.end()) {
    it = queues_.emplace(std::string(esmeSystemID), Fifo()).first;
  }
  it->second.emplace_back(body, body + length);
  metrics_.deliverQueueGrew();
}

bool DeliverSMQueue::pop(std::string_view esmeSystemID, std::vector<uint8_t>& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = queues_.find(esmeSystemID);
  if (it == queues_.end() || it->second.empty()) {
    return false;
  }
  // Swapped, not copied: the caller's buffer is released with the queue slot.
  body.swap(it->second.front());
  it->second.pop_front();
  metrics_.deliverQueueShrank();
  return true;
}

size_t DeliverSMQueue::size(std::string_view esmeSystemID) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = queues_.find(esmeSystemID);
  return it == queues_.end() ? 0 : it->second.size();
}

DeliverSMQueue& deliverSMQueue() {
  static DeliverSMQueue queue;
  return queue;
}

} // namespace quorvex
