// The weighted submit pools: per target set, a queue of smscid tickets that
// rotates on every take. A bind of weight w holds w consecutive tickets, so
// the candidates come in runs (A, A, A, B, ...). A take skips the tickets of
// binds that cannot carry a submit (not bound), exactly as trying and
// failing each of them would, but in constant time: each queue keeps the
// positions of its usable tickets, rebuilt when a bind comes up or goes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>
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
  // Marks a bind able (bound for sending) or unable to take submits. Costs
  // O(tickets of every set), once per bind coming up or going.
  void setUsable(uint64_t smscid, bool usable);
  // Usable tickets of the set, 0 when the set has no queue or the
  // configuration does not have it or has its submits disabled. Takes the
  // configuration mutex inside the pool mutex.
  int usableSize(const std::string& targetSetId, TarnConfiguration& config);
  // The first usable ticket from the front; it and the unusable ones before
  // it move to the back. 0 when no ticket is usable.
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
    std::vector<size_t> usable;    // ascending indexes of usable binds' tickets
    size_t cursor = 0;             // index in `usable` of the first one from `front`
  };

  void rebuildUsable(TicketRing& ring) const;

  std::mutex mutex_;                                     // the pool mutex
  std::map<std::string, TicketRing, std::less<>> rings_; // target set id -> queue
  std::unordered_set<uint64_t> usableBinds_;             // smscids that take submits
};

} // namespace quorvex
