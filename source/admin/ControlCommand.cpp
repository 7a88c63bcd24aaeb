#include "admin/ControlCommand.h"

#include "app/Log.h"

namespace quorvex {

OperationResult controlCommand(const nlohmann::json& body) {
  OperationResult result;
  if (!body.is_object() || !body.contains("log.audit")) {
    return fail(result, "Unknown command");
  }
  const nlohmann::json& value = body["log.audit"];
  if (!value.is_boolean()) {
    return fail(result, "Bad command");
  }
  auditSwitch().store(value.get<bool>());
  result.success = true;
  return result;
}

} // namespace quorvex
