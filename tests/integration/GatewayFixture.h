// A gateway started in a temporary directory with a configuration written
// for the test, listening on free ports.
#pragma once

#include <signal.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/SmppTestClient.h"
#include "support/TestProcess.h"

namespace quorvex::test {

inline constexpr uint32_t kBindReceiver = 0x00000001;
inline constexpr uint32_t kBindTransmitter = 0x00000002;
inline constexpr uint32_t kBindTransceiver = 0x00000009;
inline constexpr uint32_t kSubmitSMResp = 0x80000004;
inline constexpr uint32_t kDeliverSM = 0x00000005;
inline constexpr uint32_t kBindFail = 0x0000000D;
inline constexpr uint32_t kSubmitFail = 0x00000045;
inline constexpr uint32_t kThrottled = 0x00000058;

// The "base" settings and tables of a test configuration.
inline nlohmann::json baseConfig() {
  return {
      {"base",
       {{"smpp.port", freePort()},
        {"http.port", freePort()},
        {"smpp.max_connections_per_ip", 20},
        {"default_binding_enabled", true}}},
      {"cdr", {{"mode", "none"}}},
      {"esme", nlohmann::json::array()},
      {"routes-mt", nlohmann::json::array()},
      {"targetsets", nlohmann::json::array()},
  };
}

// An ESME account routed to the simulated SMSC.
inline nlohmann::json account(const std::string& systemId, const std::string& password = "") {
  return {
      {"systemid", systemId}, {"password", password}, {"sharedtargetsetid", "INTERNAL_SMSC_SIM"}};
}

class Gateway {
public:
  // Writes `config` (and a whitelist file when given) and starts the gateway.
  explicit Gateway(const nlohmann::json& config, const std::string& whitelist = "")
      : port_(config["base"]["smpp.port"].get<uint16_t>()) {
    dir_.write("quorvex.conf", config.dump(2));
    if (!whitelist.empty()) {
      dir_.write("ipwhitelist.conf", whitelist);
    }
    process_ = std::make_unique<GatewayProcess>(dir_.path());
    ready_ = process_->waitForOutput("Listening for SMPP on port ");
  }

  bool ready() const { return ready_; }
  // SIGTERM and the exit status (0 unless a sanitizer or a crash intervened).
  int stop() {
    process_->signal(SIGTERM);
    return process_->waitExit();
  }
  uint16_t port() const { return port_; }
  GatewayProcess& process() { return *process_; }
  std::string output() const { return process_->output(); }
  bool waitFor(const std::string& text, int seconds = 10) {
    return process_->waitForOutput(text, std::chrono::seconds(seconds));
  }
  std::unique_ptr<SmppTestClient> connect(const std::string& source = "") {
    return std::make_unique<SmppTestClient>(port_, source);
  }

private:
  TempDir dir_;                             // working directory of the gateway
  uint16_t port_;                           // its SMPP port
  std::unique_ptr<GatewayProcess> process_; // the running gateway
  bool ready_ = false;                      // the listener came up
};

} // namespace quorvex::test
