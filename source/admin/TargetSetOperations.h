// Admin operations on target sets: add, modify, remove, view and list.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "admin/OperationResult.h"

namespace quorvex {

class TarnConfiguration;

class TargetSetOperations {
public:
  explicit TargetSetOperations(TarnConfiguration& config) : config_(config) {}

  // Targets in the body are dropped; they are added one by one.
  OperationResult targetSetAdd(nlohmann::json body);
  OperationResult targetSetModify(const std::string& id, const nlohmann::json& body);
  OperationResult targetSetRemove(const std::string& id);
  OperationResult targetSetView(const std::string& id);
  OperationResult targetSetList();

private:
  TarnConfiguration& config_;
};

// The first "targetsets" element of `doc` with this "id", or null.
nlohmann::json* findTargetSetEntry(nlohmann::json& doc, const std::string& id);

} // namespace quorvex
