// Look-ups in the configuration's ESME accounts for one bind or submit. An
// account is found by its system id, else by "[peer IP]system id"; an ESME
// without an account gets the defaults of an unregistered ESME.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/TarnConfiguration.h"

namespace quorvex {

// What a bind is checked against.
struct ESMEAuth {
  bool bindingEnabled = false; // binds are accepted
  std::string password;        // plain password; empty accepts any
  std::string passwordHash;    // bcrypt hash; replaces the password when set
};

class ESMERegistry {
public:
  static constexpr uint16_t kUnlimitedTPS = 65535;
  static constexpr const char* kDefaultTargetSet = "default";

  explicit ESMERegistry(TarnConfiguration& config = configuration()) : config_(config) {}

  // Each call holds the configuration lock for its duration.
  ESMEAuth getESMEAuth(const std::string& peerIp, const std::string& systemId);
  std::vector<std::string> getESMEAllowedIPs(const std::string& peerIp,
                                             const std::string& systemId);
  uint16_t getESMETPSLimit(const std::string& peerIp, const std::string& systemId);
  std::string getESMETargetSet(const std::string& peerIp, const std::string& systemId);
  // `anyAddress`, when given, tells whether the account holds for every
  // address (false also when there is no account).
  std::vector<nlohmann::json> getESMERoutes(const std::string& peerIp, const std::string& systemId,
                                            bool* anyAddress = nullptr);

  // The submit path's reads in one locked look-up that does not allocate
  // once `targetSet` has grown to hold the id: returns the TPS limit and
  // assigns the target set. `scopedKey` is scopedKey(peer IP, system id).
  uint16_t getSubmitSettings(const std::string& systemId, const std::string& scopedKey,
                             std::string& targetSet);

  // "[peer IP]system id", the key of an account bound to one address.
  static std::string scopedKey(const std::string& peerIp, const std::string& systemId) {
    return "[" + peerIp + "]" + systemId;
  }

private:
  // The account of the ESME, or null; the caller holds the lock.
  const ConfESME* find(const std::string& systemId, const std::string& scopedKey) const;

  TarnConfiguration& config_; // holds the accounts
};

} // namespace quorvex
