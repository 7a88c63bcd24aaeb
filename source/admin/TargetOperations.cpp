#include "admin/TargetOperations.h"

#include <algorithm>

#include "admin/ConfigDocument.h"
#include "admin/EsmeOperations.h"
#include "admin/TargetSetOperations.h"
#include "app/Log.h"
#include "config/TarnConfiguration.h"

namespace quorvex {

using nlohmann::json;

namespace {

// The stored target entries of a set, or null when the set has no array.
json* targetsOf(json& doc, const std::string& setId) {
  json* set = findTargetSetEntry(doc, setId);
  return set != nullptr ? arrayMember(*set, "targets") : nullptr;
}

json* findTargetEntry(json& doc, const std::string& setId, const std::string& name) {
  return findElement(targetsOf(doc, setId), "name", name);
}

std::vector<ConfTarget>::iterator findRecord(std::vector<ConfTarget>& targets,
                                             const std::string& name) {
  return std::find_if(targets.begin(), targets.end(),
                      [&](const ConfTarget& t) { return t.name == name; });
}

void setDefault(json& body, const char* key, json value) {
  if (!body.contains(key)) {
    body[key] = std::move(value);
  }
}

} // namespace

OperationResult TargetOperations::targetAdd(const std::string& setId, json body) {
  OperationResult result;
  announce("Performing operation: Add Target");
  std::lock_guard<std::mutex> guard(config_.lock());
  setDefault(body, "bindqty", 1);
  setDefault(body, "systemtype", "");
  setDefault(body, "weight", 1);
  setDefault(body, "admindown", false);
  bool error = false;
  ConfTarget target;
  config_.processTarget(error, target, body, true);
  if (error) {
    return result; // processTarget logged the missing member; the message stays "OK"
  }
  auto set = config_.confSharedTargetSets.find(setId);
  if (set == config_.confSharedTargetSets.end()) {
    return fail(result, "Target set not found " + setId);
  }
  if (findRecord(set->second.targets, target.name) != set->second.targets.end()) {
    return fail(result, "Target ID already exists " + setId);
  }
  if (json* stored = findTargetSetEntry(config_.jconfig, setId); stored != nullptr) {
    json& targets = (*stored)["targets"];
    std::cout << secretsMasked(targets).dump() << "\n";
    std::cout.flush();
    if (targets.is_null()) {
      targets = json::array();
    }
    targets.push_back(std::move(body));
  }
  set->second.targets.push_back(std::move(target));
  commitChange(config_);
  result.success = true;
  result.message = "Target added " + setId;
  return result;
}

OperationResult TargetOperations::targetModify(const std::string& setId, const std::string& name,
                                               const json& patch) {
  OperationResult result;
  announce("Performing operation: Modify Target");
  std::lock_guard<std::mutex> guard(config_.lock());
  auto set = config_.confSharedTargetSets.find(setId);
  if (set == config_.confSharedTargetSets.end()) {
    return fail(result, "Target not found " + name);
  }
  auto record = findRecord(set->second.targets, name);
  json* stored = findTargetEntry(config_.jconfig, setId, name);
  if (record == set->second.targets.end() || stored == nullptr) {
    return fail(result, "Target not found " + name);
  }
  std::cout << "**" << secretsMasked(*stored).dump() << "\n";
  json merged = *stored;
  merged.merge_patch(patch);
  std::cout << secretsMasked(merged).dump() << "\n";
  std::cout.flush();
  bool error = false;
  ConfTarget parsed;
  config_.processTarget(error, parsed, merged, true);
  if (error) {
    // The stored entry is left as it was, so document and tables still agree.
    return fail(result, "Failed to parse target data");
  }
  *stored = std::move(merged);
  *record = std::move(parsed);
  commitChange(config_);
  result.success = true;
  result.message = "Target modified " + name;
  return result;
}

OperationResult TargetOperations::targetRemove(const std::string& setId, const std::string& name) {
  OperationResult result;
  announce("Performing operation: Remove Target");
  std::lock_guard<std::mutex> guard(config_.lock());
  auto set = config_.confSharedTargetSets.find(setId);
  if (set == config_.confSharedTargetSets.end()) {
    return fail(result, "Target set not found " + setId);
  }
  auto record = findRecord(set->second.targets, name);
  if (record == set->second.targets.end()) {
    return fail(result, "Target not found " + name);
  }
  set->second.targets.erase(record);
  result.success = true;
  if (!eraseElement(targetsOf(config_.jconfig, setId), "name", name)) {
    // The tables changed, so the upstream thread still has to rebuild.
    config_.markChanged();
    result.message = "Target removed from confSharedTargetSets but not found in jconfig";
    return result;
  }
  commitChange(config_);
  result.message = "Target removed successfully " + name;
  return result;
}

OperationResult TargetOperations::targetView(const std::string& setId, const std::string& name) {
  OperationResult result;
  std::lock_guard<std::mutex> guard(config_.lock());
  const std::string where = name + " (target set " + setId + ")";
  const json* stored = findTargetEntry(config_.jconfig, setId, name);
  if (stored == nullptr) {
    return fail(result, "Target not found " + where);
  }
  result.value = *stored;
  result.success = true;
  result.message = "Target found " + where;
  return result;
}

OperationResult TargetOperations::targetList(const std::string& setId) {
  OperationResult result;
  std::lock_guard<std::mutex> guard(config_.lock());
  const json* targets = targetsOf(config_.jconfig, setId);
  if (targets == nullptr) {
    return fail(result, "Target set not found or has no targets " + setId);
  }
  result.value = elementValues(*targets, "name");
  result.success = true;
  result.message = "Target names listed " + setId;
  return result;
}

} // namespace quorvex
