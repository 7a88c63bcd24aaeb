#include "admin/StatusReport.h"

#include "config/TarnConfiguration.h"
#include "tracker/SmscId.h"

namespace quorvex {

using nlohmann::json;

nlohmann::json statusReport(TarnConfiguration& config, StatusSource* source) {
  // The slots are copied first, so the sessions mutex and the configuration
  // lock are never held together here.
  const std::map<uint64_t, BindStatus> slots =
      source != nullptr ? source->bindStatuses() : std::map<uint64_t, BindStatus>();
  json entries = json::array();
  int64_t adminDown = 0, targetSets = 0, bindTX = 0, bindRX = 0, bindTRX = 0, bindUnbound = 0;

  std::lock_guard<std::mutex> guard(config.lock());
  for (const auto& [setId, set] : config.confSharedTargetSets) {
    ++targetSets;
    for (const ConfTarget& target : set.targets) {
      for (int32_t k = 0; k < target.bindQty; ++k) {
        const uint64_t smscid = smscId(target.name, static_cast<uint32_t>(k), target.useTxRx);
        auto slot = slots.find(smscid);
        if (slot == slots.end()) {
          continue;
        }
        const BindStatus& bind = slot->second;
        entries.push_back({{"smsc_id", smscid},
                           {"smsc_name", target.name},
                           {"connected", bind.hasSession && bind.connected},
                           {"bind_type", bind.bindType},
                           {"bind_state", bind.hasSession ? bind.bindState : 0},
                           {"host", bind.host},
                           {"port", bind.port},
                           {"system_id", bind.systemId},
                           {"admin_down", bind.adminDown},
                           {"target_set", setId}});
        adminDown += bind.adminDown ? 1 : 0;
        if (bind.hasSession) {
          bindTX += bind.bindState == 3 ? 1 : 0;
          bindRX += bind.bindState == 4 ? 1 : 0;
          bindTRX += bind.bindState == 2 ? 1 : 0;
          bindUnbound += bind.bindState == 0 ? 1 : 0;
        }
      }
    }
  }
  const int64_t targets = static_cast<int64_t>(entries.size());
  return json{{"statusReport", std::move(entries)},
              {"summary",
               {{"admindown", adminDown},
                {"targets", targets},
                {"targetsets", targetSets},
                {"bindTX", bindTX},
                {"bindRX", bindRX},
                {"bindTRX", bindTRX},
                {"bindUnbound", bindUnbound}}}};
}

} // namespace quorvex
