// Where the owners of SMSC message ids live between a submit_sm_resp and its
// receipt. The traffic path sees only this interface, so the store can be
// kept in memory (tests, admin commands), on local disk, or later in a store
// shared by several gateways.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quorvex {

class MessageIdStore {
public:
  virtual ~MessageIdStore() = default;
  // Records the ESME that owns {target, messageId}; a later put overwrites.
  // Cheap and non-blocking: a disk store writes it in a later batch.
  virtual void put(uint64_t target, std::string_view messageId, std::string_view owner) = 0;
  // Removes and returns the owner; nothing when unknown or expired.
  virtual std::optional<std::string> take(uint64_t target, std::string_view messageId) = 0;
  // Live mappings (a disk store's figure is an estimate).
  virtual size_t size() const = 0;
  // Returns once everything put before the call would survive a crash of
  // the process; false when that could not be done. Not for traffic
  // threads: it waits for a write.
  virtual bool sync() { return true; }
};

// Mappings in a hash map, lost with the process.
class MemoryMessageIdStore : public MessageIdStore {
public:
  void put(uint64_t target, std::string_view messageId, std::string_view owner) override;
  std::optional<std::string> take(uint64_t target, std::string_view messageId) override;
  size_t size() const override;

private:
  mutable std::mutex mutex_;                         // guards map_
  std::unordered_map<std::string, std::string> map_; // storeKey() -> owner
};

// The hexadecimal form (lowercase, no padding; a negative number as its
// 64-bit two's complement) of an id that is a signed decimal number (leading
// white space allowed), or nothing: a receipt may quote in decimal an id the
// SMSC returned in hex.
std::optional<std::string> hexFormOfDecimalId(std::string_view messageId);

// The key of {target, messageId}: the target's 8 octets, big-endian, then the
// id, so that one target's ids sort together.
std::string storeKey(uint64_t target, std::string_view messageId);
// The same key written over `key`, reusing its buffer.
void storeKey(std::string& key, uint64_t target, std::string_view messageId);

} // namespace quorvex
