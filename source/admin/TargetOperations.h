// Admin operations on the targets of a target set: add, modify (a JSON
// merge patch), remove, view and list.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "admin/OperationResult.h"

namespace quorvex {

class TarnConfiguration;

class TargetOperations {
public:
  explicit TargetOperations(TarnConfiguration& config) : config_(config) {}

  // Missing "bindqty", "systemtype", "weight" and "admindown" get defaults.
  OperationResult targetAdd(const std::string& setId, nlohmann::json body);
  OperationResult targetModify(const std::string& setId, const std::string& name,
                               const nlohmann::json& patch);
  OperationResult targetRemove(const std::string& setId, const std::string& name);
  OperationResult targetView(const std::string& setId, const std::string& name);
  OperationResult targetList(const std::string& setId);

private:
  TarnConfiguration& config_;
};

} // namespace quorvex
