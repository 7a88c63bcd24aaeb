#include "downstream/RouteTableCache.h"

#include <mutex>

namespace quorvex {

RouteTablePtr GlobalRouteCache::current() {
  std::lock_guard<std::mutex> lock(config_.lock());
  // Admin changes edit the tables and set the stamp under this same lock.
  const uint64_t stamp = config_.configChangeStamp.load();
  if (table_ && stamp == stamp_) {
    return table_;
  }
  if (!table_ || revision_ != config_.globalRoutesRevision) {
    table_ = std::make_shared<const RouteTable>(config_.globalRoutesMT);
    revision_ = config_.globalRoutesRevision;
  }
  stamp_ = stamp;
  return table_;
}

GlobalRouteCache& globalRouteCache() {
  static GlobalRouteCache cache;
  return cache;
}

RouteTablePtr ESMERouteCache::get(const std::string& systemId,
                                  const std::vector<nlohmann::json>& rules) {
  static const RouteTablePtr kEmpty = std::make_shared<const RouteTable>();
  if (rules.empty()) {
    return kEmpty;
  }
  RouteTablePtr& slot = tables_[systemId];
  if (!slot || slot->source() != rules) {
    slot = std::make_shared<const RouteTable>(rules);
  }
  return slot;
}

} // namespace quorvex
