// The real quorvex serving its admin API on a free port, in a temporary
// working directory whose "quorvex.conf" the admin operations rewrite.
#pragma once

#include <signal.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/HttpTestClient.h"
#include "support/TestProcess.h"

namespace quorvex::test {

// The configuration every admin test starts from; nothing listens on the
// target's port, so its binds stay closed.
inline const char* kAdminConfig = R"({
  "base": {"auth.client_id": "admin", "auth.client_secret": "s3cret"},
  "esme": [{"systemid": "esme1", "sharedtargetsetid": "set1", "inboundmo": ["111", "222"]}],
  "targetsets": [{"id": "set1", "name": "Set One", "submits_enabled": true, "targets": [
    {"name": "smscA", "host": "127.0.0.1", "port": 9, "bindqty": 2, "systemid": "a",
     "password": "p", "systemtype": "", "weight": 1, "admindown": false}]}]
})";

class AdminServerTest : public ::testing::Test {
protected:
  void SetUp() override { startGateway(nlohmann::json::parse(kAdminConfig)); }

  // Starts the gateway on `config` with fresh ports.
  void startGateway(nlohmann::json config) {
    port_ = freePort();
    config["base"]["smpp.port"] = freePort();
    config["base"]["http.port"] = port_;
    dir_.write("quorvex.conf", config.dump(2));
    gateway_ = std::make_unique<GatewayProcess>(dir_.path());
    ASSERT_TRUE(gateway_->waitForOutput("Listening for SMPP on port")) << gateway_->output();
  }

  void stopGateway() {
    // Also a gateway that already died is checked: a sanitizer report or a
    // crash ends it with a status other than 0.
    if (gateway_) {
      gateway_->signal(SIGTERM);
      EXPECT_EQ(gateway_->waitExit(), 0) << gateway_->errors();
      gateway_.reset();
    }
  }

  void TearDown() override { stopGateway(); }

  // A token from the token endpoint with the configured credentials.
  std::string token() {
    const HttpTestReply reply =
        httpExchange(port_, request("POST", "/oauth2/v1/token",
                                    {"Content-Type: application/x-www-form-urlencoded"},
                                    "grant_type=client_credentials&scope=api&client_id=admin&"
                                    "client_secret=s3cret"));
    return nlohmann::json::parse(reply.body).at("access_token").get<std::string>();
  }

  HttpTestReply send(const std::string& method, const std::string& path,
                     const std::string& body = "{}") {
    if (token_.empty()) {
      token_ = token();
    }
    return httpExchange(port_, jsonRequest(method, path, token_, body));
  }

  // The body of an authorised GET, parsed.
  nlohmann::json view(const std::string& path) {
    return nlohmann::json::parse(send("GET", path).body);
  }

  // The saved file, parsed.
  nlohmann::json savedConfig() const { return nlohmann::json::parse(dir_.read("quorvex.conf")); }

  TempDir dir_;
  std::unique_ptr<GatewayProcess> gateway_;
  uint16_t port_ = 0; // the admin API's port
  std::string token_;
};

} // namespace quorvex::test
