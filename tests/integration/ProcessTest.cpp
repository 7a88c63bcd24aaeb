// The executable's roles and its start-up and shutdown order, observed by
// running the built quorvex in a temporary working directory.
#include <signal.h>

#include <cstdio>
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
  // One line: "Vantorel Quorvex | Build time: Mmm dd yyyy hh:mm:ss | Build <7 hex digits>"
  // (no <regex>: it was the slowest test file to compile).
  char month[4] = {}, revision[8] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, end = 0;
  EXPECT_EQ(
      std::sscanf(
          out.c_str(),
          "Vantorel Quorvex | Build time: %3[A-Za-z] %2d %4d %2d:%2d:%2d | Build %7[0-9a-f]\n%n",
          month, &day, &year, &hour, &minute, &second, revision, &end),
      7)
      << out;
  EXPECT_EQ(static_cast<size_t>(end), out.size()) << out;
  EXPECT_EQ(std::string(revision).size(), 7u) << out;
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  // The message-id store is opened by the gateway role only.
  EXPECT_EQ(process.errors(), "");
  EXPECT_FALSE(dir.exists("msgidstore"));
  // The configuration was not read, so nothing complained and nothing was logged.
  EXPECT_EQ(dir.read("quorvex.conf"), "not json at all");
  EXPECT_FALSE(dir.exists("application.log"));
}

// The second start also runs an unknown word, which falls through to serving
// after a token request, and is stopped and continued before its SIGTERM.
TEST(ProcessTest, FirstStartWritesDefaultsWhichServeUntilAnOrderlyShutdown) {
  TempDir dir;
  GatewayProcess first(dir.path());
  EXPECT_EQ(first.waitExit(), 0);
  const std::string firstOut = first.output();
  EXPECT_EQ(firstOut.rfind("Vantorel Quorvex | Build time: ", 0), 0u) << firstOut;
  EXPECT_LT(positionOf(firstOut, " WARNING TarnConfiguration::performLoad Unable to open "
                                 "configuration file quorvex.conf\n"),
            positionOf(firstOut, "    INFO Application::main Created configuration\n"));
  EXPECT_EQ(firstOut.find("Starting VantorelQuorvex"), std::string::npos);

  const std::string text = dir.read("quorvex.conf");
  const nlohmann::json expected = nlohmann::json::parse(R"({
    "base": {"_product": "Quorvex", "auth.client_id": "", "auth.client_secret": "",
             "default_binding_enabled": true, "dlr.default_system_id": "",
             "dlr.disable_msgid_tracking": false, "ipwhitelistonly": false,
             "smpp.max_connections_per_ip": 250, "smpp.port": 2775},
    "cdr": {"batch_flush_interval": 30, "batch_size": 1000, "cleanup_interval": 24,
            "file_path": "cdrs.csv", "mode": "operation"},
    "esme": [], "routes-mo": [], "routes-mt": [], "targetsets": []})");
  // Two-space indentation, sorted keys, a final newline: exactly the library's form.
  EXPECT_EQ(text, expected.dump(2) + "\n");

  // The default file loads; serve on free ports so parallel tests do not collide.
  nlohmann::json doc = nlohmann::json::parse(text);
  doc["base"]["smpp.port"] = test::freePort();
  doc["base"]["http.port"] = test::freePort();
  dir.write("quorvex.conf", doc.dump(2));
  GatewayProcess process(dir.path(), {"serve-please"});
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
  // No gateway answers the token request, so it fails before serving.
  size_t at = positionOf(out, "INFO SMPPCDRManager::setMode Setting CDR mode to OPERATION\n");
  for (const char* line : {"Failed\n", "INFO Application::main Starting VantorelQuorvex\n",
                           "SIGINT/SIGTERM (15)\n", "Waiting on upstream connections closing\n",
                           "INFO Application::http_stop Waiting on HTTP server to close\n",
                           "INFO Application::main Stopped VantorelQuorvex\n",
                           "INFO SMPPCDRManager::shutdown Shutting down CDR Manager\n"}) {
    const size_t next = positionOf(out, line);
    EXPECT_LT(at, next) << line;
    at = next;
  }
  // Without credentials the built-in token works, and start-up says so.
  positionOf(out, "No admin API client credentials configured");
  // Console lines are the application log's lines too.
  EXPECT_NE(dir.read("application.log").find("Stopped VantorelQuorvex"), std::string::npos);
}

TEST(ProcessTest, PortZeroRunsWithoutAListenerAndSigintSkipsCdrShutdownInModeNone) {
  TempDir dir;
  const nlohmann::json doc = {{"base", {{"smpp.port", 0}, {"http.port", test::freePort()}}},
                              {"cdr", {{"mode", "none"}}}};
  dir.write("quorvex.conf", doc.dump());
  GatewayProcess process(dir.path());
  ASSERT_TRUE(process.waitForOutput("No SMPP listener: smpp.port is 0\n")) << process.output();
  process.signal(SIGINT);
  EXPECT_EQ(process.waitExit(), 0);
  const std::string out = process.output();
  EXPECT_EQ(out.find(kListening), std::string::npos) << out;
  for (const char* line :
       {"Setting CDR mode to NONE\n", "SIGINT/SIGTERM (2)\n", "Stopped VantorelQuorvex\n"}) {
    positionOf(out, line);
  }
  EXPECT_EQ(out.find("Shutting down CDR Manager"), std::string::npos) << out;
}

} // namespace
} // namespace quorvex
