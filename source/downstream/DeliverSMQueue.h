// The hand-over of deliver_sm bodies to the main thread: one FIFO per ESME,
// filled by any thread (upstream receipts and MO, simulated receipts) and
// drained by the listener's deliver sweep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "metrics/MetricEvents.h"

namespace quorvex {

class DeliverSMQueue {
public:
  static constexpr const char* kLogClass = "DeliverSMQueue";

  explicit DeliverSMQueue(MetricEvents& metrics = metricEvents()) : metrics_(metrics) {}
  DeliverSMQueue(const DeliverSMQueue&) = delete;
  DeliverSMQueue& operator=(const DeliverSMQueue&) = delete;

  // Appends a copy of the body (no header) to the ESME's queue.
  void push(std::string_view esmeSystemID, const uint8_t* body, size_t length);
  // Moves the oldest body of the ESME into `body`; false when none is queued.
  bool pop(std::string_view esmeSystemID, std::vector<uint8_t>& body);
  // Bodies queued for one ESME.
  size_t size(std::string_view esmeSystemID);

private:
  struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  using Fifo = std::deque<std::vector<uint8_t>>;

  MetricEvents& metrics_; // the queue-size gauge
  std::mutex mutex_;      // guards queues_; taken before the metrics lock
  std::unordered_map<std::string, Fifo, StringHash, std::equal_to<>> queues_; // per ESME
};

// The process-wide queue.
DeliverSMQueue& deliverSMQueue();

} // namespace quorvex
