// The admin API's routing table and operations in-process: request texts as
// they arrive, on a configuration loaded from a temporary working directory
// that every change is saved back to.
#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "admin/AdminRouter.h"
#include "admin/OAuthStore.h"
#include "app/Log.h"
#include "config/TarnConfiguration.h"
#include "metrics/MetricsRegistry.h"
#include "support/HttpTestClient.h"
#include "support/TestProcess.h"

namespace quorvex::test {
namespace {

using nlohmann::json;

// The configuration each test starts from.
const char* kConfig = R"({
  "esme": [{"systemid": "esme1", "sharedtargetsetid": "set1", "inboundmo": ["111", "222"]}],
  "targetsets": [{"id": "set1", "name": "Set One", "submits_enabled": true, "targets": [
    {"name": "smscA", "host": "127.0.0.1", "port": 9, "bindqty": 2, "systemid": "a",
     "password": "p", "systemtype": "", "weight": 1, "admindown": false}]}]
})";
const char* kTarget =
    R"({"name":"smscB","host":"10.1.1.1","port":2777,"systemid":"b","password":"q"})";
const char* kEsme1 = R"({"systemid":"esme1","sharedtargetsetid":"set1","inboundmo":["111","222"]})";
const char* kGoodForm =
    "grant_type=client_credentials&scope=api&client_id=admin&client_secret=s3cret";

std::string tokenRequest(const std::string& form,
                         const std::string& type = "application/x-www-form-urlencoded") {
  return request("POST", "/oauth2/v1/token", {"Content-Type: " + type}, form);
}

// "<code> <reason>" of a normal reply; the other kinds by name.
std::string outcome(const HttpReply& reply) {
  const char* kinds[] = {"none", "", "options", "fallback", "too large", "console"};
  return reply.kind == HttpReply::Kind::Normal ? std::to_string(reply.status) + " " + reply.reason
                                               : kinds[static_cast<int>(reply.kind)];
}

// One authorised JSON request ("<method> <path>") and its expected reply;
// the body is compared as JSON, except for the fallback.
struct Row {
  std::string request, body, outcome;
  std::string reply = "{}";
};

class AdminRouterTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_.write("quorvex.conf", kConfig);
    std::filesystem::current_path(dir_.path());
    bool createDefault = false;
    ASSERT_TRUE(config_.performLoad(createDefault));
    // Every test's token comes from the token endpoint, whose reply is checked here.
    oauth_.setClient("admin", "s3cret");
    const HttpReply issued = route(tokenRequest(kGoodForm));
    token_ = json::parse(issued.body).value("access_token", "");
    // Keys in ascending order, compact.
    const std::string body = R"({"access_token":")" + token_ + R"(","expires_in":900,)" +
                             R"("refresh_token":")" + token_ + R"(","token_type":"access"})";
    EXPECT_EQ(std::tuple(outcome(issued), issued.contentType, issued.body),
              std::tuple("200 OK", "application/json", body));
  }
  void TearDown() override { std::filesystem::current_path(previousDir_); }

  HttpReply route(const std::string& text) { return router_.route(parseHttpRequest(text).value()); }

  void run(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      const size_t space = row.request.find(' ');
      const HttpReply reply = route(jsonRequest(row.request.substr(0, space),
                                                row.request.substr(space + 1), token_, row.body));
      EXPECT_EQ(outcome(reply), row.outcome) << row.request;
      if (row.outcome != "fallback") {
        EXPECT_EQ(reply.contentType, "application/json") << row.request;
        EXPECT_EQ(reply.body, json::parse(row.reply).dump()) << row.request;
      }
    }
  }

  json saved() const { return json::parse(dir_.read("quorvex.conf")); }

  TempDir dir_;
  const std::filesystem::path previousDir_ = std::filesystem::current_path();
  TarnConfiguration config_;
  OAuthStore oauth_;
  MetricsRegistry metrics_;
  AdminRouter router_{AdminContext{config_, oauth_, metrics_, nullptr}};
  std::string token_;
};

