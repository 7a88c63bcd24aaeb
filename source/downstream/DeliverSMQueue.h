// The hand-over of deliver_sm bodies to the main thread: one FIFO per ESME,
// filled by any thread (upstream receipts and MO, simulated receipts) and
// drained by the main loop. A push for an ESME whose queue was empty puts
// the ESME on the ready list and wakes the main loop, so a receipt leaves
// as soon as it arrives; nothing polls the queue.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/SpinningMutex.h"
#include "metrics/MetricEvents.h"

namespace quorvex::smpp {
class EventLoop;
}

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

  // The loop woken when an ESME becomes ready; null for none.
  void setWakeLoop(smpp::EventLoop* loop) { wakeLoop_.store(loop); }
  // Moves the ESMEs that received bodies since the last call into `out`
  // (each once); cheap when there are none.
  void takeReady(std::vector<std::string>& out);

private:
  struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  using Fifo = std::deque<std::vector<uint8_t>>;

  struct Queue {
    Fifo bodies;        // oldest first
    bool ready = false; // listed in ready_
  };

  static constexpr size_t kSpareBuffers = 1024;  // spares kept at most
  static constexpr size_t kSpareCapacity = 4096; // larger buffers are not kept, octets

  MetricEvents& metrics_; // the queue-size gauge
  SpinningMutex mutex_;   // guards queues_ and ready_; held for a few instructions
  std::unordered_map<std::string, Queue, StringHash, std::equal_to<>> queues_; // per ESME
  std::vector<std::string> ready_;                  // ESMEs pushed to since takeReady
  std::vector<std::vector<uint8_t>> spares_;        // emptied body buffers for reuse
  std::atomic<bool> anyReady_{false};               // ready_ is not empty
  std::atomic<smpp::EventLoop*> wakeLoop_{nullptr}; // woken when ready_ fills
};

// The process-wide queue.
DeliverSMQueue& deliverSMQueue();

} // namespace quorvex
