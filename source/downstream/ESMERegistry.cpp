#include "downstream/ESMERegistry.h"

#include <mutex>

namespace quorvex {

const ConfESME* ESMERegistry::find(const std::string& systemId,
                                   const std::string& scopedKey) const {
  auto it = config_.confESME.find(systemId);
  if (it == config_.confESME.end()) {
    it = config_.confESME.find(scopedKey);
  }
  return it == config_.confESME.end() ? nullptr : &it->second;
}

ESMEAuth ESMERegistry::getESMEAuth(const std::string& peerIp, const std::string& systemId) {
  {
    std::lock_guard<std::mutex> lock(config_.lock());
    if (const ConfESME* account = find(systemId, scopedKey(peerIp, systemId))) {
      return ESMEAuth{account->bindingEnabled, account->password, account->passwordHash};
    }
  }
  // The setting reader takes the configuration lock itself.
  return ESMEAuth{config_.getSettingBool("default_binding_enabled", true), "", ""};
}

std::vector<std::string> ESMERegistry::getESMEAllowedIPs(const std::string& peerIp,
                                                         const std::string& systemId) {
  std::lock_guard<std::mutex> lock(config_.lock());
  const ConfESME* account = find(systemId, scopedKey(peerIp, systemId));
  return account ? account->allowedIPs : std::vector<std::string>();
}

uint16_t ESMERegistry::getESMETPSLimit(const std::string& peerIp, const std::string& systemId) {
  std::lock_guard<std::mutex> lock(config_.lock());
  const ConfESME* account = find(systemId, scopedKey(peerIp, systemId));
  return account ? account->tpsLimit : kUnlimitedTPS;
}

std::string ESMERegistry::getESMETargetSet(const std::string& peerIp, const std::string& systemId) {
  std::lock_guard<std::mutex> lock(config_.lock());
  const ConfESME* account = find(systemId, scopedKey(peerIp, systemId));
  return account ? account->sharedTargetSetId : kDefaultTargetSet;
}

std::vector<nlohmann::json> ESMERegistry::getESMERoutes(const std::string& peerIp,
                                                        const std::string& systemId,
                                                        bool* anyAddress) {
  std::lock_guard<std::mutex> lock(config_.lock());
  const ConfESME* account = find(systemId, scopedKey(peerIp, systemId));
  if (anyAddress != nullptr) {
    *anyAddress = account != nullptr && config_.confESME.count(systemId) != 0;
  }
  return account ? account->routesMT : std::vector<nlohmann::json>();
}

uint16_t ESMERegistry::getSubmitSettings(const std::string& systemId, const std::string& scopedKey,
                                         std::string& targetSet) {
  std::lock_guard<std::mutex> lock(config_.lock());
  const ConfESME* account = find(systemId, scopedKey);
  targetSet.assign(account ? account->sharedTargetSetId : kDefaultTargetSet);
  return account ? account->tpsLimit : kUnlimitedTPS;
}

} // namespace quorvex
