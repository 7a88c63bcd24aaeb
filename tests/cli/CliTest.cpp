// The command words against an admin server in this process.
#include <sstream>

#include "admin/AdminFixture.h"
#include "cli/AdminCommandLine.h"

namespace quorvex::test {
namespace {

using nlohmann::json;

class CliTest : public AdminServerTest {
protected:
  // Runs the command line; returns what it printed on standard output.
  std::string run(std::vector<std::string> words, const std::string& secret = "s3cret") {
    std::vector<std::string> args = {"quorvex"};
    args.insert(args.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (auto& arg : args) {
      argv.push_back(arg.data());
    }
    std::ostringstream out;
    errors_.str("");
    wasCommand_ = runAdminCommand(static_cast<int>(argv.size()), argv.data(), "admin", secret,
                                  port_, out, errors_);
    return out.str();
  }

  std::ostringstream errors_;
  bool wasCommand_ = false;
};

TEST_F(CliTest, EsmeCommands) {
  EXPECT_EQ(run({"esmeAdd", "esme2", "set1"}), "Successfully added\n");
  EXPECT_TRUE(wasCommand_);
  EXPECT_EQ(config_.confESME.at("esme2").sharedTargetSetId, "set1");
  EXPECT_EQ(run({"esmeAdd", "esme2", "set1"}), "Add failed\n");
  EXPECT_EQ(run({"esmeModify", "esme2", "set7"}), "Successfully modified\n");
  EXPECT_EQ(config_.confESME.at("esme2").sharedTargetSetId, "set7");
  EXPECT_EQ(run({"esmeModify", "nobody", "set7"}), "Modify failed\n");
  EXPECT_EQ(run({"esmeList", "ignored"}), "[\n  \"esme1\",\n  \"esme2\"\n]\n");
  EXPECT_EQ(run({"esmeView", "esme2"}),
            "{\n  \"sharedtargetsetid\": \"set7\",\n  \"systemid\": \"esme2\"\n}\n");
  EXPECT_EQ(run({"esmeView", "nobody"}), "Failed\n");
  EXPECT_EQ(run({"esmeRemove", "esme2"}), "Successfully removed\n");
  EXPECT_EQ(run({"esmeRemove", "esme2"}), "Remove failed\n");
  EXPECT_EQ(errors_.str(), "");
}

TEST_F(CliTest, TargetSetCommands) {
  EXPECT_EQ(run({"targetSetAdd", "set2", "Two", "TRUE"}), "Successfully added\n");
  EXPECT_FALSE(config_.confSharedTargetSets.at("set2").submitsEnabled);
  EXPECT_TRUE(savedConfig()["targetsets"][1]["targets"].is_null());
  EXPECT_EQ(run({"targetSetAdd", "set2", "Two"}), "Add failed\n");
  EXPECT_EQ(run({"targetSetModify", "set2", "Deux", "true"}), "Successfully modified\n");
  EXPECT_TRUE(config_.confSharedTargetSets.at("set2").submitsEnabled);
  EXPECT_EQ(config_.confSharedTargetSets.at("set2").name, "Deux");
  EXPECT_EQ(run({"targetSetModify", "set9", "x"}), "Modify failed\n");
  EXPECT_EQ(run({"targetSetList"}), "[\n  \"set1\",\n  \"set2\"\n]\n");
  EXPECT_EQ(run({"targetSetRemove", "set2"}), "Successfully removed\n");
  EXPECT_EQ(run({"targetSetRemove", "set2"}), "Remove failed\n");
}

TEST_F(CliTest, UsageLines) {
  EXPECT_EQ(run({"esmeAdd", "only"}), "Usage: esmeAdd <systemid> <targetset-name>\n");
  EXPECT_EQ(run({"esmeModify"}), "Usage: esmeModify <systemid> <targetset-name>\n");
  EXPECT_EQ(run({"esmeRemove"}), "Usage: esmeRemove <systemid>\n");
  EXPECT_EQ(run({"esmeView", "a", "b"}), "Usage: esmeView <systemid>\n");
  EXPECT_EQ(run({"targetSetRemove"}), "Usage: targetSetRemove <name>\n");
  EXPECT_EQ(run({"targetSetAdd", "x"}), "Usage: targetSetAdd <id> <name> [true]\n");
  EXPECT_EQ(run({"targetSetModify", "a", "b", "c", "d"}),
            "Usage: targetSetModify <id> <name> [true]\n");
  EXPECT_TRUE(wasCommand_);
  EXPECT_EQ(config_.configChangeStamp.load(), 0u);
}

TEST_F(CliTest, WrongCredentialsPrintFailedTwice) {
  EXPECT_EQ(run({"esmeAdd", "esme2", "set1"}, "wrong"), "Failed\nAdd failed\n");
  EXPECT_EQ(run({"esmeList"}, "wrong"), "Failed\nFailed\n");
  EXPECT_EQ(config_.confESME.count("esme2"), 0u);
}

TEST_F(CliTest, UnknownWordFallsThroughAfterTokenRequest) {
  EXPECT_EQ(run({"serve"}), "");
  EXPECT_FALSE(wasCommand_);
  EXPECT_EQ(run({"serve"}, "wrong"), "Failed\n");
  EXPECT_FALSE(wasCommand_);
}

TEST_F(CliTest, GatewayDown) {
  server_->stop();
  EXPECT_EQ(run({"esmeAdd", "esme2", "set1"}), "Failed\nAdd failed\n");
  EXPECT_EQ(errors_.str().rfind("curl_easy_perform() failed: ", 0), 0u);
  EXPECT_EQ(run({"targetSetList"}), "Failed\nFailed\n");
}

} // namespace
} // namespace quorvex::test