// Requests without a valid token, the open rows, the unmatched ones and the
// token endpoint's refusals.
TEST_F(AdminRouterTest, UnauthorisedOpenAndUnmatchedRequests) {
  struct Case {
    std::string text, outcome, body = "";
  };
  const std::string bearer = "Authorization: Bearer ", no = "401 Unauthorised";
  const std::string grant = "grant_type=client_credentials&", id = "client_id=admin&";
  const std::vector<Case> cases = {
      {request("GET", "/esme"), no, "{}"},
      {request("GET", "/esme", {"Authorization: bearer " + token_}), no, "{}"},
      {request("GET", "/esme", {bearer + " " + token_}), no, "{}"},
      {request("GET", "/esme", {bearer + "nosuchtoken"}), no, "{}"},
      {request("GET", "/esme", {"Authorization: Token " + token_}), no, "{}"},
      {request("DELETE", "/esme/esme1"), no, "{}"},
      // A JSON request of any method is checked before its route.
      {request("PATCH", "/nowhere", {"Content-Type: application/json"}, "{}"), no, "{}"},
      // The header name's case does not matter; the token's does.
      {request("GET", "/esme", {"AUTHORIZATION: Bearer " + token_}), "200 OK", R"(["esme1"])"},
      {request("GET", "/status"), "200 OK",
       R"({"statusReport":[],"summary":{"admindown":0,"bindRX":0,"bindTRX":0,"bindTX":0,)"
       R"("bindUnbound":0,"targets":0,"targetsets":1}})"},
      {request("GET", "/metrics"), "200 OK", metrics_.renderMetrics()},
      {request("options", "/"), "options", "{}"},
      {request("GET", "/console"), "console"},
      // Only the two spellings of the table.
      {request("Options", "/"), "fallback"},
      {request("GET", "/metrics?x=1"), "fallback"},
      {request("GET", "/targetsets/", {bearer + token_}), "fallback"},
      {"GET /metrics HTTP/1.1\r\nHost: x\r\n", "fallback"},
      {tokenRequest(kGoodForm, "application/x-www-form-urlencoded; charset=utf-8"), "fallback"},
      {tokenRequest(grant + id + "client_secret=s3cret"), "400 OK"},
      {tokenRequest(grant + "scope=other&" + id + "client_secret=s3cret"), "400 OK"},
      {tokenRequest("scope=api&" + id + "client_secret=s3cret"), "400 OK"},
      {tokenRequest(grant + "scope=api&client_secret=s3cret"), "400 OK"},
      {tokenRequest(grant + "scope=api&client_id=admin"), "400 OK"},
      {tokenRequest(grant + "scope=api&" + id + "client_secret=wrong"), "401 OK"},
      {tokenRequest(grant + "scope=api&client_id=other&client_secret=s3cret"), "401 OK"},
      {tokenRequest("grant_type=refresh_token&scope=api"), "400 OK"},
      {tokenRequest("grant_type=refresh_token&scope=api&refresh_token=abc"), "401 OK"},
      {tokenRequest("grant_type=password&scope=api"), "400 OK"},
  };
  for (const Case& c : cases) {
    const HttpReply reply = route(c.text);
    EXPECT_EQ(outcome(reply), c.outcome) << c.text;
    EXPECT_TRUE(c.outcome == "fallback" || reply.body == c.body) << c.text << reply.body;
  }
  EXPECT_EQ(route(request("GET", "/metrics")).contentType, "text/plain");
  EXPECT_EQ(config_.confESME.count("esme1"), 1u);
}

// The bytes of each kind of reply; a reason phrase cannot end its status
// line early.
TEST_F(AdminRouterTest, RepliesAsSent) {
  const auto sent = [&](const std::string& text) {
    std::string out;
    formatReply(out, route(text));
    return out;
  };
  const std::string close = "Connection: close\r\n\r\n", cors = "Access-Control-Allow-Origin: *";
  EXPECT_EQ(sent(jsonRequest("GET", "/esme/a\nX:y", token_, "")),
            "HTTP/1.1 400 ESME not found a X:y\r\n" + cors +
                "\r\nContent-Type: application/json\r\nContent-Length: 4\r\n" + close + "null");
  EXPECT_EQ(sent(request("OPTIONS", "/")),
            "HTTP/1.1 200 OK\r\n" + cors + "\r\nAccess-Control-Allow-Headers: *\r\n" +
                "Access-Control-Allow-Methods: *\r\nContent-Length: 2\r\n" + close + "{}");
  EXPECT_EQ(sent(request("GET", "/")), "HTTP/1.1 200 OK\r\n\r\nOK");
  const std::string page = sent(request("GET", "/console"));
  const size_t head = page.find("\r\n\r\n") + 4;
  EXPECT_NE(page.find("Content-Type: text/html\r\n"), std::string::npos);
  EXPECT_EQ(page.find("<!DOCTYPE html>"), head);
  EXPECT_NE(page.find("</html>"), std::string::npos);
  // Nothing is fetched from elsewhere: the gateway's network may have no internet.
  EXPECT_EQ(page.find("https://"), std::string::npos);
}

