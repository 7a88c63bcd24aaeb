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

RouteTablePtr ESMERouteCache::empty() {
  static const RouteTablePtr kEmpty = std::make_shared<const RouteTable>();
  return kEmpty;
}

RouteTablePtr ESMERouteCache::get(ESMERegistry& registry, const std::string& peerIp,
                                  const std::string& systemId, uint64_t stamp) {
  Entry& entry = tables_[systemId];
  // An account defined for one address only holds for binds from there.
  if (entry.table && entry.stamp == stamp && (entry.anyAddress || entry.peerIp == peerIp)) {
    return entry.table;
  }
  const std::vector<nlohmann::json> rules =
      registry.getESMERoutes(peerIp, systemId, &entry.anyAddress);
  entry.peerIp = peerIp;
  if (rules.empty()) {
    entry.table = empty();
  } else if (!entry.table || entry.table->source() != rules) {
    entry.table = std::make_shared<const RouteTable>(rules);
  }
  entry.stamp = stamp;
  return entry.table;
}

} // namespace quorvex
