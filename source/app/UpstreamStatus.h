// The status report's view of the upstream binds, taken from the upstream
// manager's slot table.
#pragma once

#include "admin/StatusReport.h"

namespace quorvex {

class UpstreamStatus : public StatusSource {
public:
  // Copies the slots under the upstream sessions mutex; O(binds).
  std::map<uint64_t, BindStatus> bindStatuses() override;
};

} // namespace quorvex
