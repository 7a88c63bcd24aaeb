#include "admin/EsmeOperations.h"

#include <algorithm>
#include <iostream>

#include "admin/ConfigDocument.h"
#include "app/Log.h"
#include "config/TarnConfiguration.h"

namespace quorvex {

using nlohmann::json;

namespace {

const char* const kClass = "TarnConfiguration";

// Members copied from a request body into the stored ESME entry as they are.
const char* const kCopiedMembers[] = {"tpslimit", "submits_enabled", "binding_enabled", "password",
                                      "password_hash"};

std::vector<std::string> stringElements(const json& array) {
  std::vector<std::string> out;
  for (const auto& element : array) {
    if (element.is_string()) {
      out.push_back(element.get<std::string>());
    }
  }
  return out;
}

bool hasArray(const json& body, const char* key) {
  return body.contains(key) && body[key].is_array();
}

// Applies the members present in `body` to `record`; throws on a wrong type
// before anything is stored, so a failed request changes nothing.
void applyToRecord(ConfESME& record, const json& body) {
  if (body.contains("targetset")) {
    record.sharedTargetSetId = body["targetset"].get<std::string>();
  }
  if (body.contains("tpslimit")) {
    record.tpsLimit = static_cast<uint16_t>(jsonToInt(body["tpslimit"]));
  }
  if (body.contains("submits_enabled")) {
    record.submitsEnabled = body["submits_enabled"].get<bool>();
  }
  if (body.contains("binding_enabled")) {
    record.bindingEnabled = body["binding_enabled"].get<bool>();
  }
  if (body.contains("password")) {
    record.password = body["password"].get<std::string>();
  }
  if (body.contains("password_hash")) {
    record.passwordHash = body["password_hash"].get<std::string>();
  }
  if (hasArray(body, "inboundmo")) {
    record.moNumbers = stringElements(body["inboundmo"]);
  }
  if (hasArray(body, "allowedips")) {
    record.allowedIPs = stringElements(body["allowedips"]);
  }
}

// Copies the body's members into a stored entry.
void applyToEntry(json& entry, const json& body) {
  if (body.contains("targetset")) {
    entry["sharedtargetsetid"] = body["targetset"];
  }
  for (const char* key : kCopiedMembers) {
    if (body.contains(key)) {
      entry[key] = body[key];
    }
  }
  for (const char* key : {"inboundmo", "allowedips"}) {
    if (hasArray(body, key)) {
      entry[key] = body[key];
    }
  }
}

// The first "esme" element with this system id, or null.
json* findEntry(json& doc, const std::string& systemId) {
  return findElement(arrayMember(doc, "esme"), "systemid", systemId);
}

// Gives `numbers` to `systemId`. A number is taken from the ESME that owned
// it before, in memory and in its saved entry: left there, a later change of
// that ESME would take it back, and the saved file would name two owners.
void setOwners(TarnConfiguration& config, const std::string& systemId,
               const std::vector<std::string>& numbers) {
  for (const auto& number : numbers) {
    const auto owner = config.numberOwners.find(number);
    if (owner == config.numberOwners.end() || owner->second == systemId) {
      continue;
    }
    const std::string previous = owner->second;
    std::erase(config.esmeNumbers[previous], number);
    if (const auto record = config.confESME.find(previous); record != config.confESME.end()) {
      std::erase(record->second.moNumbers, number);
    }
    if (json* entry = findEntry(config.jconfig, previous);
        entry != nullptr && hasArray(*entry, "inboundmo")) {
      json& listed = (*entry)["inboundmo"];
      listed.erase(std::remove(listed.begin(), listed.end(), json(number)), listed.end());
    }
  }
  config.esmeNumbers[systemId] = numbers;
  for (auto it = config.numberOwners.begin(); it != config.numberOwners.end();) {
    it = it->second == systemId ? config.numberOwners.erase(it) : std::next(it);
  }
  for (const auto& number : numbers) {
    config.numberOwners[number] = systemId;
  }
}

} // namespace

void commitChange(TarnConfiguration& config) {
  config.performSave();
  config.markChanged();
}

OperationResult EsmeOperations::esmeAdd(const json& body) {
  OperationResult result;
  const bool touch = body.contains("touch");
  announce(touch ? "Performing operation: Touch ESME" : "Performing operation: Add ESME");
  std::lock_guard<std::mutex> guard(config_.lock());
  logApplication(LOG_INFO, &config_, kClass, "esmeAdd", "IN");
  if (touch) {
    commitChange(config_);
    return fail(result, "ESME touch");
  }
  if (!body.contains("systemid")) {
    return fail(result, "Missing field: systemid");
  }
  if (!body.contains("targetset")) {
    return fail(result, "Missing field: targetset");
  }
  const std::string systemId = body["systemid"].get<std::string>();
  if (config_.confESME.count(systemId) != 0) {
    return fail(result, "ESME already exists");
  }
  ConfESME record;
  record.systemId = systemId;
  applyToRecord(record, body);
  json entry = {{"systemid", systemId}, {"sharedtargetsetid", body["targetset"]}};
  applyToEntry(entry, body);

  setOwners(config_, systemId, record.moNumbers);
  config_.confESME[systemId] = std::move(record);
  config_.jconfig["esme"].push_back(std::move(entry));
  commitChange(config_);
  result.success = true;
  result.message = "ESME added " + systemId;
  logApplication(LOG_INFO, &config_, kClass, "esmeAdd", "OUT");
  return result;
}

OperationResult EsmeOperations::esmeModify(const std::string& systemId, const json& body) {
  OperationResult result;
  announce("Performing operation: Modify ESME");
  std::lock_guard<std::mutex> guard(config_.lock());
  auto it = config_.confESME.find(systemId);
  if (it == config_.confESME.end()) {
    return fail(result, "ESME not found");
  }
  ConfESME record = it->second;
  applyToRecord(record, body);
  json* stored = findEntry(config_.jconfig, systemId);
  json entry = stored != nullptr ? *stored : json();
  if (stored != nullptr) {
    applyToEntry(entry, body);
  }

  setOwners(config_, systemId, record.moNumbers);
  it->second = std::move(record);
  if (stored != nullptr) {
    *stored = std::move(entry);
  }
  commitChange(config_);
  result.success = true;
  result.message = "ESME modified " + systemId;
  return result;
}

OperationResult EsmeOperations::esmeRemove(const std::string& systemId) {
  OperationResult result;
  announce("Performing operation: Remove ESME");
  std::lock_guard<std::mutex> guard(config_.lock());
  if (config_.confESME.erase(systemId) == 0) {
    return fail(result, "ESME not found " + systemId);
  }
  config_.esmeNumbers.erase(systemId);
  for (auto it = config_.numberOwners.begin(); it != config_.numberOwners.end();) {
    it = it->second == systemId ? config_.numberOwners.erase(it) : std::next(it);
  }
  eraseElement(arrayMember(config_.jconfig, "esme"), "systemid", systemId);
  commitChange(config_);
  result.success = true;
  result.message = "ESME removed " + systemId;
  return result;
}

OperationResult EsmeOperations::esmeView(const std::string& systemId) {
  OperationResult result;
  // Changes come only from this thread; the lock keeps the SMPP threads' reads consistent too.
  std::lock_guard<std::mutex> guard(config_.lock());
  if (config_.confESME.count(systemId) == 0) {
    return fail(result, "ESME not found " + systemId);
  }
  const json* entry = findEntry(config_.jconfig, systemId);
  result.value = entry != nullptr ? *entry : json();
  result.success = true;
  return result;
}

OperationResult EsmeOperations::esmeList() {
  OperationResult result;
  std::lock_guard<std::mutex> guard(config_.lock());
  result.success = true;
  // Without an "esme" array the value stays null, as the API has always answered.
  if (const json* list = arrayMember(config_.jconfig, "esme")) {
    result.value = elementValues(*list, "systemid");
  }
  return result;
}

} // namespace quorvex
