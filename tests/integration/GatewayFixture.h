// A gateway started in a temporary directory with a configuration written
// for the test, listening on free ports, and the helpers the process tests
// share to drive it.
#pragma once

#include <crypt.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "smpp/SMPPConstants.h"
#include "support/HttpTestClient.h"
#include "support/SmppTestClient.h"
#include "support/TestProcess.h"

namespace quorvex::test {

// The names of the commands the tests send and the statuses they expect.
using namespace smpp::command;
using namespace smpp::status;

// The gateway keeps the connection open: it answers an enquire_link.
inline bool admitted(SmppTestClient& client) {
  return client.connected() && client.request(kEnquireLink, {}).has_value();
}

// A connection the gateway refused: accepted by the kernel, then closed.
inline bool refused(SmppTestClient& client) {
  return client.connected() && client.waitClosed(std::chrono::seconds(5));
}

// The "base" settings and tables of a test configuration.
inline nlohmann::json baseConfig() {
  return {
      {"base",
       {{"smpp.port", freePort()},
        {"http.port", freePort()},
        {"smpp.max_connections_per_ip", 20},
        {"default_binding_enabled", true},
        {"auth.client_id", "ops"},
        {"auth.client_secret", "s3cret"}}},
      {"cdr", {{"mode", "none"}}},
      {"esme", nlohmann::json::array()},
      {"routes-mt", nlohmann::json::array()},
      {"targetsets", nlohmann::json::array()},
  };
}

// An ESME account routed to the simulated SMSC, with the `extra` members.
inline nlohmann::json account(const std::string& systemId, const std::string& password = "",
                              const nlohmann::json& extra = nlohmann::json::object()) {
  nlohmann::json esme = {
      {"systemid", systemId}, {"password", password}, {"sharedtargetsetid", "INTERNAL_SMSC_SIM"}};
  esme.update(extra);
  return esme;
}

// A bcrypt hash of `password` at the cost in `setting`.
inline std::string bcrypt(const std::string& password, const char* setting = "$2b$04$") {
  auto data = std::make_unique<crypt_data>();
  return crypt_r(password.c_str(), (std::string(setting) + "abcdefghijklmnopqrstuu").c_str(),
                 data.get());
}

// A target set accepting submits.
inline nlohmann::json targetSet(const std::string& id, const nlohmann::json& targets) {
  return {{"id", id}, {"name", id}, {"submits_enabled", true}, {"targets", targets}};
}

// An upstream target on 127.0.0.1 that binds as "gw".
inline nlohmann::json target(const std::string& name, uint16_t port, int bindqty = 1) {
  return {{"name", name},       {"host", "127.0.0.1"}, {"port", port},
          {"bindqty", bindqty}, {"systemid", "gw"},    {"password", ""},
          {"systemtype", ""},   {"weight", 1},         {"admindown", false}};
}

class Gateway {
public:
  // Writes `config` (and a whitelist file when given) and starts the gateway.
  explicit Gateway(const nlohmann::json& config, const std::string& whitelist = "")
      : port_(config["base"]["smpp.port"].get<uint16_t>()),
        httpPort_(config["base"]["http.port"].get<uint16_t>()) {
    dir_.write("quorvex.conf", config.dump(2));
    if (!whitelist.empty()) {
      dir_.write("ipwhitelist.conf", whitelist);
    }
    start();
  }
  // A gateway the test did not stop must still run and stop cleanly: one
  // that ended on its own (a crash, a sanitizer report) fails the test.
  ~Gateway() {
    if (!stopped_) {
      EXPECT_EQ(stop(), 0) << process_->errors();
    }
  }
  // Starts the gateway again in its directory after it ended.
  void start() {
    process_ = std::make_unique<GatewayProcess>(dir_.path());
    stopped_ = false;
    ready_ = process_->waitForOutput("Listening for SMPP on port ");
  }
  bool ready() const { return ready_; }
  // Sends `signo` and returns the exit status (0 after SIGTERM unless a
  // sanitizer or a crash intervened).
  int stop(int signo = SIGTERM) {
    stopped_ = true;
    process_->signal(signo);
    return process_->waitExit();
  }
  uint16_t port() const { return port_; }
  uint16_t httpPort() const { return httpPort_; }
  const TempDir& dir() const { return dir_; }
  GatewayProcess& process() { return *process_; }
  std::string output() const { return process_->output(); }
  bool waitFor(const std::string& text, int seconds = 10) {
    return process_->waitForOutput(text, std::chrono::seconds(seconds));
  }
  std::unique_ptr<SmppTestClient> connect(const std::string& source = "") {
    return std::make_unique<SmppTestClient>(port_, source);
  }
  // A connection bound as `id`, the bind expected to succeed.
  std::unique_ptr<SmppTestClient> bound(const std::string& id, uint32_t command = kBindTransceiver,
                                        const std::string& password = "pw",
                                        uint8_t version = 0x34) {
    auto client = connect();
    EXPECT_EQ(client->bind(command, id, password, version), 0u) << id;
    return client;
  }
  // A bearer token for the configured client "ops"/"s3cret".
  std::string token() {
    const HttpTestReply reply = httpExchange(
        httpPort_,
        request("POST", "/oauth2/v1/token", {"Content-Type: application/x-www-form-urlencoded"},
                "grant_type=client_credentials&client_id=ops&client_secret=s3cret&scope=api"));
    const auto body = nlohmann::json::parse(reply.body, nullptr, false);
    if (!body.is_object() || !body.contains("access_token")) {
      ADD_FAILURE() << "no token: " << reply.raw;
      return {};
    }
    return body["access_token"].get<std::string>();
  }
  // An authorised admin API request with a fresh token.
  HttpTestReply admin(const std::string& method, const std::string& path,
                      const std::string& body = "") {
    return httpExchange(httpPort_, jsonRequest(method, path, token(), body));
  }
  // An unauthorised GET, as a scraper or a status page makes it.
  std::string get(const std::string& path) {
    return httpExchange(httpPort_, request("GET", path)).body;
  }

private:
  TempDir dir_;                             // working directory of the gateway
  uint16_t port_;                           // its SMPP port
  uint16_t httpPort_;                       // its admin API port
  std::unique_ptr<GatewayProcess> process_; // the running gateway
  bool ready_ = false;                      // the listener came up
  bool stopped_ = false;                    // the test ended the process
};

// A suite whose tests share one gateway, started on `Suite::configuration()`
// with every address whitelisted (the suite's many connections from one
// address would trip the rate limits).
template <typename Suite> class SharedGatewayTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    gateway_ = std::make_unique<Gateway>(Suite::configuration(), "*\n");
  }
  static void TearDownTestSuite() { gateway_.reset(); }
  void SetUp() override { ASSERT_TRUE(gateway_->ready()) << gateway_->output(); }

  static inline std::unique_ptr<Gateway> gateway_;
};

} // namespace quorvex::test
