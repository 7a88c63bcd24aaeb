// Receipts whose message id was not known when they arrived (typically the
// receipt overtook its submit_sm_resp). They are held under the target
// part of the smscid and the message id, so a response on any bind of the
// same target finds them, and delivered when that response arrives. Held
// receipts that never match are dropped after a maximum age, so the table
// cannot grow without bound.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex {

struct HeldReceipt {
  std::vector<uint8_t> body; // deliver_sm body octets as received
  uint64_t arrived = 0;      // µs of arrival
  uint64_t smscid = 0;       // bind the receipt came over
  std::string targetName;    // its target
  int state = 0;             // message_state read from the receipt
  int error = 0;             // network error read from the receipt
  std::string doneDate;      // "done date" word of the receipt text
};

class UnknownReceipts {
public:
  // Holds the receipt (replacing one with the same key); returns the size.
  size_t add(uint64_t smscid, std::string_view messageId, HeldReceipt receipt);
  // Removes and returns the receipt held for the target of `smscid`.
  std::optional<HeldReceipt> take(uint64_t smscid, std::string_view messageId);
  // Drops receipts that arrived more than `maxAgeMicros` before `now`;
  // returns how many.
  size_t expire(uint64_t now, uint64_t maxAgeMicros);
  size_t size();
  // Receipts dropped by expire() so far.
  uint64_t dropped();

private:
  using Key = std::pair<uint64_t, std::string>; // target part, message id
  // Compares owned keys with borrowed ones, so look-ups do not copy the id.
  struct KeyLess {
    using is_transparent = void;
    template <class A, class B> bool operator()(const A& a, const B& b) const {
      return a.first < b.first ||
             (a.first == b.first && std::string_view(a.second) < std::string_view(b.second));
    }
  };
  using Arrivals = std::multimap<uint64_t, Key>; // arrival µs -> key, oldest first
  struct Entry {
    HeldReceipt receipt;        // what was held
    Arrivals::iterator arrival; // its place in arrivals_
  };

  std::mutex mutex_;                   // guards everything below
  std::map<Key, Entry, KeyLess> held_; // the table
  Arrivals arrivals_;                  // expiry order
  uint64_t dropped_ = 0;               // expired so far
};

} // namespace quorvex
