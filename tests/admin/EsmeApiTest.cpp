// ESME operations of a running gateway: messages, views and the saved file.
#include <atomic>
#include <random>
#include <thread>

#include "admin/AdminFixture.h"

namespace quorvex::test {
namespace {

using nlohmann::json;

TEST_F(AdminServerTest, EsmeAddStoresRecordEntryAndFileOrSaysWhyNot) {
  const HttpTestReply reply = send("POST", "/esme", R"({"systemid":"esme2","targetset":"set1",
      "tpslimit":50,"submits_enabled":false,"password":"pw","inboundmo":["333",4],
      "allowedips":["10.0.0.1"],"other":1})");
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 ESME added esme2");
  EXPECT_EQ(reply.headers.at("content-type"), "application/json");
  EXPECT_EQ(reply.body, "{}");
  const json expected = json::parse(R"({"systemid":"esme2","sharedtargetsetid":"set1",
      "tpslimit":50,"submits_enabled":false,"password":"pw","inboundmo":["333",4],
      "allowedips":["10.0.0.1"]})");
  EXPECT_EQ(savedConfig()["esme"][1], expected);
  EXPECT_EQ(view("/esme/esme2"), expected);

  EXPECT_EQ(send("POST", "/esme", R"({"targetset":"set1"})").statusLine,
            "HTTP/1.1 400 Missing field: systemid");
  EXPECT_EQ(send("POST", "/esme", R"({"systemid":"x"})").statusLine,
            "HTTP/1.1 400 Missing field: targetset");
  EXPECT_EQ(send("POST", "/esme", R"({"systemid":"esme1","targetset":"set1"})").statusLine,
            "HTTP/1.1 400 ESME already exists");
  EXPECT_EQ(view("/esme"), json::parse(R"(["esme1","esme2"])"));
}

// A kill -9 lands at another instant of a stream of saves in each round:
// the file left behind is always whole (the old or the new one) and starts
// the next gateway.
TEST_F(AdminServerTest, KilledWhileSavingLeavesAWholeConfiguration) {
  std::minstd_rand random(7);
  for (int round = 0; round < 30; ++round) {
    token_ = token();
    std::atomic<bool> killed{false};
    std::thread saver([&] {
      for (int i = 0; !killed.load(); ++i) {
        const std::string id = "r" + std::to_string(round) + "e" + std::to_string(i);
        try {
          httpExchange(port_, jsonRequest("POST", "/esme", token_,
                                          R"({"systemid":")" + id + R"(","targetset":"set1"})"));
        } catch (const std::exception&) {
          return; // the gateway is gone
        }
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 20000));
    gateway_->signal(SIGKILL);
    gateway_->waitExit();
    killed = true;
    saver.join();
    gateway_.reset();
    json saved;
    ASSERT_NO_THROW(saved = savedConfig())
        << "round " << round << ": " << dir_.read("quorvex.conf");
    ASSERT_EQ(saved["esme"][0]["systemid"], "esme1") << "round " << round;
    startGateway(saved);
  }
}

TEST_F(AdminServerTest, NoSecretReachesTheOutputOrTheLog) {
  stopGateway();
  json config = json::parse(kAdminConfig);
  config["targetsets"][0]["targets"][0]["password"] = "targetPw1";
  config["esme"][0]["password"] = "esmePw1";
  startGateway(config);
  EXPECT_EQ(
      send("POST", "/esme", R"({"systemid":"e2","targetset":"set1","password":"esmePw2"})").status,
      200);
  // Credentials in the query string of a token request.
  httpExchange(port_, request("POST", "/oauth2/v1/token?grant_type=client_credentials&scope=api&"
                                      "client_id=admin&client_secret=s3cret"));
  const std::string everything = gateway_->output() + dir_.read("application.log");
  for (const char* secret : {"s3cret", "targetPw1", "esmePw1", "esmePw2"}) {
    EXPECT_EQ(everything.find(secret), std::string::npos) << secret << "\n" << everything;
  }
}

TEST_F(AdminServerTest, TouchSavesAndAnswers400) {
  const HttpTestReply reply =
      send("POST", "/esme", R"({"touch":1,"systemid":"new","targetset":"s"})");
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 400 ESME touch");
  EXPECT_EQ(view("/esme"), json::parse(R"(["esme1"])"));
  bool backup = false;
  for (const auto& name : dir_.list()) {
    backup = backup || name.rfind("quorvex_", 0) == 0;
  }
  EXPECT_TRUE(backup);
}

TEST_F(AdminServerTest, EsmeModifyMovesNumbers) {
  send("POST", "/esme", R"({"systemid":"esme2","targetset":"set1","inboundmo":["333"]})");
  const HttpTestReply reply =
      send("PUT", "/esme/esme2", R"({"targetset":"set9","inboundmo":["111","444"],"tpslimit":7})");
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 ESME modified esme2");
  EXPECT_EQ(view("/esme/esme2")["tpslimit"], 7);
  const json saved = savedConfig()["esme"][1];
  EXPECT_EQ(saved["sharedtargetsetid"], "set9");
  EXPECT_EQ(saved["inboundmo"], json::parse(R"(["111","444"])"));
  EXPECT_EQ(send("PUT", "/esme/nobody", "{}").statusLine, "HTTP/1.1 400 ESME not found");
  // "put" is accepted as well.
  EXPECT_EQ(send("put", "/esme/esme2", R"({"tpslimit":8})").status, 200);
}

TEST_F(AdminServerTest, EsmeRemoveViewList) {
  EXPECT_EQ(send("GET", "/esme").body, R"(["esme1"])");
  const HttpTestReply view = send("GET", "/esme/esme1");
  EXPECT_EQ(view.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(json::parse(view.body)["inboundmo"], json::parse(R"(["111","222"])"));
  EXPECT_EQ(send("GET", "/esme/nobody").statusLine, "HTTP/1.1 400 ESME not found nobody");

  EXPECT_EQ(send("DELETE", "/esme/esme1").statusLine, "HTTP/1.1 200 ESME removed esme1");
  EXPECT_EQ(savedConfig()["esme"], json::array());
  EXPECT_EQ(send("delete", "/esme/esme1").statusLine, "HTTP/1.1 400 ESME not found esme1");
  EXPECT_EQ(send("GET", "/esme").body, "[]");
}

} // namespace
} // namespace quorvex::test
