// Compiled route tables shared between submits: the global list is compiled
// again only after a configuration change that replaced it (its revision
// tells, so an admin change elsewhere costs no look at a long list), an
// ESME's own list only when an account's rules differ from the last
// compiled ones, and they are read and compared only after a change.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/TarnConfiguration.h"
#include "downstream/ESMERegistry.h"
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
  // The compiled rules of `systemId` binding from `peerIp`, shared with the
  // earlier binds of the same account. While the configuration's change
  // stamp stays at `stamp` (read before this call) the list is not even
  // copied out of the configuration. Main thread only.
  RouteTablePtr get(ESMERegistry& registry, const std::string& peerIp, const std::string& systemId,
                    uint64_t stamp);
  // A table without rules.
  static RouteTablePtr empty();

private:
  struct Entry {
    RouteTablePtr table;     // compiled rules of the account
    uint64_t stamp = 0;      // configChangeStamp they were read at
    std::string peerIp;      // address of the bind they were read for
    bool anyAddress = false; // read from an account not bound to one address
  };
  std::unordered_map<std::string, Entry> tables_; // per system id
};

} // namespace quorvex
