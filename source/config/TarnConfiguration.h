// The gateway's configuration: the JSON document of "quorvex.conf" and the
// tables derived from it (ESME accounts, target sets, MO number owners,
// global MT route rules).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorvex {

// One upstream SMSC target of a target set.
struct ConfTarget {
  std::string name;       // unique across all target sets
  std::string host;       // SMSC host name or IPv4 address
  int32_t port = 0;       // SMSC TCP port
  int32_t bindQty = 0;    // number of binds to open
  std::string systemId;   // bind system_id
  std::string password;   // bind password
  std::string systemType; // bind system_type
  int32_t weight = 0;     // tickets in the submit pool
  bool adminDown = false; // administratively down: no binds
  bool useTxRx = false;   // a transmitter and a receiver bind instead of a transceiver
  bool useRxOnly = false; // bind as receiver only
  int32_t tpsLimit = 0;   // submits per second per bind
  bool tls = false;       // the binds run over TLS
  bool tlsVerify = true;  // with tls: the SMSC's certificate chain and host name are checked
  std::string tlsCaFile;  // with tls_verify: PEM authorities, empty = the system store
};

// A named set of targets that ESMEs and route rules point at.
struct ConfSharedTargetSet {
  std::string id;                  // table key
  std::string name;                // display name
  bool submitsEnabled = false;     // submits routed here are accepted
  std::vector<ConfTarget> targets; // in file order
};

// One ESME account.
struct ConfESME {
  std::string systemId;                 // table key
  std::string sharedTargetSetId;        // the ESME's default target set
  uint16_t tpsLimit = 65535;            // submits per second
  std::vector<std::string> moNumbers;   // numbers whose MO messages go to this ESME
  std::string password;                 // plain password, or empty
  std::string passwordHash;             // bcrypt hash, or empty
  bool bindingEnabled = true;           // binds are accepted
  bool submitsEnabled = true;           // submits are accepted
  std::vector<std::string> allowedIPs;  // IPv4 addresses or address/prefix; empty allows all
  std::vector<nlohmann::json> routesMT; // the ESME's own MT route rule objects
};

// Told after every admin change, on the changing thread (no lock held).
class ConfigurationObserver {
public:
  virtual ~ConfigurationObserver() = default;
  virtual void configurationChanged() = 0;
};

// Whether a member of that name holds a password or secret ("password",
// "password_hash", "auth.client_secret", ...).
bool namesSecret(std::string_view key);
// A copy of a document to print or log: the string values of such members,
// at any depth, show as "[DEFINED]" (or "[UNDEFINED]" when empty).
nlohmann::json secretsMasked(nlohmann::json doc);

class TarnConfiguration {
public:
  static constexpr const char* kFileName = "quorvex.conf";

  // Loads "quorvex.conf". Sets `createDefault` when the file cannot be opened.
  bool performLoad(bool& createDefault);

  // One validation pass over `doc`; with `apply` it also fills the tables.
  // Throws nlohmann::json::exception on a value of the wrong type.
  bool parseConfig(bool apply, const nlohmann::json& doc);

  // Parses one target entry into `target`; sets `error` on a missing key or,
  // with `checkDuplicates`, on a name already in the validation table.
  void processTarget(bool& error, ConfTarget& target, const nlohmann::json& entry,
                     bool checkDuplicates);

  // Writes the document, keeping the previous file as a backup. The caller
  // holds lock().
  void performSave();

  // Builds the default document and saves it.
  void createDefaultConfiguration();

  // Readers of the flat settings of "base". A missing key (or, for the bool
  // and int readers, a value of another type) gives `def`.
  std::string getSettingString(const std::string& key, const std::string& def);
  bool getSettingBool(const std::string& key, bool def);
  int64_t getSettingInt(const std::string& key, int64_t def);

  // Readers of the "cdr" object, with the same rules.
  std::string getCDRSettingString(const std::string& key, const std::string& def);
  int64_t getCDRSettingInt(const std::string& key, int64_t def);

  void dumpConfESME();
  void dumpConfSharedTargetSets();

  // Guards the document and every table.
  std::mutex& lock() { return lock_; }

  // The members below are read and changed under lock().
  nlohmann::json jconfig;
  std::map<std::string, ConfESME> confESME;
  std::map<std::string, std::vector<std::string>> esmeNumbers;
  std::map<std::string, std::string> numberOwners;
  std::vector<nlohmann::json> globalRoutesMT;
  uint64_t globalRoutesRevision = 0; // bumped whenever globalRoutesMT is replaced
  std::map<std::string, ConfSharedTargetSet> confSharedTargetSets;

  // Count of admin changes since start-up; read without the lock.
  std::atomic<uint64_t> configChangeStamp{0};

  // Sets configChangeStamp and tells the observer, so that a thread asleep
  // in its event loop sees the change at once instead of at its next pass.
  void markChanged();
  void setObserver(ConfigurationObserver* observer) { observer_.store(observer); }

private:
  // False, with a WARNING, when a known setting holds a JSON type its reader
  // cannot take (a string where a number belongs, say).
  bool checkSettingTypes(const nlohmann::json& doc);

  std::mutex lock_;
  std::atomic<ConfigurationObserver*> observer_{nullptr}; // told by markChanged
  std::map<std::string, ConfESME> validationESME_;
  std::map<std::string, ConfSharedTargetSet> validationTargetSets_;
};

// The process-wide configuration.
TarnConfiguration& configuration();

// Integer conversion of configuration values: a boolean is 0 or 1, a
// floating-point number is truncated toward zero (and clamped to the int64
// range), any other type throws nlohmann::json::type_error.
int64_t jsonToInt(const nlohmann::json& value);

} // namespace quorvex
