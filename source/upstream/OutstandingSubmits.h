// Submits sent on one upstream session and not yet answered: upstream
// sequence number -> the ESME's sequence number and the send time.
//
// Upstream sequence numbers grow by one per PDU, so the table is a ring
// indexed by the sequence number: adding and taking cost no allocation. An
// entry still waiting when its ring cell comes round again moves to a small
// overflow map. The oldest waiting entry is found by a front index that
// only moves forward (amortised O(1)); the response timeout reads it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace quorvex {

class OutstandingSubmits {
public:
  // `capacity` is rounded up to a power of two.
  explicit OutstandingSubmits(size_t capacity = 4096);

  void add(uint32_t sequence, uint32_t esmeSequence, uint64_t sentMicros);
  // Removes the entry and returns the ESME's sequence number.
  std::optional<uint32_t> take(uint32_t sequence);
  // Send time of the oldest waiting entry; 0 when nothing waits.
  uint64_t oldestSent();
  size_t size();
  // Calls f(sequence, sentMicros) for every waiting entry (diagnostics).
  template <class F> void forEach(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : ring_) {
      if (e.live) {
        f(e.sequence, e.sent);
      }
    }
    for (const auto& [sequence, e] : overflow_) {
      f(sequence, e.sent);
    }
  }

private:
  struct Entry {
    uint32_t sequence = 0;     // upstream sequence number
    uint32_t esmeSequence = 0; // the ESME's sequence number
    uint64_t sent = 0;         // µs the submit went out
    bool live = false;         // waiting for its response
  };

  std::mutex mutex_;                   // the session's outstanding-table mutex
  std::vector<Entry> ring_;            // cell = sequence & mask_
  uint32_t mask_;                      // ring_.size() - 1
  size_t ringLive_ = 0;                // live cells in ring_
  uint32_t front_ = 0;                 // no live ring cell has a lower sequence
  std::map<uint32_t, Entry> overflow_; // entries displaced from the ring
};

} // namespace quorvex
