// Target set and target operations of a running gateway.
#include "admin/AdminFixture.h"

namespace quorvex::test {
namespace {

using nlohmann::json;

const char* kTarget =
    R"({"name":"smscB","host":"10.1.1.1","port":2777,"systemid":"b","password":"q"})";

TEST_F(AdminServerTest, TargetSetAddModifyRemove) {
  const HttpTestReply added = send(
      "POST", "/targetsets", R"({"id":"set2","name":"Two","submits_enabled":false,"targets":[1]})");
  EXPECT_EQ(added.statusLine, "HTTP/1.1 200 Target set added set2");
  EXPECT_TRUE(savedConfig()["targetsets"][1]["targets"].is_null());
  EXPECT_EQ(send("GET", "/targetsets/set2").body,
            R"({"id":"set2","name":"Two","submits_enabled":false})");
  EXPECT_EQ(
      send("POST", "/targetsets", R"({"id":"set2","name":"x","submits_enabled":true})").statusLine,
      "HTTP/1.1 400 Target set already exists");
  EXPECT_EQ(send("POST", "/targetsets", R"({"name":"x"})").statusLine,
            "HTTP/1.1 400 Missing field: id");
  EXPECT_EQ(send("POST", "/targetsets", R"({"id":"s3"})").statusLine,
            "HTTP/1.1 400 Missing field: name");
  EXPECT_EQ(send("POST", "/targetsets", R"({"id":"s3","name":"x"})").statusLine,
            "HTTP/1.1 400 Missing field: submits_enabled");
  EXPECT_EQ(send("GET", "/targetsets").body, R"(["set1","set2"])");

  EXPECT_EQ(
      send("PUT", "/targetsets/set2", R"({"name":"Deux","submits_enabled":true,"x":1})").statusLine,
      "HTTP/1.1 200 Target set modified set2");
  EXPECT_EQ(view("/targetsets/set2"),
            json::parse(R"({"id":"set2","name":"Deux","submits_enabled":true,"x":1})"));
  EXPECT_EQ(savedConfig()["targetsets"][1]["x"], 1);
  EXPECT_EQ(send("PUT", "/targetsets/nope", R"({"name":"n","submits_enabled":true})").statusLine,
            "HTTP/1.1 400 Target set does not exist nope");
  EXPECT_EQ(send("PUT", "/targetsets/set2", R"({"submits_enabled":true})").statusLine,
            "HTTP/1.1 400 Missing field: name");
  EXPECT_EQ(send("PUT", "/targetsets/set2", R"({"name":"n"})").statusLine,
            "HTTP/1.1 400 Missing field: submits_enabled");

  EXPECT_EQ(send("DELETE", "/targetsets/set1").statusLine, "HTTP/1.1 200 Target set removed set1");
  // An ESME keeps naming the removed set.
  EXPECT_EQ(view("/esme/esme1")["sharedtargetsetid"], "set1");
  EXPECT_EQ(send("DELETE", "/targetsets/set1").statusLine,
            "HTTP/1.1 400 Target set does not exist set1");
  EXPECT_EQ(send("GET", "/targetsets/set1").statusLine, "HTTP/1.1 400 Target set not found set1");
  EXPECT_EQ(savedConfig()["targetsets"].size(), 1u);
  // The set saved without targets takes its first one.
  EXPECT_EQ(send("POST", "/targetsets/set2/targets", kTarget).status, 200);
  EXPECT_EQ(view("/targetsets/set2")["target-names"], json::parse(R"(["smscB"])"));
  EXPECT_EQ(send("GET", "/targetsets/set2/targets").body, R"(["smscB"])");
}

TEST_F(AdminServerTest, TargetAddWithDefaults) {
  const HttpTestReply reply = send("POST", "/targetsets/set1/targets", kTarget);
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 Target added set1");
  const json saved = savedConfig()["targetsets"][0]["targets"][1];
  EXPECT_EQ(view("/targetsets/set1/targets/smscB"), saved);
  EXPECT_EQ(saved["bindqty"], 1);
  EXPECT_EQ(saved["systemtype"], "");
  EXPECT_EQ(saved["weight"], 1);
  EXPECT_EQ(saved["admindown"], false);
  EXPECT_EQ(
      send("GET", "/targetsets/set1").body,
      R"({"id":"set1","name":"Set One","submits_enabled":true,"target-names":["smscA","smscB"]})");
  EXPECT_EQ(send("GET", "/targetsets/set1/targets").statusLine,
            "HTTP/1.1 200 Target names listed set1");

  EXPECT_EQ(send("POST", "/targetsets/set1/targets", kTarget).statusLine,
            "HTTP/1.1 400 Target ID already exists set1");
  EXPECT_EQ(send("POST", "/targetsets/none/targets", kTarget).statusLine,
            "HTTP/1.1 400 Target set not found none");
  // Without "host" the message stays "OK".
  EXPECT_EQ(
      send("POST", "/targetsets/set1", R"({"name":"h","systemid":"s","password":"p"})").statusLine,
      "HTTP/1.1 400 OK");
}

TEST_F(AdminServerTest, TargetModifyIsMergePatch) {
  const HttpTestReply reply = send("PUT", "/targetsets/set1/targets/smscA",
                                   R"({"host":"10.9.9.9","port":null,"admindown":true})");
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 Target modified smscA");
  const json saved = savedConfig()["targetsets"][0]["targets"][0];
  EXPECT_FALSE(saved.contains("port"));
  EXPECT_EQ(saved["host"], "10.9.9.9");
  EXPECT_EQ(saved["admindown"], true);
  EXPECT_EQ(saved["systemid"], "a"); // untouched members stay

  EXPECT_EQ(send("PUT", "/targetsets/set1/targets/smscA", R"({"host":null})").statusLine,
            "HTTP/1.1 400 Failed to parse target data");
  EXPECT_EQ(savedConfig()["targetsets"][0]["targets"][0], saved);
  EXPECT_EQ(json::parse(send("GET", "/targetsets/set1/targets/smscA").body)["host"], "10.9.9.9");
  EXPECT_EQ(send("PUT", "/targetsets/set1/targets/nobody", "{}").statusLine,
            "HTTP/1.1 400 Target not found nobody");
}

TEST_F(AdminServerTest, TargetViewAndRemove) {
  const HttpTestReply view = send("GET", "/targetsets/set1/targets/smscA");
  EXPECT_EQ(view.statusLine, "HTTP/1.1 200 Target found smscA (target set set1)");
  EXPECT_EQ(json::parse(view.body)["password"], "p");
  EXPECT_EQ(send("GET", "/targetsets/set1/targets/zzzzz").statusLine,
            "HTTP/1.1 400 Target not found zzzzz (target set set1)");

  EXPECT_EQ(send("DELETE", "/targetsets/set1/targets/smscA").statusLine,
            "HTTP/1.1 200 Target removed successfully smscA");
  EXPECT_EQ(savedConfig()["targetsets"][0]["targets"], json::array());
  EXPECT_EQ(send("DELETE", "/targetsets/set1/targets/smscA").statusLine,
            "HTTP/1.1 400 Target not found smscA");
  EXPECT_EQ(send("DELETE", "/targetsets/set9/targets/smscA").statusLine,
            "HTTP/1.1 400 Target set not found set9");
  EXPECT_EQ(send("GET", "/targetsets/set9/targets").statusLine,
            "HTTP/1.1 400 Target set not found or has no targets set9");
}

} // namespace
} // namespace quorvex::test
