#include "upstream/OutstandingSubmits.h"

#include <algorithm>

namespace quorvex {

OutstandingSubmits::OutstandingSubmits(size_t capacity) {
  size_t size = 1;
  while (size < capacity) {
    size <<= 1;
  }
  ring_.resize(size);
  mask_ = static_cast<uint32_t>(size - 1);
}

void OutstandingSubmits::add(uint32_t sequence, uint32_t esmeSequence, uint64_t sentMicros) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& cell = ring_[sequence & mask_];
  if (cell.live) {
    overflow_.emplace(cell.sequence, cell);
    --ringLive_;
  }
  if (ringLive_ == 0) {
    front_ = sequence;
  }
  cell = Entry{sequence, esmeSequence, sentMicros, true};
  ++ringLive_;
}

std::optional<uint32_t> OutstandingSubmits::take(uint32_t sequence) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& cell = ring_[sequence & mask_];
  if (cell.live && cell.sequence == sequence) {
    cell.live = false;
    --ringLive_;
    return cell.esmeSequence;
  }
  auto it = overflow_.find(sequence);
  if (it == overflow_.end()) {
    return std::nullopt;
  }
  const uint32_t esmeSequence = it->second.esmeSequence;
  overflow_.erase(it);
  return esmeSequence;
}

uint64_t OutstandingSubmits::oldestSent() {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t oldest = overflow_.empty() ? 0 : overflow_.begin()->second.sent;
  if (ringLive_ > 0) {
    // Every live cell was added at or after front_, so this stops at one.
    for (;;) {
      const Entry& cell = ring_[front_ & mask_];
      if (cell.live && cell.sequence == front_) {
        break;
      }
      ++front_;
    }
    const uint64_t sent = ring_[front_ & mask_].sent;
    oldest = oldest == 0 ? sent : std::min(oldest, sent);
  }
  return oldest;
}

size_t OutstandingSubmits::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ringLive_ + overflow_.size();
}

} // namespace quorvex
