// The status report of "/status": one entry per configured upstream bind and
// a summary of counters.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace quorvex {

class TarnConfiguration;

// One upstream bind as the upstream manager sees it.
struct BindStatus {
  bool hasSession = false; // an active session with this smscid exists
  bool connected = false;  // that session's socket is connected
  int bindType = 2;        // 0 receiver, 1 transmitter, 2 transceiver
  int bindState = 0;       // 2 transceiver, 3 transmitter, 4 receiver, 0 unbound or no session
  std::string host;        // from the session when it has one, else from the slot
  uint32_t port = 0;       // likewise
  std::string systemId;    // likewise
  bool adminDown = false;  // likewise
};

// What the report needs from the upstream side. The upstream manager
// implements it by copying its slot table under its sessions mutex.
class StatusSource {
public:
  virtual ~StatusSource() = default;
  // Every slot by smscid; session values where a session with that smscid is active.
  virtual std::map<uint64_t, BindStatus> bindStatuses() = 0;
};

// Builds the report; with no source every bind is skipped (no slot table yet).
nlohmann::json statusReport(TarnConfiguration& config, StatusSource* source);

} // namespace quorvex
