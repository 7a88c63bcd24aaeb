// Admission of new TCP connections to the SMPP port: rate limits per address
// and per address prefix over a 10 s window, temporary blocks for addresses
// that connect too often, send bulk data before binding or keep connecting
// without binding, whitelist-only mode and the live-connection limits. Pure
// bookkeeping: the caller supplies the time and what it knows of the socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quorvex {

enum class Admission {
  kAdmit,
  kClientLimit,     // too many client connections in total
  kBlocked,         // the address is blocked
  kNotWhitelisted,  // whitelist-only mode
  kPerAddressLimit, // too many live connections from the address
};

// One connection to be judged.
struct ConnectionAttempt {
  uint64_t now = 0;             // µs (nowMicros)
  int descriptor = -1;          // accepted socket, for the log lines
  std::string address;          // peer, dotted
  bool whitelisted = false;     // the whitelist admits the address
  long pending = 0;             // octets already waiting on the socket
  size_t clientConnections = 0; // client connections open now
};

class ConnectionAdmission {
public:
  static constexpr uint64_t kWindowMicros = 10000000;
  static constexpr uint32_t kMaxPerAddressInWindow = 10;
  static constexpr uint32_t kMaxPerPrefixInWindow = 25;
  static constexpr uint64_t kRateBlockMicros = 130000000;
  static constexpr uint64_t kRateBlockExtensionMicros = 5000000;
  static constexpr uint64_t kLongBlockMicros = 300000000;
  static constexpr long kMaxPendingBeforeBind = 300;
  static constexpr uint32_t kMaxBindlessInWindow = 2;
  static constexpr size_t kMaxClientConnections = 1000;

  // `logObject` is the server the log lines name.
  explicit ConnectionAdmission(const void* logObject) : logObject_(logObject) {}

  void setMaxConnectionsPerAddress(uint32_t limit) { maxPerAddress_ = limit; }
  void setWhitelistOnly(bool on) { whitelistOnly_ = on; }

  // Judges one connection; an admitted one counts as live from here on.
  Admission decide(const ConnectionAttempt& attempt);
  // A live connection of `address` ended.
  void connectionClosed(const std::string& address);
  // A connection of `address` ended without a bind request; any thread.
  void noteBindless(const std::string& address);

  uint32_t liveConnections(const std::string& address) const;
  bool blocked(const std::string& address) const { return blockedUntil_.count(address) != 0; }

private:
  void block(const std::string& address, uint64_t until) { blockedUntil_[address] = until; }

  const void* logObject_;       // object named in the log lines
  uint32_t maxPerAddress_ = 20; // live connections per address
  bool whitelistOnly_ = false;  // only whitelisted and never-blocked prefixes

  std::map<std::string, uint32_t> live_;                      // live connections per address
  std::unordered_map<std::string, uint64_t> blockedUntil_;    // µs the block ends
  std::unordered_map<std::string, uint32_t> blockedAttempts_; // refusals while blocked
  std::unordered_map<std::string, uint32_t> recentByAddress_; // connections in the window
  std::unordered_map<std::string, uint32_t> recentByPrefix_;  // by first 6 characters
  uint64_t windowStart_ = 0;                                  // µs of the last window reset

  std::mutex bindlessMutex_;                           // guards bindless_
  std::unordered_map<std::string, uint32_t> bindless_; // bindless closes in the window
};

} // namespace quorvex
