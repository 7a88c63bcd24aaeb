#include "admin/TargetSetOperations.h"

#include "admin/ConfigDocument.h"
#include "admin/EsmeOperations.h"
#include "config/TarnConfiguration.h"

namespace quorvex {

using nlohmann::json;

json* findTargetSetEntry(json& doc, const std::string& id) {
  return findElement(arrayMember(doc, "targetsets"), "id", id);
}

OperationResult TargetSetOperations::targetSetAdd(json body) {
  OperationResult result;
  announce("Performing operation: Add Target Set");
  std::lock_guard<std::mutex> guard(config_.lock());
  if (!body.contains("id")) {
    return fail(result, "Missing field: id");
  }
  const std::string id = body["id"].get<std::string>();
  if (config_.confSharedTargetSets.count(id) != 0) {
    return fail(result, "Target set already exists");
  }
  if (!body.contains("name")) {
    return fail(result, "Missing field: name");
  }
  if (!body.contains("submits_enabled")) {
    return fail(result, "Missing field: submits_enabled");
  }
  ConfSharedTargetSet record;
  record.id = id;
  record.name = body["name"].get<std::string>();
  record.submitsEnabled = body["submits_enabled"].get<bool>();
  body["targets"] = nullptr;

  config_.confSharedTargetSets[id] = std::move(record);
  config_.jconfig["targetsets"].push_back(std::move(body));
  commitChange(config_);
  result.success = true;
  result.message = "Target set added " + id;
  return result;
}

OperationResult TargetSetOperations::targetSetModify(const std::string& id, const json& body) {
  OperationResult result;
  announce("Performing operation: Modify Target Set");
  std::lock_guard<std::mutex> guard(config_.lock());
  auto it = config_.confSharedTargetSets.find(id);
  if (it == config_.confSharedTargetSets.end()) {
    return fail(result, "Target set does not exist " + id);
  }
  if (!body.contains("name")) {
    return fail(result, "Missing field: name");
  }
  if (!body.contains("submits_enabled")) {
    return fail(result, "Missing field: submits_enabled");
  }
  const std::string name = body["name"].get<std::string>();
  const bool submitsEnabled = body["submits_enabled"].get<bool>();
  json* stored = findTargetSetEntry(config_.jconfig, id);
  if (stored != nullptr) {
    json entry = *stored;
    try {
      for (const auto& [key, value] : body.items()) {
        entry[key] = value;
      }
    } catch (const json::type_error&) {
      return fail(result, "Modify failed");
    }
    *stored = std::move(entry);
  }
  it->second.name = name;
  it->second.submitsEnabled = submitsEnabled;
  commitChange(config_);
  result.success = true;
  result.message = "Target set modified " + id;
  return result;
}

OperationResult TargetSetOperations::targetSetRemove(const std::string& id) {
  OperationResult result;
  announce("Performing operation: Remove Target Set");
  std::lock_guard<std::mutex> guard(config_.lock());
  if (config_.confSharedTargetSets.erase(id) == 0) {
    return fail(result, "Target set does not exist " + id);
  }
  eraseElement(arrayMember(config_.jconfig, "targetsets"), "id", id);
  commitChange(config_);
  result.success = true;
  result.message = "Target set removed " + id;
  return result;
}

OperationResult TargetSetOperations::targetSetView(const std::string& id) {
  OperationResult result;
  std::lock_guard<std::mutex> guard(config_.lock());
  const json* stored = findTargetSetEntry(config_.jconfig, id);
  if (stored == nullptr) {
    return fail(result, "Target set not found " + id);
  }
  json view = *stored;
  view.erase("targets");
  if (const json* targets = arrayMember(*stored, "targets")) {
    view["target-names"] = elementValues(*targets, "name");
  }
  result.value = std::move(view);
  result.success = true;
  result.message = "Target set found " + id;
  return result;
}

OperationResult TargetSetOperations::targetSetList() {
  OperationResult result;
  std::lock_guard<std::mutex> guard(config_.lock());
  const json* list = arrayMember(config_.jconfig, "targetsets");
  result.value = list != nullptr ? elementValues(*list, "id") : json::array();
  result.success = true;
  return result;
}

} // namespace quorvex
