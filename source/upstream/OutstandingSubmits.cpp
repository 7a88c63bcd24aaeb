#include "upstream/OutstandingSubmits.h"

#include <algorithm>

namespace quorvex {

OutstandingSubmits::OutstandingSubmits(size_t capacity) {
  size_t size = 1;
  while (size < capacity) {
    size <<= 1;
  }
  maxCells_ = size;
  size = std::min(size, kFirstCells);
  ring_.resize(size);
  mask_ = static_cast<uint32_t>(size - 1);
}

void OutstandingSubmits::grow() {
  std::vector<Entry> larger(ring_.size() * 2);
  const uint32_t mask = static_cast<uint32_t>(larger.size() - 1);
  for (Entry& cell : ring_) {
    if (cell.live) {
      larger[cell.sequence & mask] = std::move(cell);
    }
  }
  ring_.swap(larger);
  mask_ = mask;
}

void OutstandingSubmits::add(uint32_t sequence, SubmitOrigin origin, uint64_t sentMicros) {
  std::lock_guard<SpinningMutex> lock(mutex_);
  while (ring_[sequence & mask_].live && ring_.size() < maxCells_) {
    grow();
  }
  Entry& cell = ring_[sequence & mask_];
  if (cell.live) {
    overflow_.emplace(cell.sequence, std::move(cell));
    --ringLive_;
  }
  if (ringLive_ == 0) {
    front_ = sequence;
  }
  cell = Entry{sequence, std::move(origin), sentMicros, true};
  ++ringLive_;
}

std::optional<SubmitOrigin> OutstandingSubmits::take(uint32_t sequence) {
  std::lock_guard<SpinningMutex> lock(mutex_);
  Entry& cell = ring_[sequence & mask_];
  if (cell.live && cell.sequence == sequence) {
    cell.live = false;
    --ringLive_;
    return std::move(cell.origin);
  }
  auto it = overflow_.find(sequence);
  if (it == overflow_.end()) {
    return std::nullopt;
  }
  SubmitOrigin origin = std::move(it->second.origin);
  overflow_.erase(it);
  return origin;
}

std::vector<std::pair<uint32_t, SubmitOrigin>> OutstandingSubmits::takeAll() {
  std::lock_guard<SpinningMutex> lock(mutex_);
  std::vector<Entry> live;
  live.reserve(ringLive_ + overflow_.size());
  for (auto& [sequence, e] : overflow_) {
    live.push_back(std::move(e));
  }
  for (Entry& cell : ring_) {
    if (cell.live) {
      live.push_back(std::move(cell));
      cell.live = false;
    }
  }
  overflow_.clear();
  ringLive_ = 0;
  std::sort(live.begin(), live.end(),
            [](const Entry& a, const Entry& b) { return a.sent < b.sent; });
  std::vector<std::pair<uint32_t, SubmitOrigin>> taken;
  taken.reserve(live.size());
  for (Entry& e : live) {
    taken.emplace_back(e.sequence, std::move(e.origin));
  }
  return taken;
}

uint64_t OutstandingSubmits::oldestSent() {
  std::lock_guard<SpinningMutex> lock(mutex_);
  // Sequence numbers wrap, so the overflow's order is not the age order;
  // it holds only entries that outlived a whole ring, and is small.
  uint64_t oldest = 0;
  for (const auto& [sequence, e] : overflow_) {
    oldest = oldest == 0 ? e.sent : std::min(oldest, e.sent);
  }
  if (ringLive_ > 0) {
    // Every live cell was added at or after front_, so this stops at one;
    // front_ follows the sequence numbers' own wrap from 0x7FFFFFFF to 1.
    for (;;) {
      const Entry& cell = ring_[front_ & mask_];
      if (cell.live && cell.sequence == front_) {
        break;
      }
      front_ = front_ >= kLastSequence ? 1 : front_ + 1;
    }
    const uint64_t sent = ring_[front_ & mask_].sent;
    oldest = oldest == 0 ? sent : std::min(oldest, sent);
  }
  return oldest;
}

size_t OutstandingSubmits::size() {
  std::lock_guard<SpinningMutex> lock(mutex_);
  return ringLive_ + overflow_.size();
}

} // namespace quorvex