TEST_F(AdminRouterTest, EsmeRows) {
  run({{"POST /esme", R"({"touch":1,"systemid":"new","targetset":"s"})", "400 ESME touch"}});
  // A touch only saves, which leaves the previous file behind as a backup;
  // "quorvex_<time>.conf" sorts last.
  EXPECT_EQ(dir_.list().back().rfind("quorvex_", 0), 0u);
  const char* added = R"({"systemid":"esme2","sharedtargetsetid":"set1","tpslimit":50,
      "submits_enabled":false,"password":"pw","inboundmo":["333",4],"allowedips":["10.0.0.1"]})";
  run({
      {"GET /esme/nobody", "", "400 ESME not found nobody", "null"},
      {"POST /esme", R"({"systemid":"esme2","targetset":"set1","tpslimit":50,
          "submits_enabled":false,"password":"pw","inboundmo":["333",4],
          "allowedips":["10.0.0.1"],"other":1})",
       "200 ESME added esme2"},
      {"POST /esme", R"({"targetset":"set1"})", "400 Missing field: systemid"},
      {"POST /esme", R"({"systemid":"x"})", "400 Missing field: targetset"},
      {"POST /esme", R"({"systemid":"esme1","targetset":"set1"})", "400 ESME already exists"},
      // "Post" is none of the spellings; a body that is no JSON, or a member
      // of the wrong type, ends the operation with the fallback.
      {"Post /esme", R"({"systemid":"e3","targetset":"set1"})", "fallback"},
      {"POST /esme", "{not json", "fallback"},
      {"POST /esme", R"({"systemid":5,"targetset":"set1"})", "fallback"},
      {"GET /esme", "", "200 OK", R"(["esme1","esme2"])"},
  });
  EXPECT_EQ(saved()["esme"][1], json::parse(added));

  run({
      {"PUT /esme/esme2", R"({"targetset":"set9","inboundmo":["111","444"],"tpslimit":7})",
       "200 ESME modified esme2"},
      {"PUT /esme/nobody", "{}", "400 ESME not found"},
      {"put /esme/esme2", R"({"tpslimit":8})", "200 ESME modified esme2"},
  });
  // Number 111 moved to esme2, also out of esme1's saved list, so a change
  // of esme1 does not take it back; 333 has no owner any more.
  run({{"PUT /esme/esme1", R"({"tpslimit":9})", "200 ESME modified esme1"}});
  EXPECT_EQ(config_.numberOwners, (std::map<std::string, std::string>{
                                      {"111", "esme2"}, {"222", "esme1"}, {"444", "esme2"}}));
  EXPECT_EQ(saved()["esme"][0]["inboundmo"], json::array({"222"}));

  run({
      {"DELETE /esme/esme1", "", "200 ESME removed esme1"},
      {"delete /esme/esme1", "", "400 ESME not found esme1"},
      {"GET /esme", "", "200 OK", R"(["esme2"])"},
  });
  EXPECT_EQ(saved()["esme"], json::parse(R"([{"systemid":"esme2","sharedtargetsetid":"set9",
      "tpslimit":8,"submits_enabled":false,"password":"pw","inboundmo":["111","444"],
      "allowedips":["10.0.0.1"]}])"));
  EXPECT_EQ(config_.numberOwners.count("222"), 0u);
}

