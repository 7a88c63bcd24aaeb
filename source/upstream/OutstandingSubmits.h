// Submits sent on one upstream session and not yet answered: upstream
// sequence number -> what the ESME's answer needs, and the send time.
//
// Upstream sequence numbers grow by one per PDU, so the table is a ring
// indexed by the sequence number: adding and taking cost no allocation once
// the ring is as large as the bind's window. It starts small and doubles
// when a cell it needs is still taken, up to its capacity, so hundreds of
// lightly loaded binds do not each hold the largest ring. An entry still
// waiting when its cell comes round again in a full-sized ring moves to a
// small overflow map. The oldest waiting entry is found by a front index that
// only moves forward (amortised O(1)); the response timeout reads it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "app/SpinningMutex.h"
#include "cdr/CDRRecord.h"

namespace quorvex {

// The ESME side of one submit sent upstream.
struct SubmitOrigin {
  uint32_t esmeSequence = 0; // the ESME's sequence number
  uint64_t esmeSession = 0;  // the ESME's session id
  uint32_t esmeCommand = 0;  // its request: submit_sm or data_sm, answered in kind
  bool wantsReceipt = false; // registered_delivery asked for a receipt or notification
  OpenCDR cdr;               // its call-detail record; null when none is kept
};

class OutstandingSubmits {
public:
  // `capacity` (the largest ring) is rounded up to a power of two.
  explicit OutstandingSubmits(size_t capacity = 4096);

  void add(uint32_t sequence, SubmitOrigin origin, uint64_t sentMicros);
  // Removes the entry and returns its origin.
  std::optional<SubmitOrigin> take(uint32_t sequence);
  // Removes every entry, oldest first: the bind is gone and each one is
  // answered by the caller.
  std::vector<std::pair<uint32_t, SubmitOrigin>> takeAll();
  // Send time of the oldest waiting entry; 0 when nothing waits.
  uint64_t oldestSent();
  size_t size();
  // Calls f(sequence, sentMicros) for every waiting entry (diagnostics).
  template <class F> void forEach(F f) {
    std::lock_guard<SpinningMutex> lock(mutex_);
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
    uint32_t sequence = 0; // upstream sequence number
    SubmitOrigin origin;   // what the ESME's answer needs
    uint64_t sent = 0;     // µs the submit went out
    bool live = false;     // waiting for its response
  };

  static constexpr uint32_t kLastSequence = 0x7FFFFFFF; // sequence numbers wrap to 1 after it
  static constexpr size_t kFirstCells = 64;             // ring size of a new bind

  // Doubles the ring; live cells land in distinct new cells, since their
  // old cells differed in the low bits.
  void grow();

  SpinningMutex mutex_;                // the session's outstanding-table mutex; held briefly
  std::vector<Entry> ring_;            // cell = sequence & mask_
  uint32_t mask_;                      // ring_.size() - 1
  size_t maxCells_;                    // the ring's size limit (a power of two)
  size_t ringLive_ = 0;                // live cells in ring_
  uint32_t front_ = 0;                 // no live ring cell has a lower sequence
  std::map<uint32_t, Entry> overflow_; // entries displaced from the ring
};

} // namespace quorvex
