// The real quorvex serving its admin API, in a temporary working directory
// whose "quorvex.conf" the admin operations rewrite.
#pragma once

#include <memory>
#include <string>

#include "integration/GatewayFixture.h"

namespace quorvex::test {

// The configuration every admin test starts from; nothing listens on the
// target's port, so its binds stay closed.
inline nlohmann::json adminConfig() {
  nlohmann::json config = baseConfig();
  config["esme"] = nlohmann::json::parse(
      R"([{"systemid": "esme1", "sharedtargetsetid": "set1", "inboundmo": ["111", "222"]}])");
  config["targetsets"] =
      nlohmann::json::array({targetSet("set1", nlohmann::json::array({target("smscA", 9, 2)}))});
  return config;
}

class AdminServerTest : public ::testing::Test {
protected:
  void SetUp() override { startGateway(adminConfig()); }

  void startGateway(const nlohmann::json& config) {
    gateway_ = std::make_unique<Gateway>(config);
    ASSERT_TRUE(gateway_->ready()) << gateway_->output();
  }

  void stopGateway() { EXPECT_EQ(gateway_->stop(), 0) << gateway_->process().errors(); }

  uint16_t port() const { return gateway_->httpPort(); }
  const TempDir& dir() const { return gateway_->dir(); }

  HttpTestReply send(const std::string& method, const std::string& path,
                     const std::string& body = "{}") {
    return gateway_->admin(method, path, body);
  }

  // The body of an authorised GET, parsed.
  nlohmann::json view(const std::string& path) {
    return nlohmann::json::parse(send("GET", path).body);
  }

  // The saved file, parsed.
  nlohmann::json savedConfig() const { return nlohmann::json::parse(dir().read("quorvex.conf")); }

  std::unique_ptr<Gateway> gateway_;
};

} // namespace quorvex::test
