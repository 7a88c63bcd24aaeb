// Compiled route tables shared between submits: the global list is compiled
// again only after a configuration change that altered it, an ESME's own
// list only when an account's rules differ from the last compiled ones.
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
  // the configuration lock; compares the rules only when the change stamp
  // moved, and compiles only when they differ.
  RouteTablePtr current();

private:
  TarnConfiguration& config_; // source of the rules and the change stamp
  // Both below are guarded by the configuration lock.
  RouteTablePtr table_; // last compiled table; null before the first call
  uint64_t stamp_ = 0;  // configChangeStamp the table was checked against
};

class ESMERouteCache {
public:
  // The compiled form of `rules`, shared with earlier binds of the same
  // ESME when their rules were the same. Main thread only.
  RouteTablePtr get(const std::string& systemId, const std::vector<nlohmann::json>& rules);

private:
  std::unordered_map<std::string, RouteTablePtr> tables_; // per system id
};

} // namespace quorvex
