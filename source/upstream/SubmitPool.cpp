#include "upstream/SubmitPool.h"

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
  }
  return ring.tickets.size();
}

void SubmitPool::clear(const std::string& targetSetId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = rings_.find(targetSetId);
  if (it != rings_.end()) {
    it->second.tickets.clear();
    it->second.front = 0;
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
  return static_cast<int>(it->second.tickets.size());
}

uint64_t SubmitPool::next(const std::string& targetSetId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = rings_.find(targetSetId);
  if (it == rings_.end() || it->second.tickets.empty()) {
    return 0;
  }
  TicketRing& ring = it->second;
  const uint64_t smscid = ring.tickets[ring.front];
  if (++ring.front == ring.tickets.size()) {
    ring.front = 0;
  }
  return smscid;
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