TEST_F(AdminRouterTest, TargetSetRows) {
  run({{"POST /targetsets", R"({"id":"set2","name":"Two","submits_enabled":false,"targets":[1]})",
        "200 Target set added set2"}});
  EXPECT_TRUE(saved()["targetsets"][1]["targets"].is_null());
  run({
      {"GET /targetsets/set2", "", "200 Target set found set2",
       R"({"id":"set2","name":"Two","submits_enabled":false})"},
      {"POST /targetsets", R"({"id":"set2","name":"x","submits_enabled":true})",
       "400 Target set already exists"},
      {"POST /targetsets", R"({"name":"x"})", "400 Missing field: id"},
      {"POST /targetsets", R"({"id":"s3"})", "400 Missing field: name"},
      {"POST /targetsets", R"({"id":"s3","name":"x"})", "400 Missing field: submits_enabled"},
      {"GET /targetsets", "", "200 OK", R"(["set1","set2"])"},
      {"PUT /targetsets/set2", R"({"name":"Deux","submits_enabled":true,"x":1})",
       "200 Target set modified set2"},
      {"PUT /targetsets/nope", R"({"name":"n","submits_enabled":true})",
       "400 Target set does not exist nope"},
      {"PUT /targetsets/set2", R"({"submits_enabled":true})", "400 Missing field: name"},
      {"PUT /targetsets/set2", R"({"name":"n"})", "400 Missing field: submits_enabled"},
  });
  EXPECT_EQ(saved()["targetsets"][1]["x"], 1);
  run({
      {"DELETE /targetsets/set1", "", "200 Target set removed set1"},
      {"DELETE /targetsets/set1", "", "400 Target set does not exist set1"},
      {"GET /targetsets/set1", "", "400 Target set not found set1", "null"},
      // An ESME keeps naming the removed set.
      {"GET /esme/esme1", "", "200 OK", kEsme1},
      // The set saved without targets takes its first one.
      {"POST /targetsets/set2/targets", kTarget, "200 Target added set2"},
      {"GET /targetsets/set2", "", "200 Target set found set2",
       R"({"id":"set2","name":"Deux","submits_enabled":true,"x":1,"target-names":["smscB"]})"},
  });
  EXPECT_EQ(saved()["targetsets"].size(), 1u);
}

TEST_F(AdminRouterTest, TargetRows) {
  // Added with the defaults of the members it lacks.
  const char* smscB = R"({"name":"smscB","host":"10.1.1.1","port":2777,"systemid":"b",
      "password":"q","bindqty":1,"systemtype":"","weight":1,"admindown":false})";
  // Merge patch: null removes a member, the others stay.
  const char* smscA = R"({"name":"smscA","host":"10.9.9.9","bindqty":2,"systemid":"a",
      "password":"p","systemtype":"","weight":1,"admindown":true})";
  run({
      {"POST /targetsets/set1/targets", kTarget, "200 Target added set1"},
      {"GET /targetsets/set1/targets/smscB", "", "200 Target found smscB (target set set1)", smscB},
      {"POST /targetsets/set1/targets", kTarget, "400 Target ID already exists set1"},
      {"POST /targetsets/none/targets", kTarget, "400 Target set not found none"},
      // Without "host" the message stays "OK".
      {"POST /targetsets/set1", R"({"name":"h","systemid":"s","password":"p"})", "400 OK"},
      {"PUT /targetsets/set1/targets/smscA", R"({"host":"10.9.9.9","port":null,"admindown":true})",
       "200 Target modified smscA"},
      {"PUT /targetsets/set1/targets/smscA", R"({"host":null})", "400 Failed to parse target data"},
      {"GET /targetsets/set1/targets/smscA", "", "200 Target found smscA (target set set1)", smscA},
      {"PUT /targetsets/set1/targets/nobody", "{}", "400 Target not found nobody"},
  });
  EXPECT_EQ(saved()["targetsets"][0]["targets"],
            json::parse("[" + std::string(smscA) + "," + smscB + "]"));
  run({
      {"GET /targetsets/set1/targets/zzzzz", "", "400 Target not found zzzzz (target set set1)",
       "null"},
      {"DELETE /targetsets/set1/targets/smscA", "", "200 Target removed successfully smscA"},
      {"DELETE /targetsets/set1/targets/smscA", "", "400 Target not found smscA"},
      {"DELETE /targetsets/set9/targets/smscA", "", "400 Target set not found set9"},
      {"GET /targetsets/set1/targets", "", "200 Target names listed set1", R"(["smscB"])"},
      {"GET /targetsets/set9/targets", "", "400 Target set not found or has no targets set9",
       "null"},
  });
  EXPECT_EQ(saved()["targetsets"][0]["targets"], json::parse("[" + std::string(smscB) + "]"));
}

TEST_F(AdminRouterTest, ControlSwitchesAudit) {
  // A bad or unknown command leaves the switch as it is.
  run({
      {"POST /control", R"({"log.audit":true})", "200 OK"},
      {"POST /control", R"({"log.audit":"yes"})", "400 Bad command"},
      {"POST /control", R"({"other":1})", "400 Unknown command"},
  });
  EXPECT_TRUE(auditEnabled());
  run({{"POST /control", R"({"log.audit":false})", "200 OK"}});
  EXPECT_FALSE(auditEnabled());
}

} // namespace
} // namespace quorvex::test
