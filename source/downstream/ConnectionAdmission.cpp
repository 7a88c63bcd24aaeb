#include "downstream/ConnectionAdmission.h"

#include "app/Log.h"

namespace quorvex {
namespace {

const char* const kClass = "SMPPServer";
const char* const kFunction = "run";

// Private networks of the gateway's own infrastructure; never blocked.
bool neverBlocked(const std::string& prefix) {
  return prefix.find("172.30") != std::string::npos || prefix.find("172.31") != std::string::npos;
}

} // namespace

Admission ConnectionAdmission::decide(const ConnectionAttempt& attempt) {
  const uint64_t now = attempt.now;
  const std::string& address = attempt.address;
  const char* ip = address.c_str();
  const std::string prefix = address.substr(0, 6);
  bool doNotBlock = neverBlocked(prefix);
  if (attempt.whitelisted) {
    logApplication(LOG_INFO, logObject_, kClass, kFunction,
                   "Connection from whitelisted IP - do not block [%s]", ip);
    doNotBlock = true;
  }

  if (now - windowStart_ > kWindowMicros - 1) {
    windowStart_ = now;
    recentByAddress_.clear();
    recentByPrefix_.clear();
    std::lock_guard<std::mutex> lock(bindlessMutex_);
    bindless_.clear();
  }
  const uint32_t byAddress = ++recentByAddress_[address];
  const uint32_t byPrefix = ++recentByPrefix_[prefix];
  const bool bulk = attempt.pending > kMaxPendingBeforeBind;

  if ((byAddress > kMaxPerAddressInWindow || byPrefix > kMaxPerPrefixInWindow) && !doNotBlock) {
    const auto it = blockedUntil_.find(address);
    if (it != blockedUntil_.end()) {
      it->second += kRateBlockExtensionMicros;
    } else {
      block(address, now + kRateBlockMicros);
    }
  }
  // The whitelist means never blocked: a whitelisted client that writes its
  // bind and first submits in one go must not lock out its whole address.
  if (bulk && !doNotBlock) {
    if (!blocked(address)) {
      logApplication(
          LOG_INFO, logObject_, kClass, kFunction,
          "Connection IP blocked due to excessive number of bytes [%s] [byte to read=%d]", ip,
          static_cast<int>(attempt.pending));
    }
    block(address, now + kLongBlockMicros);
  }
  if (!doNotBlock) {
    std::lock_guard<std::mutex> lock(bindlessMutex_);
    const auto it = bindless_.find(address);
    if (it != bindless_.end() && it->second > kMaxBindlessInWindow) {
      if (!blocked(address)) {
        logApplication(
            LOG_INFO, logObject_, kClass, kFunction,
            "Connection IP blocked due to no bind request for 3 connection attempts [%s] [byte to read=%d]",
            ip, static_cast<int>(attempt.pending));
      }
      block(address, now + kLongBlockMicros);
    }
  }

  const auto until = blockedUntil_.find(address);
  if (until != blockedUntil_.end() && until->second < now) {
    logApplication(LOG_INFO, logObject_, kClass, kFunction,
                   "Expired blocking of connect atempts from [%s]", ip);
    blockedUntil_.erase(until);
    blockedAttempts_.erase(address);
  }

  const int fd = attempt.descriptor;
  if (attempt.clientConnections >= kMaxClientConnections) {
    logApplication(LOG_WARNING, logObject_, kClass, kFunction,
                   "Client connection limit reached. REJECTING connection - %d [%s]", fd, ip);
    return Admission::kClientLimit;
  }
  if (const auto it = blockedUntil_.find(address); it != blockedUntil_.end() && !doNotBlock) {
    if (++blockedAttempts_[address] == 1) {
      const double seconds = static_cast<double>(it->second - now) / 1000000.0;
      logApplication(LOG_INFO, logObject_, kClass, kFunction,
                     "BLOCKING connection for %.1fs - %d [%s]", seconds, fd, ip);
    }
    return Admission::kBlocked;
  }
  if (whitelistOnly_ && !doNotBlock) {
    logApplication(LOG_WARNING, logObject_, kClass, kFunction,
                   "IP not in whitelist. REJECTING connection - %d [%s]", fd, ip);
    return Admission::kNotWhitelisted;
  }
  if (!whitelistOnly_ && !doNotBlock && liveConnections(address) >= maxPerAddress_) {
    logApplication(LOG_INFO, logObject_, kClass, kFunction, "DENYING connection - %d [%s]", fd, ip);
    return Admission::kPerAddressLimit;
  }
  ++live_[address];
  return Admission::kAdmit;
}

void ConnectionAdmission::connectionClosed(const std::string& address) {
  const auto it = live_.find(address);
  if (it != live_.end() && --it->second == 0) {
    live_.erase(it);
  }
}

void ConnectionAdmission::noteBindless(const std::string& address) {
  std::lock_guard<std::mutex> lock(bindlessMutex_);
  const uint32_t count = ++bindless_[address];
  logApplication(LOG_INFO, logObject_, kClass, "notifyEvent_ESMEBindAttemptNotReceived",
                 "IP %s count=%d", address.c_str(), static_cast<int>(count));
}

uint32_t ConnectionAdmission::liveConnections(const std::string& address) const {
  const auto it = live_.find(address);
  return it == live_.end() ? 0 : it->second;
}

} // namespace quorvex
