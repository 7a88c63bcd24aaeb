// The admin roles of the real executable that need an upstream: the status
// report of a live bind, and a command word that is none falling through.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/TestProcess.h"
#include "support/ToolProcesses.h"

namespace quorvex {
namespace {

using nlohmann::json;
using test::GatewayProcess;
using test::TempDir;

class AdminProcessTest : public ::testing::Test {
protected:
  void startGateway(const json& extraBase = json::object()) {
    simulator_ = std::make_unique<tools::test::SimulatorProcess>();
    smppPort_ = test::freePort();
    json base = {{"smpp.port", smppPort_},
                 {"http.port", test::freePort()},
                 {"auth.client_id", "ops"},
                 {"auth.client_secret", "s3cret"}};
    base.update(extraBase);
    const json target = {{"name", "smsc1"},  {"host", "127.0.0.1"}, {"port", simulator_->port()},
                         {"bindqty", 1},     {"systemid", "gw"},    {"password", ""},
                         {"systemtype", ""}, {"weight", 1},         {"admindown", false}};
    const json doc = {
        {"base", base},
        {"targetsets",
         {{{"id", "ts"}, {"name", "Test"}, {"submits_enabled", true}, {"targets", {target}}}}},
        {"esme", {{{"systemid", "acme"}, {"sharedtargetsetid", "ts"}}}},
    };
    dir_.write("quorvex.conf", doc.dump(2));
    gateway_ = std::make_unique<GatewayProcess>(dir_.path());
    ASSERT_TRUE(gateway_->waitForOutput("Listening for SMPP on port")) << gateway_->output();
  }

  uint16_t httpPort() {
    return json::parse(dir_.read("quorvex.conf"))["base"]["http.port"].get<uint16_t>();
  }

  // One GET on 127.0.0.1; the whole reply (the server closes after it).
  static std::string httpGet(uint16_t port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
      const std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
      if (::send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) {
          reply.append(buffer, static_cast<size_t>(n));
        }
      }
    }
    ::close(fd);
    return reply;
  }

  void TearDown() override {
    if (gateway_) {
      gateway_->signal(SIGTERM);
      EXPECT_EQ(gateway_->waitExit(), 0) << gateway_->errors();
    }
  }

  TempDir dir_;
  std::unique_ptr<tools::test::SimulatorProcess> simulator_;
  std::unique_ptr<GatewayProcess> gateway_;
  uint16_t smppPort_ = 0;
};

TEST_F(AdminProcessTest, StatusReportShowsTheBoundUpstream) {
  startGateway();
  ASSERT_TRUE(simulator_->process().waitForOutput("smsc-sim bind system_id=gw"));
  ASSERT_TRUE(gateway_->waitForOutput("Bind resp smsc1"));
  const std::string reply = httpGet(httpPort(), "/status");
  const size_t bodyAt = reply.find("\r\n\r\n");
  ASSERT_NE(bodyAt, std::string::npos) << reply;
  const json report = json::parse(reply.substr(bodyAt + 4));
  ASSERT_EQ(report["statusReport"].size(), 1u) << report.dump();
  const json& bind = report["statusReport"][0];
  EXPECT_EQ(bind["smsc_name"], "smsc1");
  EXPECT_EQ(bind["connected"], true);
  EXPECT_EQ(bind["bind_state"], 2);
  EXPECT_EQ(bind["port"], simulator_->port());
  EXPECT_EQ(bind["target_set"], "ts");
}

TEST(AdminProcessStandalone, UnknownWordFallsThroughToServerMode) {
  TempDir dir;
  const json doc = {{"base", {{"smpp.port", test::freePort()}, {"http.port", test::freePort()}}}};
  dir.write("quorvex.conf", doc.dump());
  GatewayProcess process(dir.path(), {"serve-please"});
  // No gateway answers the token request, so it fails before serving.
  ASSERT_TRUE(process.waitForOutput("Listening for SMPP on port")) << process.output();
  const std::string out = process.output();
  EXPECT_LT(out.find("Failed\n"), out.find("Starting VantorelQuorvex")) << out;
  // Without credentials the built-in token works, and start-up says so.
  EXPECT_NE(out.find("WARNING"), std::string::npos);
  process.signal(SIGTERM);
  EXPECT_EQ(process.waitExit(), 0);
}

} // namespace
} // namespace quorvex
