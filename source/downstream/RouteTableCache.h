// Compiled route tables shared between submits: the global list is compiled
// again only after a configuration change that replaced it (its revision
// tells, so an admin change elsewhere costs no look at a long list), an
// ESME's own list only when an account's rules differ from the last
// compiled ones.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/TarnConfiguration.h"
#include "downstream/RouteTable.h"

namespace quorvex {

using RouteTablePtr = std::shared_ptr<const RouteTable>;

class GlobalRouteCache {
public:
  explicit GlobalRouteCache(TarnConfiguration& config = configuration()) : config_(config) {}

  // The table of the configuration's global rules as they are now. Takes
  // the configuration lock; compiles only when the rules' revision moved.
  RouteTablePtr current();

private:
  TarnConfiguration& config_; // source of the rules and the change stamp
  // All below are guarded by the configuration lock.
  RouteTablePtr table_;   // last compiled table; null before the first call
  uint64_t stamp_ = 0;    // configChangeStamp the table was checked against
  uint64_t revision_ = 0; // globalRoutesRevision the table was compiled from
};

// The gateway's cache of the global rules.
GlobalRouteCache& globalRouteCache();

class ESMERouteCache {
public:
  // The compiled form of `rules`, shared with earlier binds of the same
  // ESME when their rules were the same. Main thread only.
  RouteTablePtr get(const std::string& systemId, const std::vector<nlohmann::json>& rules);

private:
  std::unordered_map<std::string, RouteTablePtr> tables_; // per system id
};

} // namespace quorvex
