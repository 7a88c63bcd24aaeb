#include "config/TarnConfiguration.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>

#include "app/AtomicFile.h"
#include "app/Log.h"

namespace quorvex {

using nlohmann::json;

namespace {

const char* const kClass = "TarnConfiguration";
// A configuration file beyond this size is refused rather than read into memory.
constexpr long kMaxFileBytes = 64L * 1024 * 1024;

const char* boolText(bool value) { return value ? "true" : "false"; }

// How every dump shows a secret: whether it is set, never its value.
const char* secretText(const std::string& secret) {
  return secret.empty() ? "[UNDEFINED]" : "[DEFINED]";
}

// Known "base" settings and what their readers accept.
enum class SettingType { String, Integer, Boolean, Port, ListenPort }; // ListenPort: 0 = none
struct KnownSetting {
  const char* key;
  SettingType type;
};
const KnownSetting kBaseSettings[] = {
    {"auth.client_id", SettingType::String},
    {"auth.client_secret", SettingType::String},
    {"dlr.default_system_id", SettingType::String},
    {"dlr.msgid_ttl_hours", SettingType::Integer},
    {"smpp.max_connections_per_ip", SettingType::Integer},
    {"smpp.port", SettingType::ListenPort},
    {"smpp.tls_port", SettingType::ListenPort},
    {"tls.cert_file", SettingType::String},
    {"tls.key_file", SettingType::String},
    {"http.port", SettingType::Port},
    {"http.tls", SettingType::Boolean},
};
const KnownSetting kCDRSettings[] = {
    {"file_path", SettingType::String},         {"mode", SettingType::String},
    {"batch_size", SettingType::Integer},       {"batch_flush_interval", SettingType::Integer},
    {"cleanup_interval", SettingType::Integer},
};

bool isIntegerLike(const json& value) { return value.is_number() || value.is_boolean(); }

// The string elements of an array, others skipped.
void appendStrings(std::vector<std::string>& out, const json& array) {
  for (const auto& element : array) {
    if (element.is_string()) {
      out.push_back(element.get<std::string>());
    }
  }
}

} // namespace

bool namesSecret(std::string_view key) {
  return key.find("password") != std::string_view::npos ||
         key.find("secret") != std::string_view::npos;
}

json secretsMasked(json doc) {
  if (doc.is_array()) {
    for (json& item : doc) {
      item = secretsMasked(std::move(item));
    }
  } else if (doc.is_object()) {
    for (auto& [key, value] : doc.items()) {
      if (namesSecret(key) && value.is_string()) {
        value = secretText(value.get<std::string>());
      } else {
        value = secretsMasked(std::move(value));
      }
    }
  }
  return doc;
}

void TarnConfiguration::markChanged() {
  // A counter, not a time: readers compare for inequality, and a wall clock
  // stepped back (or two changes in one tick) must still read as a change.
  configChangeStamp.fetch_add(1);
  if (ConfigurationObserver* observer = observer_.load()) {
    observer->configurationChanged();
  }
}

TarnConfiguration& configuration() {
  static TarnConfiguration instance;
  return instance;
}

int64_t jsonToInt(const json& value) {
  if (value.is_number_float()) {
    const double d = std::trunc(value.get<double>());
    if (std::isnan(d)) {
      return 0;
    }
    if (d >= 9.2233720368547758e18) {
      return std::numeric_limits<int64_t>::max();
    }
    if (d <= -9.2233720368547758e18) {
      return std::numeric_limits<int64_t>::min();
    }
    return static_cast<int64_t>(d);
  }
  if (value.is_boolean()) {
    return value.get<bool>() ? 1 : 0;
  }
  if (value.is_number_unsigned()) {
    return static_cast<int64_t>(value.get<uint64_t>());
  }
  // Anything but a number throws type_error.
  return value.get<int64_t>();
}

bool TarnConfiguration::performLoad(bool& createDefault) {
  createDefault = false;
  std::lock_guard<std::mutex> guard(lock_);

  FILE* f = std::fopen(kFileName, "rb");
  if (f == nullptr) {
    logApplication(LOG_WARNING, this, kClass, "performLoad", "Unable to open configuration file %s",
                   kFileName);
    createDefault = true;
    return false;
  }
  // Whatever keeps the file from loading is said, then that it is invalid:
  // the start ends with a reason in the log, never silently.
  const auto invalid = [this](const char* reason) {
    logApplication(LOG_WARNING, this, kClass, "performLoad", "%s", reason);
    logApplication(LOG_WARNING, this, kClass, "performLoad", "Configuration file %s invalid",
                   kFileName);
    return false;
  };
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  if (size <= 0) {
    std::fclose(f);
    return invalid(size == 0 ? "Configuration file is empty" : "Configuration file is unreadable");
  }
  if (size > kMaxFileBytes) {
    std::fclose(f);
    logApplication(LOG_WARNING, this, kClass, "performLoad",
                   "Configuration file %s is larger than %ld bytes", kFileName, kMaxFileBytes);
    logApplication(LOG_WARNING, this, kClass, "performLoad", "Configuration file %s invalid",
                   kFileName);
    return false;
  }
  std::string text(static_cast<size_t>(size), '\0');
  const bool read = std::fread(text.data(), 1, text.size(), f) == text.size();
  std::fclose(f);
  if (!read) {
    return invalid("Configuration file is unreadable");
  }

  try {
    json parsed = json::parse(text);
    jconfig = std::move(parsed);
    std::cout << secretsMasked(jconfig).dump(2) << "\n";
    std::cout.flush();
    if (!parseConfig(false, jconfig) || !checkSettingTypes(jconfig)) {
      logApplication(LOG_WARNING, this, kClass, "performLoad", "Configuration file %s invalid",
                     kFileName);
      return false;
    }
    parseConfig(true, jconfig);
  } catch (const json::exception& e) {
    logApplication(LOG_WARNING, this, kClass, "performLoad", "Exception %s", e.what());
    logApplication(LOG_WARNING, this, kClass, "performLoad", "Configuration file %s invalid",
                   kFileName);
    return false;
  }
  dumpConfESME();
  dumpConfSharedTargetSets();
  return true;
}

bool TarnConfiguration::checkSettingTypes(const json& doc) {
  if (!doc.is_object()) {
    logApplication(LOG_WARNING, this, kClass, "performLoad",
                   "Invalid configuration file - the document is not a JSON object");
    return false;
  }
  auto check = [this](const json& section, const char* sectionName, const KnownSetting* begin,
                      const KnownSetting* end) {
    if (section.is_null()) {
      return true;
    }
    if (!section.is_object()) {
      logApplication(LOG_WARNING, this, kClass, "performLoad",
                     "Invalid configuration file - \"%s\" is not an object", sectionName);
      return false;
    }
    for (const KnownSetting* s = begin; s != end; ++s) {
      auto it = section.find(s->key);
      if (it == section.end()) {
        continue;
      }
      const bool ok = s->type == SettingType::String    ? it->is_string()
                      : s->type == SettingType::Boolean ? it->is_boolean()
                                                        : isIntegerLike(*it);
      if (!ok) {
        logApplication(LOG_WARNING, this, kClass, "performLoad",
                       "Invalid configuration file - setting %s has the wrong type (%s)", s->key,
                       it->type_name());
        return false;
      }
      if (s->type == SettingType::Port || s->type == SettingType::ListenPort) {
        const int64_t port = jsonToInt(*it);
        const int64_t lowest = s->type == SettingType::Port ? 1 : 0;
        if (port < lowest || port > 65535) {
          logApplication(LOG_WARNING, this, kClass, "performLoad",
                         "Invalid configuration file - setting %s out of range (%d to 65535)",
                         s->key, static_cast<int>(lowest));
          return false;
        }
      }
    }
    return true;
  };
  const json none;
  const json& base = doc.contains("base") ? doc["base"] : none;
  const json& cdr = doc.contains("cdr") ? doc["cdr"] : none;
  return check(base, "base", std::begin(kBaseSettings), std::end(kBaseSettings)) &&
         check(cdr, "cdr", std::begin(kCDRSettings), std::end(kCDRSettings));
}

bool TarnConfiguration::parseConfig(bool apply, const json& doc) {
  bool error = false;
  validationESME_.clear();
  validationTargetSets_.clear();

  if (doc.contains("targetsets")) {
    for (const auto& set : doc["targetsets"].get_ref<const json::array_t&>()) {
      if (!set.is_object() || !set.contains("id") || !set.contains("name") ||
          !set.contains("submits_enabled") || !set.contains("targets") ||
          !(set["targets"].is_array() || set["targets"].is_null())) {
        logApplication(
            LOG_WARNING, this, kClass, "parseConfig",
            "Invalid configuration file - missing id, name, submits_enabled or targets in target set");
        validationESME_.clear();
        validationTargetSets_.clear();
        return false;
      }
      ConfSharedTargetSet record;
      record.id = set["id"].get<std::string>();
      record.name = set["name"].get<std::string>();
      record.submitsEnabled = set["submits_enabled"].get<bool>();
      // A set added through the admin API without targets holds null.
      for (const auto& entry : set["targets"]) {
        ConfTarget target;
        processTarget(error, target, entry, true);
        record.targets.push_back(std::move(target));
        validationTargetSets_[record.id] = record;
      }
      validationTargetSets_[record.id] = record;
      if (apply) {
        confSharedTargetSets[record.id] = std::move(record);
      }
    }
  }

  globalRoutesMT.clear();
  ++globalRoutesRevision;
  if (doc.contains("routes-mt") && doc["routes-mt"].is_array()) {
    for (const auto& rule : doc["routes-mt"]) {
      if (!rule.is_object() || !rule.contains("criteria") || !rule.contains("targetset")) {
        logApplication(LOG_WARNING, this, kClass, "parseConfig",
                       "Invalid global routes-mt rule: missing criteria or targetset");
        error = true;
        continue;
      }
      const json& criteria = rule["criteria"];
      if (!criteria.is_object() || !criteria.contains("match") || !criteria.contains("type") ||
          !criteria.contains("value")) {
        logApplication(LOG_WARNING, this, kClass, "parseConfig",
                       "Invalid criteria in global routes-mt: missing match/type/value");
        error = true;
        continue;
      }
      globalRoutesMT.push_back(rule);
    }
  }

  if (doc.contains("esme")) {
    for (const auto& entry : doc["esme"].get_ref<const json::array_t&>()) {
      if (!entry.is_object() || !entry.contains("systemid") ||
          !entry.contains("sharedtargetsetid")) {
        logApplication(
            LOG_WARNING, this, kClass, "parseConfig",
            "Invalid configuration file - missing systemid or sharedtargetsetid field in ESME");
        error = true;
        continue;
      }
      ConfESME record;
      record.systemId = entry["systemid"].get<std::string>();
      record.sharedTargetSetId = entry["sharedtargetsetid"].get<std::string>();
      // A larger limit keeps its low 16 bits.
      record.tpsLimit = entry.contains("tpslimit")
                            ? static_cast<uint16_t>(jsonToInt(entry["tpslimit"]))
                            : static_cast<uint16_t>(65535);
      record.submitsEnabled =
          entry.contains("submits_enabled") ? entry["submits_enabled"].get<bool>() : true;
      record.bindingEnabled =
          entry.contains("binding_enabled") ? entry["binding_enabled"].get<bool>() : true;
      record.password = entry.contains("password") ? entry["password"].get<std::string>() : "";
      record.passwordHash =
          entry.contains("password_hash") ? entry["password_hash"].get<std::string>() : "";
      if (entry.contains("inboundmo") && entry["inboundmo"].is_array()) {
        appendStrings(record.moNumbers, entry["inboundmo"]);
      }
      if (entry.contains("numbering") && entry["numbering"].is_array()) {
        record.moNumbers.clear();
        for (const auto& block : entry["numbering"]) {
          if (block.is_object() && block.contains("numbers") && block["numbers"].is_array()) {
            appendStrings(record.moNumbers, block["numbers"]);
          }
        }
      }
      if (entry.contains("routes-mt") && entry["routes-mt"].is_array()) {
        for (const auto& rule : entry["routes-mt"]) {
          if (!rule.is_object() || !rule.contains("criteria") || !rule.contains("targetset")) {
            logApplication(LOG_WARNING, this, kClass, "parseConfig",
                           "Invalid routes-mt rule: missing criteria or targetset");
            error = true;
            continue;
          }
          const json& criteria = rule["criteria"];
          if (!criteria.is_object() || !criteria.contains("match") || !criteria.contains("type") ||
              !criteria.contains("value")) {
            logApplication(LOG_WARNING, this, kClass, "parseConfig",
                           "Invalid criteria in routes-mt: missing match/type/value");
            error = true;
            continue;
          }
          record.routesMT.push_back(rule);
        }
      }
      // Allowed IPs are read back so that accounts keep them across restarts.
      if (entry.contains("allowedips") && entry["allowedips"].is_array()) {
        appendStrings(record.allowedIPs, entry["allowedips"]);
      }
      if (validationESME_.count(record.systemId) != 0) {
        std::cout << "Invalid configuration file - duplicate ESME systemid " << record.systemId
                  << "\n";
        std::cout.flush();
        error = true;
      }
      validationESME_[record.systemId] = record;
      if (apply) {
        esmeNumbers[record.systemId] = record.moNumbers;
        for (const auto& number : record.moNumbers) {
          numberOwners[number] = record.systemId;
        }
        confESME[record.systemId] = std::move(record);
      }
    }
  }

  validationESME_.clear();
  validationTargetSets_.clear();
  return !error;
}

void TarnConfiguration::processTarget(bool& error, ConfTarget& target, const json& entry,
                                      bool checkDuplicates) {
  std::cout << secretsMasked(entry).dump() << "\n";
  std::cout.flush();
  static const char* const kRequired[] = {"name",     "host",       "bindqty", "systemid",
                                          "password", "systemtype", "weight",  "admindown"};
  for (const char* key : kRequired) {
    if (!entry.is_object() || !entry.contains(key)) {
      logApplication(LOG_WARNING, this, kClass, "processTarget",
                     "Invalid configuration file - missing required field '%s' in target", key);
      error = true;
      return;
    }
  }
  target.port = entry.contains("port") ? static_cast<int32_t>(jsonToInt(entry["port"])) : 2775;
  target.name = entry["name"].get<std::string>();
  target.host = entry["host"].get<std::string>();
  target.bindQty = static_cast<int32_t>(jsonToInt(entry["bindqty"]));
  target.systemId = entry["systemid"].get<std::string>();
  target.password = entry["password"].get<std::string>();
  target.systemType = entry["systemtype"].get<std::string>();
  target.weight = static_cast<int32_t>(jsonToInt(entry["weight"]));
  target.adminDown = entry["admindown"].get<bool>();
  target.useTxRx = entry.contains("usetxrx") ? entry["usetxrx"].get<bool>() : false;
  target.useRxOnly = entry.contains("userxonly") ? entry["userxonly"].get<bool>() : false;
  target.tpsLimit =
      entry.contains("tpslimit") ? static_cast<int32_t>(jsonToInt(entry["tpslimit"])) : 32000;
  target.tls = entry.contains("tls") ? entry["tls"].get<bool>() : false;
  target.tlsVerify = entry.contains("tls_verify") ? entry["tls_verify"].get<bool>() : true;
  target.tlsCaFile = entry.contains("tls_ca_file") ? entry["tls_ca_file"].get<std::string>() : "";

  if (!checkDuplicates) {
    return;
  }
  // O(targets) per target, so O(n^2) per pass; configurations hold tens of targets.
  for (const auto& [id, set] : validationTargetSets_) {
    for (const auto& other : set.targets) {
      if (other.name == target.name) {
        logApplication(LOG_WARNING, this, kClass, "processTarget",
                       "Invalid configuration file - duplicate target %s", target.name.c_str());
        error = true;
        return;
      }
    }
    if (error) {
      return;
    }
  }
}

void TarnConfiguration::performSave() {
  char backup[64];
  std::snprintf(backup, sizeof(backup), "quorvex_%llu.conf",
                static_cast<unsigned long long>(nowMicros()));
  // The backup is a second name for the file about to be replaced, so the
  // configuration's own name never goes missing, whenever the process dies.
  if (::link(kFileName, backup) != 0) {
    logApplication(LOG_WARNING, this, kClass, "performSave", "Failed to rename %s to %s", kFileName,
                   backup);
  }
  const std::string text = jconfig.dump(2) + "\n";
  std::cout << secretsMasked(jconfig).dump(2) << "\n\n";
  std::cout.flush();
  dumpConfESME();
  dumpConfSharedTargetSets();

  // A kill or power loss at any instant leaves the old file or the new one,
  // whole; a full disk leaves the old one and does not pass for a save.
  std::string error;
  if (!writeFileAtomically(kFileName, text, error)) {
    logApplication(LOG_WARNING, this, kClass, "performSave", "%s", error.c_str());
    logApplication(LOG_WARNING, this, kClass, "performSave", "Configuration file %s failed to save",
                   kFileName);
    return;
  }
  logApplication(LOG_INFO, this, kClass, "performSave", "Configuration file %s save", kFileName);
}

void TarnConfiguration::createDefaultConfiguration() {
  jconfig = json::object();
  jconfig["base"] = {
      {"_product", "Quorvex"},       {"auth.client_id", ""},
      {"auth.client_secret", ""},    {"default_binding_enabled", true},
      {"dlr.default_system_id", ""}, {"dlr.disable_msgid_tracking", false},
      {"ipwhitelistonly", false},    {"smpp.max_connections_per_ip", 250},
      {"smpp.port", 2775},
  };
  jconfig["cdr"] = {{"mode", "operation"},
                    {"file_path", "cdrs.csv"},
                    {"batch_size", 1000},
                    {"batch_flush_interval", 30},
                    {"cleanup_interval", 24}};
  jconfig["esme"] = json::array();
  jconfig["targetsets"] = json::array();
  jconfig["routes-mo"] = json::array();
  jconfig["routes-mt"] = json::array();
  performSave();
}

std::string TarnConfiguration::getSettingString(const std::string& key, const std::string& def) {
  std::lock_guard<std::mutex> guard(lock_);
  auto base = jconfig.find("base");
  if (base == jconfig.end() || !base->is_object()) {
    return def;
  }
  auto it = base->find(key);
  return it != base->end() && it->is_string() ? it->get<std::string>() : def;
}

bool TarnConfiguration::getSettingBool(const std::string& key, bool def) {
  std::lock_guard<std::mutex> guard(lock_);
  auto base = jconfig.find("base");
  if (base == jconfig.end() || !base->is_object()) {
    return def;
  }
  auto it = base->find(key);
  return it != base->end() && it->is_boolean() ? it->get<bool>() : def;
}

int64_t TarnConfiguration::getSettingInt(const std::string& key, int64_t def) {
  std::lock_guard<std::mutex> guard(lock_);
  auto base = jconfig.find("base");
  if (base == jconfig.end() || !base->is_object()) {
    return def;
  }
  auto it = base->find(key);
  return it != base->end() && isIntegerLike(*it) ? jsonToInt(*it) : def;
}

std::string TarnConfiguration::getCDRSettingString(const std::string& key, const std::string& def) {
  std::lock_guard<std::mutex> guard(lock_);
  auto cdr = jconfig.find("cdr");
  if (cdr == jconfig.end() || !cdr->is_object()) {
    return def;
  }
  auto it = cdr->find(key);
  return it != cdr->end() && it->is_string() ? it->get<std::string>() : def;
}

int64_t TarnConfiguration::getCDRSettingInt(const std::string& key, int64_t def) {
  std::lock_guard<std::mutex> guard(lock_);
  auto cdr = jconfig.find("cdr");
  if (cdr == jconfig.end() || !cdr->is_object()) {
    return def;
  }
  auto it = cdr->find(key);
  return it != cdr->end() && isIntegerLike(*it) ? jsonToInt(*it) : def;
}

void TarnConfiguration::dumpConfESME() {
  std::string out = "Dumping configuration (Quorvex mode):\n[Quorvex] Dumping confESME:\n";
  for (const auto& [id, esme] : confESME) {
    out += "System ID: " + esme.systemId + "\n";
    out += std::string("Password: ") + secretText(esme.password) + "\n";
    out += std::string("Password (hash): ") + secretText(esme.passwordHash) + "\n";
    out += "Shared Target Set ID: " + esme.sharedTargetSetId + "\n";
    out += "TPS Limit: " + std::to_string(esme.tpsLimit) + "\n";
    out += std::string("Binding Enabled: ") + boolText(esme.bindingEnabled) + "\n";
    out += std::string("Submits Enabled: ") + boolText(esme.submitsEnabled) + "\n";
    out += "Inbound MO: ";
    for (const auto& number : esme.moNumbers) {
      out += number + " ";
    }
    out += "\n---------------------------------\n";
  }
  std::cout << out;
  std::cout.flush();
}

void TarnConfiguration::dumpConfSharedTargetSets() {
  std::string out =
      "Dumping configuration (Quorvex mode):\n[Quorvex] Dumping confSharedTargetSets:\n";
  for (const auto& [id, set] : confSharedTargetSets) {
    out += "Shared Target Set ID: " + set.id + "\n";
    out += "Name: " + set.name + "\n";
    out += std::string("Submits Enabled: ") + boolText(set.submitsEnabled) + "\n";
    for (const auto& t : set.targets) {
      out += "  Target:\n";
      out += "    Name: " + t.name + "\n";
      out += "    Host: " + t.host + "\n";
      out += "    Port: " + std::to_string(t.port) + "\n";
      out += "    Bind Quantity: " + std::to_string(t.bindQty) + "\n";
      out += "    System ID: " + t.systemId + "\n";
      out += std::string("    Password: ") + secretText(t.password) + "\n";
      out += "    System Type: " + t.systemType + "\n";
      out += "    Weight: " + std::to_string(t.weight) + "\n";
      out += std::string("    Admin Down: ") + boolText(t.adminDown) + "\n";
      out += std::string("    Use TxRx: ") + boolText(t.useTxRx) + "\n";
      out += std::string("    Use Rx Only: ") + boolText(t.useRxOnly) + "\n";
      out += "    TPS Limit: " + std::to_string(t.tpsLimit) + "\n";
    }
    out += "---------------------------------\n";
  }
  std::cout << out;
  std::cout.flush();
}

} // namespace quorvex
