#include "upstream/SubmitPool.h"

#include <algorithm>

#include "config/TarnConfiguration.h"

namespace quorvex {

size_t SubmitPool::append(const std::string& targetSetId, uint64_t smscid, int weight) {
  std::lock_guard<std::mutex> lock(mutex_);
  TicketRing& ring = rings_[targetSetId];
  if (weight > 0) {
    // The back of a rotated queue is just before its front.
    ring.tickets.insert(ring.tickets.begin() + static_cast<std::ptrdiff_t>(ring.front),
                        static_cast<size_t>(weight), smscid);
    ring.front += static_cast<size_t>(weight);
    if (ring.front == ring.tickets.size()) {
      ring.front = 0;
    }
    rebuildUsable(ring);
  }
  return ring.tickets.size();
}

void SubmitPool::setUsable(uint64_t smscid, bool usable) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool changed =
      usable ? usableBinds_.insert(smscid).second : usableBinds_.erase(smscid) != 0;
  if (!changed) {
    return;
  }
  for (auto& [id, ring] : rings_) {
    if (std::find(ring.tickets.begin(), ring.tickets.end(), smscid) != ring.tickets.end()) {
      rebuildUsable(ring);
    }
  }
}

void SubmitPool::rebuildUsable(TicketRing& ring) const {
  ring.usable.clear();
  for (size_t i = 0; i < ring.tickets.size(); ++i) {
    if (usableBinds_.count(ring.tickets[i]) != 0) {
      ring.usable.push_back(i);
    }
  }
  ring.cursor = static_cast<size_t>(
      std::lower_bound(ring.usable.begin(), ring.usable.end(), ring.front) - ring.usable.begin());
  if (ring.cursor == ring.usable.size()) {
    ring.cursor = 0;
  }
}

void SubmitPool::clear(const std::string& targetSetId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = rings_.find(targetSetId);
  if (it != rings_.end()) {
    it->second.tickets.clear();
    it->second.front = 0;
    it->second.usable.clear();
    it->second.cursor = 0;
  }
}

int SubmitPool::usableSize(const std::string& targetSetId, TarnConfiguration& config) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = rings_.find(targetSetId);
  if (it == rings_.end()) {
    return 0;
  }
  std::lock_guard<std::mutex> configLock(config.lock());
  auto set = config.confSharedTargetSets.find(targetSetId);
  if (set == config.confSharedTargetSets.end() || !set->second.submitsEnabled) {
    return 0;
  }
  return static_cast<int>(it->second.usable.size());
}

uint64_t SubmitPool::next(const std::string& targetSetId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = rings_.find(targetSetId);
  if (it == rings_.end() || it->second.usable.empty()) {
    return 0;
  }
  TicketRing& ring = it->second;
  const size_t at = ring.usable[ring.cursor];
  if (++ring.cursor == ring.usable.size()) {
    ring.cursor = 0;
  }
  ring.front = at + 1 == ring.tickets.size() ? 0 : at + 1;
  return ring.tickets[at];
}

std::vector<uint64_t> SubmitPool::tickets(const std::string& targetSetId) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint64_t> out;
  auto it = rings_.find(targetSetId);
  if (it == rings_.end()) {
    return out;
  }
  const TicketRing& ring = it->second;
  out.reserve(ring.tickets.size());
  for (size_t i = 0; i < ring.tickets.size(); ++i) {
    out.push_back(ring.tickets[(ring.front + i) % ring.tickets.size()]);
  }
  return out;
}

void SubmitPool::dump(std::FILE* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, ring] : rings_) {
    std::fprintf(out, "Shared Target Set ID: %s\nSMSC IDs: ", id.c_str());
    for (size_t i = 0; i < ring.tickets.size(); ++i) {
      std::fprintf(
          out, "0x%llx ",
          static_cast<unsigned long long>(ring.tickets[(ring.front + i) % ring.tickets.size()]));
    }
    std::fprintf(out, "\n");
  }
  std::fflush(out);
}

} // namespace quorvex
