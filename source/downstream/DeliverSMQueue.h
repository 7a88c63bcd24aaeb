// The hand-over of deliver_sm bodies to the main thread: one FIFO per ESME,
// filled by any thread (upstream receipts and MO, simulated receipts) and
// drained by the main loop. A push for an ESME whose queue was empty puts
// the ESME on the ready list and wakes the main loop, so a receipt leaves
// as soon as it arrives; nothing polls the queue.
//
// pop() and size() belong to the one draining thread: it moves everything
// pushed for an ESME over to its own side in one locked step and pops from
// there without the lock, so the two threads meet once per batch, not once
// per body.
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
  // Moves the oldest body of the ESME into `body`; false when none is
  // queued. The draining thread only.
  bool pop(std::string_view esmeSystemID, std::vector<uint8_t>& body);
  // Bodies queued for one ESME. The draining thread only.
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
  using Queues = std::unordered_map<std::string, Queue, StringHash, std::equal_to<>>;
  using Taken = std::unordered_map<std::string, Fifo, StringHash, std::equal_to<>>;

  static constexpr size_t kSpareBuffers = 1024;  // spares kept at most
  static constexpr size_t kSpareCapacity = 4096; // larger buffers are not kept, octets

  // Moves what was pushed for the ESME (and the buffers popped since) over;
  // false when nothing was pushed.
  bool takePushed(std::string_view esmeSystemID, Fifo& taken);

  MetricEvents& metrics_;                    // the queue-size gauge
  SpinningMutex mutex_;                      // guards the three below; held for a few instructions
  Queues queues_;                            // per ESME, pushed and not yet taken over
  std::vector<std::string> ready_;           // ESMEs pushed to since takeReady
  std::vector<std::vector<uint8_t>> spares_; // emptied body buffers for reuse
  Taken taken_;                              // draining thread's side: per ESME, oldest first
  std::vector<std::vector<uint8_t>> popped_; // draining thread's emptied buffers, on their way
                                             // to spares_
  std::atomic<bool> anyReady_{false};        // ready_ is not empty
  std::atomic<smpp::EventLoop*> wakeLoop_{nullptr}; // woken when ready_ fills
};

// The process-wide queue.
DeliverSMQueue& deliverSMQueue();

} // namespace quorvex
