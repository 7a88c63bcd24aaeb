// The command words, run as the real executable against a running gateway:
// the client reads the port and credentials of the "quorvex.conf" in its own
// working directory.
#include "integration/AdminFixture.h"

namespace quorvex::test {
namespace {

using nlohmann::json;

class CliTest : public AdminServerTest {
protected:
  // Runs one command word; the start-up preamble comes first, so this returns
  // the whole standard output and `errors_` the standard error.
  std::string run(std::vector<std::string> words, const std::string& secret = "s3cret") {
    TempDir scratch;
    json config = savedConfig();
    config["base"]["auth.client_secret"] = secret;
    scratch.write("quorvex.conf", config.dump());
    GatewayProcess client(scratch.path(), std::move(words));
    EXPECT_EQ(client.waitExit(), 0) << client.output();
    errors_ = client.errors();
    return client.output();
  }

  // True when the command's output ends with `expected`.
  ::testing::AssertionResult printed(std::vector<std::string> words, const std::string& expected,
                                     const std::string& secret = "s3cret") {
    const std::string out = run(std::move(words), secret);
    if (out.size() >= expected.size() &&
        out.compare(out.size() - expected.size(), expected.size(), expected) == 0) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "expected to end with:\n"
                                         << expected << "got:\n"
                                         << out;
  }

  std::string errors_;
};

TEST_F(CliTest, EsmeCommands) {
  EXPECT_TRUE(printed({"esmeAdd", "esme2", "set1"}, "\nSuccessfully added\n"));
  EXPECT_EQ(view("/esme/esme2")["sharedtargetsetid"], "set1");
  EXPECT_TRUE(printed({"esmeAdd", "esme2", "set1"}, "\nAdd failed\n"));
  EXPECT_TRUE(printed({"esmeModify", "esme2", "set7"}, "\nSuccessfully modified\n"));
  EXPECT_TRUE(printed({"esmeModify", "nobody", "set7"}, "\nModify failed\n"));
  EXPECT_TRUE(printed({"esmeList", "ignored"}, "\n[\n  \"esme1\",\n  \"esme2\"\n]\n"));
  EXPECT_TRUE(printed({"esmeView", "esme2"},
                      "\n{\n  \"sharedtargetsetid\": \"set7\",\n  \"systemid\": \"esme2\"\n}\n"));
  EXPECT_TRUE(printed({"esmeView", "nobody"}, "\nFailed\n"));
  EXPECT_TRUE(printed({"esmeRemove", "esme2"}, "\nSuccessfully removed\n"));
  EXPECT_TRUE(printed({"esmeRemove", "esme2"}, "\nRemove failed\n"));
  EXPECT_EQ(view("/esme"), json::parse(R"(["esme1"])"));
}

TEST_F(CliTest, TargetSetCommands) {
  // Any third word but "true" leaves submits disabled.
  EXPECT_TRUE(printed({"targetSetAdd", "set2", "Two", "TRUE"}, "\nSuccessfully added\n"));
  EXPECT_EQ(view("/targetsets/set2")["submits_enabled"], false);
  EXPECT_TRUE(printed({"targetSetAdd", "set2", "Two"}, "\nAdd failed\n"));
  EXPECT_TRUE(printed({"targetSetModify", "set2", "Deux", "true"}, "\nSuccessfully modified\n"));
  EXPECT_EQ(view("/targetsets/set2")["name"], "Deux");
  EXPECT_EQ(view("/targetsets/set2")["submits_enabled"], true);
  EXPECT_TRUE(printed({"targetSetModify", "set9", "x"}, "\nModify failed\n"));
  EXPECT_TRUE(printed({"targetSetList"}, "\n[\n  \"set1\",\n  \"set2\"\n]\n"));
  EXPECT_TRUE(printed({"targetSetRemove", "set2"}, "\nSuccessfully removed\n"));
  EXPECT_TRUE(printed({"targetSetRemove", "set2"}, "\nRemove failed\n"));
}

TEST_F(CliTest, UsageLines) {
  const std::string before = dir().read("quorvex.conf");
  EXPECT_TRUE(printed({"esmeAdd", "only"}, "\nUsage: esmeAdd <systemid> <targetset-name>\n"));
  EXPECT_TRUE(printed({"esmeModify"}, "\nUsage: esmeModify <systemid> <targetset-name>\n"));
  EXPECT_TRUE(printed({"esmeRemove"}, "\nUsage: esmeRemove <systemid>\n"));
  EXPECT_TRUE(printed({"esmeView", "a", "b"}, "\nUsage: esmeView <systemid>\n"));
  EXPECT_TRUE(printed({"targetSetRemove"}, "\nUsage: targetSetRemove <name>\n"));
  EXPECT_TRUE(printed({"targetSetAdd", "x"}, "\nUsage: targetSetAdd <id> <name> [true]\n"));
  EXPECT_TRUE(printed({"targetSetModify", "a", "b", "c", "d"},
                      "\nUsage: targetSetModify <id> <name> [true]\n"));
  EXPECT_EQ(dir().read("quorvex.conf"), before); // nothing reached the gateway
}

TEST_F(CliTest, WrongCredentialsOrGatewayDownPrintFailedForTheTokenAndTheCommand) {
  EXPECT_TRUE(printed({"esmeAdd", "esme2", "set1"}, "\nFailed\nAdd failed\n", "wrong"));
  EXPECT_TRUE(printed({"esmeList"}, "\nFailed\nFailed\n", "wrong"));
  EXPECT_EQ(view("/esme"), json::parse(R"(["esme1"])"));
  // The same with no gateway to answer.
  stopGateway();
  EXPECT_TRUE(printed({"esmeAdd", "esme2", "set1"}, "\nFailed\nAdd failed\n"));
  EXPECT_NE(errors_.find("curl_easy_perform() failed: "), std::string::npos) << errors_;
  EXPECT_TRUE(printed({"targetSetList"}, "\nFailed\nFailed\n"));
}

} // namespace
} // namespace quorvex::test
