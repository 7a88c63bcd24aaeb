// An admin HTTP server in this process, on a free port, over a configuration
// loaded from a temporary directory that is also the working directory
// (saves write "quorvex.conf" there).
#pragma once

#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "admin/HttpServer.h"
#include "admin/HttpTestClient.h"
#include "admin/OAuthStore.h"
#include "admin/StatusReport.h"
#include "config/TarnConfiguration.h"
#include "metrics/MetricsRegistry.h"
#include "support/TestProcess.h"

namespace quorvex::test {

// The configuration every admin test starts from.
inline const char* kAdminConfig = R"({
  "base": {"auth.client_id": "admin", "auth.client_secret": "s3cret"},
  "esme": [
    {"systemid": "esme1", "sharedtargetsetid": "set1", "inboundmo": ["111", "222"]}
  ],
  "targetsets": [
    {"id": "set1", "name": "Set One", "submits_enabled": true, "targets": [
      {"name": "smscA", "host": "127.0.0.1", "port": 2776, "bindqty": 2, "systemid": "a",
       "password": "p", "systemtype": "", "weight": 1, "admindown": false}
    ]}
  ]
})";

// A hand-filled upstream view.
class FakeStatusSource : public StatusSource {
public:
  std::map<uint64_t, BindStatus> bindStatuses() override { return binds; }
  std::map<uint64_t, BindStatus> binds; // what the report sees
};

// The token store's clock, moved by the tests.
inline std::atomic<uint64_t> fakeNow{1700000000000000ULL};
inline uint64_t fakeClock() { return fakeNow.load(); }

class AdminServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    previousDir_ = cwd;
    dir_.write("quorvex.conf", kAdminConfig);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    bool createDefault = false;
    ASSERT_TRUE(config_.performLoad(createDefault));
    oauth_.setClient("admin", "s3cret");
    metrics_.registerCounter("testCounter", "A counter for the tests", false);
    // A port free a moment ago may be taken meanwhile by a parallel test's
    // outgoing connection, so a refused listen tries another port.
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
      port_ = freePort();
      server_ = std::make_unique<HttpServer>(AdminContext{config_, oauth_, metrics_, &status_});
      started = server_->start(port_) && server_->running();
    }
    ASSERT_TRUE(started);
    ASSERT_TRUE(server_->running());
  }

  void TearDown() override {
    server_->stop();
    server_.reset();
    ASSERT_EQ(chdir(previousDir_.c_str()), 0);
  }

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

  // The saved file, parsed.
  nlohmann::json savedConfig() const { return nlohmann::json::parse(dir_.read("quorvex.conf")); }

  TempDir dir_;
  std::string previousDir_;
  TarnConfiguration config_;
  OAuthStore oauth_{fakeClock};
  MetricsRegistry metrics_;
  FakeStatusSource status_;
  uint16_t port_ = 0;
  std::unique_ptr<HttpServer> server_;
  std::string token_;
};

} // namespace quorvex::test
