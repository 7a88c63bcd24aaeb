#include "upstream/UnknownReceipts.h"

#include "tracker/SmscId.h"

namespace quorvex {

size_t UnknownReceipts::add(uint64_t smscid, std::string_view messageId, HeldReceipt receipt) {
  std::lock_guard<std::mutex> lock(mutex_);
  Key key{targetIdOf(smscid), std::string(messageId)};
  auto it = held_.find(key);
  if (it != held_.end()) {
    arrivals_.erase(it->second.arrival);
    held_.erase(it);
  }
  auto arrival = arrivals_.emplace(receipt.arrived, key);
  held_.emplace(std::move(key), Entry{std::move(receipt), arrival});
  return held_.size();
}

std::optional<HeldReceipt> UnknownReceipts::take(uint64_t smscid, std::string_view messageId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_.empty()) {
    return std::nullopt;
  }
  auto it = held_.find(std::pair<uint64_t, std::string_view>(targetIdOf(smscid), messageId));
  if (it == held_.end()) {
    return std::nullopt;
  }
  HeldReceipt receipt = std::move(it->second.receipt);
  arrivals_.erase(it->second.arrival);
  held_.erase(it);
  return receipt;
}

size_t UnknownReceipts::expire(uint64_t now, uint64_t maxAgeMicros) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  while (!arrivals_.empty() && now > arrivals_.begin()->first &&
         now - arrivals_.begin()->first > maxAgeMicros) {
    held_.erase(arrivals_.begin()->second);
    arrivals_.erase(arrivals_.begin());
    ++count;
  }
  dropped_ += count;
  return count;
}

size_t UnknownReceipts::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_.size();
}

uint64_t UnknownReceipts::dropped() {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

} // namespace quorvex
