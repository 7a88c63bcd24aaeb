// The "/control" command: switches the audit log at run time.
#pragma once

#include <nlohmann/json.hpp>

#include "admin/OperationResult.h"

namespace quorvex {

// {"log.audit": bool} sets the audit switch (not saved); without the member
// "Unknown command", with a value of another type "Bad command".
OperationResult controlCommand(const nlohmann::json& body);

} // namespace quorvex
