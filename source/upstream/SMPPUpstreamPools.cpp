// Bind slots, submit pools and their rebuild from the configuration.
#include <algorithm>
#include <cstdio>
#include <set>

#include "app/Log.h"
#include "config/TarnConfiguration.h"
#include "metrics/MetricEvents.h"
#include "tracker/SmscId.h"
#include "tracker/Tracker.h"
#include "upstream/SMPPUpstream.h"

namespace quorvex {
namespace {

constexpr uint64_t kMicrosPerHour = 3600ULL * 1000000ULL;

// "userxonly" binds receive only and take no tickets; "usetxrx" pairs a
// transmitter with a receiver; otherwise one transceiver.
int bindTypeOf(const ConfTarget& target) {
  if (target.useRxOnly) {
    return kBindRX;
  }
  return target.useTxRx ? kBindTX : kBindTRX;
}

bool hasReceiverPair(const ConfTarget& target) { return target.useTxRx && !target.useRxOnly; }

// The target set a route rule sends to, when it names one.
void addRuleTargetSet(std::set<std::string>& sets, const nlohmann::json& rule) {
  if (rule.is_object()) {
    auto it = rule.find("targetset");
    if (it != rule.end() && it->is_string()) {
      sets.insert(it->get<std::string>());
    }
  }
}

} // namespace

void SMPPUpstream::addSMSCToTargetSetSubmitPool(const std::string& targetSetId,
                                                const std::string& targetName, uint64_t smscid,
                                                int weight) {
  const size_t size = pool_.append(targetSetId, smscid, weight);
  logApplication(LOG_INFO, this, kLogClass, "addSMSCToTargetSetSubmitPool",
                 "STSid=%s smscname=%s smscid=0x%llx weight=%d size=%d", targetSetId.c_str(),
                 targetName.c_str(), static_cast<unsigned long long>(smscid), weight,
                 static_cast<int>(size));
}

void SMPPUpstream::clearTargetSetSubmitPool(const std::string& targetSetId) {
  pool_.clear(targetSetId);
}

int SMPPUpstream::submitPoolSize(const std::string& targetSetId) {
  return pool_.usableSize(targetSetId, context_.config);
}

uint64_t SMPPUpstream::nextSMSCFromSubmitPool(const std::string& targetSetId) {
  return pool_.next(targetSetId);
}

void SMPPUpstream::reinitUpstreamBinds(bool configurationChange) {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  reinitLocked(configurationChange);
}

void SMPPUpstream::identifyUnusedSMSCEntries() {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  identifyUnusedLocked();
}

void SMPPUpstream::identifyUnusedLocked() {
  std::set<uint64_t> produced;
  {
    std::lock_guard<std::mutex> configLock(context_.config.lock());
    for (const auto& [id, set] : context_.config.confSharedTargetSets) {
      for (const ConfTarget& target : set.targets) {
        for (int32_t k = 0; k < target.bindQty; ++k) {
          const uint64_t smscid = smscId(target.name, static_cast<uint32_t>(k), target.useTxRx);
          produced.insert(smscid);
          if (hasReceiverPair(target)) {
            produced.insert(smscid + 1);
          }
        }
      }
    }
  }
  for (auto& [smscid, slot] : slots_) {
    if (produced.count(smscid) == 0) {
      slot.adminDown = true;
      logApplication(LOG_INFO, this, kLogClass, "identifyUnusedSMSCEntries",
                     "Unused target set to admindown: smscname=%s smscid=0x%llx",
                     slot.targetName.c_str(), static_cast<unsigned long long>(smscid));
    }
  }
}

void SMPPUpstream::updateSlot(BindSlot& slot, const ConfTarget& target, int bindType) {
  // A live session keeps the parameters it was opened with until it reopens.
  slot.targetName = target.name;
  slot.host = target.host;
  slot.port = static_cast<uint32_t>(target.port);
  slot.systemId = target.systemId;
  slot.password = target.password;
  slot.systemType = target.systemType;
  slot.adminDown = target.adminDown;
  slot.tpsLimit = static_cast<uint32_t>(target.tpsLimit);
  slot.bindType = bindType;
  slot.tls = target.tls;
  slot.tlsVerify = target.tlsVerify;
  slot.tlsCaFile = target.tlsCaFile;
}

BindSlot& SMPPUpstream::createSlot(uint64_t smscid, const ConfTarget& target, int bindType) {
  BindSlot& slot = slots_[smscid];
  slotIndex_[smscid] = &slot; // map nodes stay put, and slots are never removed
  slot.smscid = smscid;
  updateSlot(slot, target, bindType);
  return slot;
}

void SMPPUpstream::reinitLocked(bool configurationChange) {
  logApplication(LOG_INFO, this, kLogClass, "reinitUpstreamBinds", "%s", "");
  if (configurationChange) {
    identifyUnusedLocked();
  }

  // Copied under the configuration mutex, which is released before the
  // Tracker is called.
  std::map<std::string, ConfSharedTargetSet> sets;
  // System id -> every target set the account can reach: its own set, the
  // sets its rules name, and the sets of the global rules.
  std::map<std::string, std::set<std::string>> esmeSets;
  {
    std::lock_guard<std::mutex> configLock(context_.config.lock());
    sets = context_.config.confSharedTargetSets;
    std::set<std::string> global;
    for (const nlohmann::json& rule : context_.config.globalRoutesMT) {
      addRuleTargetSet(global, rule);
    }
    for (const auto& [systemId, esme] : context_.config.confESME) {
      std::set<std::string>& reach = esmeSets[systemId];
      reach = global;
      reach.insert(esme.sharedTargetSetId);
      for (const nlohmann::json& rule : esme.routesMT) {
        addRuleTargetSet(reach, rule);
      }
    }
  }
  heldMaxAge_.store(static_cast<uint64_t>(std::max<int64_t>(
                        1, context_.config.getCDRSettingInt("cleanup_interval", 24))) *
                    kMicrosPerHour);

  // Keyed by the target part, as the Tracker's receipt look-up reads it. A
  // target that two accounts can reach has no fallback owner: after a lost
  // mapping its receipts are unknown rather than given to the wrong customer.
  std::map<uint64_t, std::string> owners;
  std::set<uint64_t> shared;
  for (const auto& [systemId, reach] : esmeSets) {
    std::set<uint64_t> targets;
    for (const std::string& setId : reach) {
      auto set = sets.find(setId);
      if (set == sets.end()) {
        continue;
      }
      for (const ConfTarget& target : set->second.targets) {
        targets.insert(targetIdOfName(target.name));
      }
    }
    for (uint64_t target : targets) {
      if (!owners.emplace(target, systemId).second) {
        shared.insert(target);
      }
    }
  }
  for (uint64_t target : shared) {
    owners.erase(target);
  }
  context_.tracker.setTargetOwners(std::move(owners));

  for (const auto& [setId, set] : sets) {
    clearTargetSetSubmitPool(setId);
    for (const ConfTarget& target : set.targets) {
      const int bindType = bindTypeOf(target);
      for (int32_t k = 0; k < target.bindQty; ++k) {
        const uint64_t smscid = smscId(target.name, static_cast<uint32_t>(k), target.useTxRx);
        auto existing = slots_.find(smscid);
        if (existing != slots_.end()) {
          updateSlot(existing->second, target, bindType);
        } else {
          context_.metrics.resetTargetMetrics(target.name);
          createSlot(smscid, target, bindType);
        }
        if (hasReceiverPair(target)) {
          // The receiver of the pair follows its transmitter's settings.
          auto receiver = slots_.find(smscid + 1);
          if (receiver != slots_.end()) {
            updateSlot(receiver->second, target, kBindRX);
          } else {
            createSlot(smscid + 1, target, kBindRX);
          }
        }
        if (bindType != kBindRX) {
          addSMSCToTargetSetSubmitPool(setId, target.name, smscid, target.weight);
        }
      }
    }
  }
  pool_.dump(stdout);
}

} // namespace quorvex
