#include "tracker/MessageIdStore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace quorvex {

std::optional<std::string> hexFormOfDecimalId(std::string_view messageId) {
  const std::string text(messageId);
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  // The whole id must be the number: "12ab" read as 12 would take the
  // mapping of another message, id "c".
  if (end == text.c_str() || errno == ERANGE || *end != '\0') {
    return std::nullopt;
  }
  char hex[20];
  std::snprintf(hex, sizeof(hex), "%llx", static_cast<unsigned long long>(value));
  return std::string(hex);
}

std::string storeKey(uint64_t target, std::string_view messageId) {
  std::string key;
  storeKey(key, target, messageId);
  return key;
}

void storeKey(std::string& key, uint64_t target, std::string_view messageId) {
  key.resize(8);
  for (int i = 0; i < 8; ++i) {
    key[static_cast<size_t>(i)] = static_cast<char>(target >> (56 - 8 * i));
  }
  key.append(messageId);
}

void MemoryMessageIdStore::put(uint64_t target, std::string_view messageId,
                               std::string_view owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  map_.insert_or_assign(storeKey(target, messageId), std::string(owner));
}

std::optional<std::string> MemoryMessageIdStore::take(uint64_t target, std::string_view messageId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = map_.find(storeKey(target, messageId));
  if (it == map_.end()) {
    return std::nullopt;
  }
  std::string owner = std::move(it->second);
  map_.erase(it);
  return owner;
}

size_t MemoryMessageIdStore::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return map_.size();
}

} // namespace quorvex
