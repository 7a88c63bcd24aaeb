// The executable's roles and its start-up and shutdown order, observed by
// running the built quorvex in a temporary working directory.
#include <signal.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/TestProcess.h"

namespace quorvex {
namespace {

using test::GatewayProcess;
using test::TempDir;

// Signals are handled from here on; before it they keep their default action.
const char* const kListening = "Listening for SMPP on port ";

// A minimal valid configuration on ports nobody else uses.
std::string serverConfig(const std::string& cdrMode = "operation") {
  nlohmann::json doc = {
      {"base",
       {{"smpp.port", test::freePort()},
        {"http.port", test::freePort()},
        {"auth.client_id", "ops"},
        {"auth.client_secret", "s3cret"}}},
      {"cdr", {{"mode", cdrMode}}},
      {"esme", nlohmann::json::array()},
      {"targetsets", nlohmann::json::array()},
  };
  return doc.dump(2);
}

// Position of `text` in `output`, failing the test when it is absent.
size_t positionOf(const std::string& output, const std::string& text) {
  const size_t at = output.find(text);
  EXPECT_NE(at, std::string::npos) << "missing: " << text << "\n" << output;
  return at;
}

TEST(ProcessTest, VersionPrintsOnlyTheBanner) {
  TempDir dir;
  dir.write("quorvex.conf", "not json at all");
  GatewayProcess process(dir.path(), {"version"});
  EXPECT_EQ(process.waitExit(), 0);
  const std::string out = process.output();
  // "Vantorel Quorvex | Build time: Mmm dd yyyy hh:mm:ss | Build <7 hex digits>", one line.
  const std::string head = "Vantorel Quorvex | Build time: ";
  ASSERT_EQ(out.size(), head.size() + 20 + 9 + 7 + 1) << out;
  EXPECT_EQ(out.substr(0, head.size()), head);
  EXPECT_EQ(out.substr(head.size() + 20, 9), " | Build ") << out;
  EXPECT_EQ(out.find_first_not_of("0123456789abcdef", head.size() + 29), out.size() - 1) << out;
  // The message-id store is opened by the gateway role only.
  EXPECT_EQ(process.errors(), "");
  EXPECT_FALSE(dir.exists("msgidstore"));
  // The configuration was not read, so nothing complained and nothing was logged.
  EXPECT_EQ(dir.read("quorvex.conf"), "not json at all");
  EXPECT_FALSE(dir.exists("application.log"));
}

TEST(ProcessTest, FirstStartWritesDefaultsAndSecondStartServes) {
  TempDir dir;
  GatewayProcess first(dir.path());
  EXPECT_EQ(first.waitExit(), 0);
  const std::string out = first.output();
  EXPECT_EQ(out.rfind("Vantorel Quorvex | Build time: ", 0), 0u) << out;
  const size_t warning = positionOf(
      out,
      " WARNING TarnConfiguration::performLoad Unable to open configuration file quorvex.conf\n");
  const size_t created = positionOf(out, "    INFO Application::main Created configuration\n");
  EXPECT_LT(warning, created);
  EXPECT_EQ(out.find("Starting VantorelQuorvex"), std::string::npos);

  const std::string text = dir.read("quorvex.conf");
  const nlohmann::json expected = {
      {"base",
       {{"_product", "Quorvex"},
        {"auth.client_id", ""},
        {"auth.client_secret", ""},
        {"default_binding_enabled", true},
        {"dlr.default_system_id", ""},
        {"dlr.disable_msgid_tracking", false},
        {"ipwhitelistonly", false},
        {"smpp.max_connections_per_ip", 250},
        {"smpp.port", 2775}}},
      {"cdr",
       {{"batch_flush_interval", 30},
        {"batch_size", 1000},
        {"cleanup_interval", 24},
        {"file_path", "cdrs.csv"},
        {"mode", "operation"}}},
      {"esme", nlohmann::json::array()},
      {"routes-mo", nlohmann::json::array()},
      {"routes-mt", nlohmann::json::array()},
      {"targetsets", nlohmann::json::array()},
  };
  // Two-space indentation, sorted keys, a final newline: exactly the library's form.
  EXPECT_EQ(text, expected.dump(2) + "\n");

  // The default file loads; serve on free ports so parallel tests do not collide.
  nlohmann::json doc = nlohmann::json::parse(text);
  doc["base"]["smpp.port"] = test::freePort();
  doc["base"]["http.port"] = test::freePort();
  dir.write("quorvex.conf", doc.dump(2));
  GatewayProcess second(dir.path());
  ASSERT_TRUE(second.waitForOutput(kListening)) << second.output();
  EXPECT_TRUE(second.running());
  second.signal(SIGTERM);
  EXPECT_EQ(second.waitExit(), 0);
}

TEST(ProcessTest, StopAndContinueLeaveItServingAndSigtermShutsDownInOrder) {
  TempDir dir;
  dir.write("quorvex.conf", serverConfig());
  GatewayProcess process(dir.path());
  ASSERT_TRUE(process.waitForOutput(kListening)) << process.output();
  // The readiness wait returns EINTR after a stop signal and SIGCONT.
  for (int i = 0; i < 2; ++i) {
    process.signal(SIGSTOP);
    process.signal(SIGCONT);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(process.running());
  process.signal(SIGTERM);
  EXPECT_EQ(process.waitExit(), 0);
  const std::string out = process.output();
  size_t at = positionOf(out, "INFO SMPPCDRManager::setMode Setting CDR mode to OPERATION\n");
  for (const char* line : {"INFO Application::main Starting VantorelQuorvex\n",
                           "SIGINT/SIGTERM (15)\n", "Waiting on upstream connections closing\n",
                           "INFO Application::http_stop Waiting on HTTP server to close\n",
                           "INFO Application::main Stopped VantorelQuorvex\n",
                           "INFO SMPPCDRManager::shutdown Shutting down CDR Manager\n"}) {
    const size_t next = positionOf(out, line);
    EXPECT_LT(at, next) << line;
    at = next;
  }
  // Console lines are the application log's lines too.
  EXPECT_NE(dir.read("application.log").find("Stopped VantorelQuorvex"), std::string::npos);
}

TEST(ProcessTest, PortZeroRunsWithoutAListenerAndSigintSkipsCdrShutdownInModeNone) {
  TempDir dir;
  nlohmann::json doc = nlohmann::json::parse(serverConfig("none"));
  doc["base"]["smpp.port"] = 0;
  dir.write("quorvex.conf", doc.dump());
  GatewayProcess process(dir.path());
  ASSERT_TRUE(process.waitForOutput("No SMPP listener: smpp.port is 0\n")) << process.output();
  process.signal(SIGINT);
  EXPECT_EQ(process.waitExit(), 0);
  const std::string out = process.output();
  EXPECT_EQ(out.find(kListening), std::string::npos) << out;
  positionOf(out, "Setting CDR mode to NONE\n");
  positionOf(out, "SIGINT/SIGTERM (2)\n");
  positionOf(out, "Stopped VantorelQuorvex\n");
  EXPECT_EQ(out.find("Shutting down CDR Manager"), std::string::npos) << out;
}

TEST(ProcessTest, UnknownWordFallsThroughToServerModeAfterATokenRequest) {
  TempDir dir;
  const nlohmann::json doc = {
      {"base", {{"smpp.port", test::freePort()}, {"http.port", test::freePort()}}}};
  dir.write("quorvex.conf", doc.dump());
  GatewayProcess process(dir.path(), {"serve-please"});
  // No gateway answers the token request, so it fails before serving.
  ASSERT_TRUE(process.waitForOutput(kListening)) << process.output();
  const std::string out = process.output();
  EXPECT_LT(positionOf(out, "Failed\n"), positionOf(out, "Starting VantorelQuorvex")) << out;
  // Without credentials the built-in token works, and start-up says so.
  positionOf(out, "No admin API client credentials configured");
  process.signal(SIGTERM);
  EXPECT_EQ(process.waitExit(), 0);
}

} // namespace
} // namespace quorvex
