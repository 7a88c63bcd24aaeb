// The weighted submit pools: per target set, a queue of smscid tickets that
// rotates by one on every take. A bind of weight w holds w consecutive
// tickets, so the candidates come in runs (A, A, A, B, ...).
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace quorvex {

class TarnConfiguration;

class SubmitPool {
public:
  // Appends `weight` tickets for `smscid` at the back of the set's queue
  // (creating it); returns the queue length afterwards.
  size_t append(const std::string& targetSetId, uint64_t smscid, int weight);
  // Empties the set's queue; the set keeps its (empty) queue.
  void clear(const std::string& targetSetId);
  // Tickets of the set, 0 when the set has no queue or the configuration
  // does not have it or has its submits disabled. Takes the configuration
  // mutex inside the pool mutex.
  int usableSize(const std::string& targetSetId, TarnConfiguration& config);
  // Front ticket, moved to the back; 0 when there is none.
  uint64_t next(const std::string& targetSetId);
  // Tickets in queue order (front first); empty for an unknown set.
  std::vector<uint64_t> tickets(const std::string& targetSetId);
  // "Shared Target Set ID: " and "SMSC IDs: " lines for every queue.
  void dump(std::FILE* out);

private:
  // A queue kept as a vector and a moving front, so that rotating never
  // allocates (a deque would on every block boundary).
  struct TicketRing {
    std::vector<uint64_t> tickets; // the queue, front at `front`
    size_t front = 0;              // index of the front ticket
  };

  std::mutex mutex_;                                     // the pool mutex
  std::map<std::string, TicketRing, std::less<>> rings_; // target set id -> queue
};

} // namespace quorvex
