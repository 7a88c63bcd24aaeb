// The command words, run as the real executable against a running gateway:
// the client reads the port and credentials of the "quorvex.conf" in its own
// working directory.
#include "integration/AdminFixture.h"

namespace quorvex::test {
namespace {

using nlohmann::json;
using Rows = std::vector<std::pair<std::vector<std::string>, std::string>>;

class CliTest : public AdminServerTest {
protected:
  // Runs each row's command word in turn: the start-up preamble comes first,
  // so its whole standard output must end with the row's text.
  void expectPrinted(const Rows& rows, const std::string& secret = "s3cret") {
    for (const auto& [words, expected] : rows) {
      TempDir scratch;
      json config = savedConfig();
      config["base"]["auth.client_secret"] = secret;
      scratch.write("quorvex.conf", config.dump());
      GatewayProcess client(scratch.path(), words);
      EXPECT_EQ(client.waitExit(), 0) << client.output();
      errors_ = client.errors();
      EXPECT_TRUE(client.output().ends_with(expected)) << words[0] << " should end with:\n"
                                                       << expected << "got:\n"
                                                       << client.output();
    }
  }

  std::string errors_; // the standard error of the last command
};

// The listing of target sets is taken through TlsTest.
TEST_F(CliTest, CommandsPrintTheirOutcomeUsageOrFailure) {
  expectPrinted({{{"esmeAdd", "esme2", "set1"}, "\nSuccessfully added\n"}});
  EXPECT_EQ(view("/esme/esme2")["sharedtargetsetid"], "set1");
  expectPrinted({
      {{"esmeAdd", "esme2", "set1"}, "\nAdd failed\n"},
      {{"esmeModify", "esme2", "set7"}, "\nSuccessfully modified\n"},
      {{"esmeModify", "nobody", "set7"}, "\nModify failed\n"},
      {{"esmeList", "ignored"}, "\n[\n  \"esme1\",\n  \"esme2\"\n]\n"},
      {{"esmeView", "esme2"},
       "\n{\n  \"sharedtargetsetid\": \"set7\",\n  \"systemid\": \"esme2\"\n}\n"},
      {{"esmeView", "nobody"}, "\nFailed\n"},
      {{"esmeRemove", "esme2"}, "\nSuccessfully removed\n"},
      {{"esmeRemove", "esme2"}, "\nRemove failed\n"},
      // Any third word but "true" leaves submits disabled.
      {{"targetSetAdd", "set2", "Two", "TRUE"}, "\nSuccessfully added\n"},
  });
  EXPECT_EQ(view("/esme"), json::parse(R"(["esme1"])"));
  EXPECT_EQ(view("/targetsets/set2")["submits_enabled"], false);
  expectPrinted({
      {{"targetSetAdd", "set2", "Two"}, "\nAdd failed\n"},
      {{"targetSetModify", "set2", "Deux", "true"}, "\nSuccessfully modified\n"},
  });
  EXPECT_EQ(view("/targetsets/set2")["name"], "Deux");
  EXPECT_EQ(view("/targetsets/set2")["submits_enabled"], true);
  expectPrinted({
      {{"targetSetModify", "set9", "x"}, "\nModify failed\n"},
      {{"targetSetRemove", "set2"}, "\nSuccessfully removed\n"},
      {{"targetSetRemove", "set2"}, "\nRemove failed\n"},
  });
  // No command below reaches the gateway's operations.
  const std::string before = dir().read("quorvex.conf");
  expectPrinted({
      {{"esmeAdd", "only"}, "\nUsage: esmeAdd <systemid> <targetset-name>\n"},
      {{"esmeModify"}, "\nUsage: esmeModify <systemid> <targetset-name>\n"},
      {{"esmeRemove"}, "\nUsage: esmeRemove <systemid>\n"},
      {{"esmeView", "a", "b"}, "\nUsage: esmeView <systemid>\n"},
      {{"targetSetRemove"}, "\nUsage: targetSetRemove <name>\n"},
      {{"targetSetAdd", "x"}, "\nUsage: targetSetAdd <id> <name> [true]\n"},
      {{"targetSetModify", "a", "b", "c", "d"}, "\nUsage: targetSetModify <id> <name> [true]\n"},
  });
  // Without a token, "Failed" for the token request and then for the command.
  expectPrinted({{{"esmeAdd", "esme2", "set1"}, "\nFailed\nAdd failed\n"},
                 {{"esmeList"}, "\nFailed\nFailed\n"}},
                "wrong");
  EXPECT_EQ(dir().read("quorvex.conf"), before);
  // The same with no gateway to answer.
  stopGateway();
  expectPrinted({{{"esmeAdd", "esme2", "set1"}, "\nFailed\nAdd failed\n"}});
  EXPECT_NE(errors_.find("curl_easy_perform() failed: "), std::string::npos) << errors_;
  expectPrinted({{{"targetSetList"}, "\nFailed\nFailed\n"}});
}

} // namespace
} // namespace quorvex::test
