// Admin operations on ESME accounts: add (and the touch request), modify,
// remove, view and list. Each changes the document and the tables together.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "admin/OperationResult.h"

namespace quorvex {

class TarnConfiguration;

class EsmeOperations {
public:
  explicit EsmeOperations(TarnConfiguration& config) : config_(config) {}

  // A body with "touch" only saves the file and bumps the change stamp.
  OperationResult esmeAdd(const nlohmann::json& body);
  OperationResult esmeModify(const std::string& systemId, const nlohmann::json& body);
  OperationResult esmeRemove(const std::string& systemId);
  OperationResult esmeView(const std::string& systemId);
  OperationResult esmeList();

private:
  TarnConfiguration& config_;
};

// Saves the file and moves the change stamp, so that the upstream thread
// rebuilds its binds; the caller holds the configuration lock.
void commitChange(TarnConfiguration& config);

} // namespace quorvex
