// Every way a configuration file can be refused, seen from outside: the real
// gateway prints the reason, exits 0 without serving and leaves the file as
// it was.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/TestProcess.h"

namespace quorvex {
namespace {

using nlohmann::json;

json goodTarget(const std::string& name) {
  return {{"name", name},     {"host", "127.0.0.1"}, {"bindqty", 1}, {"systemid", "gw"},
          {"password", "pw"}, {"systemtype", ""},    {"weight", 1},  {"admindown", false}};
}

json targetSet(const std::string& id, json targets) {
  return {{"id", id}, {"name", id}, {"submits_enabled", true}, {"targets", std::move(targets)}};
}

struct RefusedFile {
  const char* name;    // test name
  std::string content; // file text
  std::string reason;  // expected text in the output ("" for none)
  bool invalidLine;    // "Configuration file quorvex.conf invalid" follows

  friend void PrintTo(const RefusedFile& c, std::ostream* os) { *os << c.name; }
};

std::string text(const json& doc) { return doc.dump(2); }

std::vector<RefusedFile> refusedFiles() {
  json missingHost = goodTarget("a");
  missingHost.erase("host");
  const json rule = {{"criteria", {{"match", "prefix"}, {"type", "destination"}, {"value", "1"}}},
                     {"targetset", "ts"}};
  const json noValue = {{"criteria", {{"match", "prefix"}, {"type", "destination"}}},
                        {"targetset", "ts"}};
  const json noTargetSet = {{"criteria", rule["criteria"]}};
  return {
      {"Empty", "", "WARNING TarnConfiguration::performLoad Configuration file is empty\n", true},
      {"Syntax", "{\"base\": {",
       "WARNING TarnConfiguration::performLoad Exception [json.exception.parse_error", true},
      {"TargetSetLacksKey",
       text({{"targetsets", {{{"id", "ts"}, {"name", "n"}, {"targets", json::array()}}}}}),
       "WARNING TarnConfiguration::parseConfig Invalid configuration file - missing id, name, "
       "submits_enabled or targets in target set\n",
       true},
      {"TargetLacksKey", text({{"targetsets", {targetSet("ts", {missingHost})}}}),
       "WARNING TarnConfiguration::processTarget Invalid configuration file - missing required "
       "field 'host' in target\n",
       true},
      {"DuplicateTargetAcrossSets",
       text({{"targetsets",
              {targetSet("ts1", {goodTarget("x")}), targetSet("ts2", {goodTarget("x")})}}}),
       "WARNING TarnConfiguration::processTarget Invalid configuration file - duplicate target x\n",
       true},
      {"DuplicateTargetInOneSet",
       text({{"targetsets", {targetSet("ts1", {goodTarget("y"), goodTarget("y")})}}}),
       "Invalid configuration file - duplicate target y\n", true},
      {"EsmeLacksSystemId", text({{"esme", {{{"sharedtargetsetid", "ts"}}}}}),
       "WARNING TarnConfiguration::parseConfig Invalid configuration file - missing systemid or "
       "sharedtargetsetid field in ESME\n",
       true},
      {"DuplicateEsme",
       text({{"esme",
              {{{"systemid", "e"}, {"sharedtargetsetid", "ts"}},
               {{"systemid", "e"}, {"sharedtargetsetid", "ts"}}}}}),
       "\nInvalid configuration file - duplicate ESME systemid e\n", true},
      {"GlobalRuleLacksTargetSet", text({{"routes-mt", {noTargetSet}}}),
       "Invalid global routes-mt rule: missing criteria or targetset\n", true},
      {"GlobalCriteriaLackValue", text({{"routes-mt", {noValue}}}),
       "Invalid criteria in global routes-mt: missing match/type/value\n", true},
      {"EsmeRuleLacksTargetSet",
       text({{"esme",
              {{{"systemid", "e"}, {"sharedtargetsetid", "ts"}, {"routes-mt", {noTargetSet}}}}}}),
       "Invalid routes-mt rule: missing criteria or targetset\n", true},
      {"EsmeCriteriaLackValue",
       text({{"esme",
              {{{"systemid", "e"}, {"sharedtargetsetid", "ts"}, {"routes-mt", {rule, noValue}}}}}}),
       "Invalid criteria in routes-mt: missing match/type/value\n", true},
      {"TpsLimitAsString",
       text({{"esme", {{{"systemid", "e"}, {"sharedtargetsetid", "ts"}, {"tpslimit", "100"}}}}}),
       "WARNING TarnConfiguration::performLoad Exception [json.exception.type_error", true},
      {"PortSettingAsString", text({{"base", {{"smpp.port", "2775"}}}}),
       "Invalid configuration file - setting smpp.port has the wrong type (string)\n", true},
      {"ClientIdAsNumber", text({{"base", {{"auth.client_id", 5}}}}),
       "Invalid configuration file - setting auth.client_id has the wrong type (number)\n", true},
      {"HttpPortOutOfRange", text({{"base", {{"http.port", 70000}}}}),
       "Invalid configuration file - setting http.port out of range (1 to 65535)\n", true},
      {"SmppPortNegative", text({{"base", {{"smpp.port", -1}}}}),
       "Invalid configuration file - setting smpp.port out of range (0 to 65535)\n", true},
      {"CdrBatchSizeAsArray", text({{"cdr", {{"batch_size", {1}}}}}),
       "Invalid configuration file - setting batch_size has the wrong type (array)\n", true},
      {"DocumentIsAnArray", "[1, 2]",
       "Invalid configuration file - the document is not a JSON object\n", true},
  };
}

class ConfigurationFileTest : public ::testing::TestWithParam<RefusedFile> {};

TEST_P(ConfigurationFileTest, RefusedWithReasonAndLeftUntouched) {
  const RefusedFile& c = GetParam();
  test::TempDir dir;
  dir.write("quorvex.conf", c.content);
  test::GatewayProcess process(dir.path());
  EXPECT_EQ(process.waitExit(), 0);
  const std::string out = process.output();
  if (!c.reason.empty()) {
    EXPECT_NE(out.find(c.reason), std::string::npos) << out;
  }
  const bool invalid =
      out.find(
          "WARNING TarnConfiguration::performLoad Configuration file quorvex.conf invalid\n") !=
      std::string::npos;
  EXPECT_EQ(invalid, c.invalidLine) << out;
  EXPECT_EQ(out.find("Starting VantorelQuorvex"), std::string::npos) << out;
  EXPECT_EQ(out.find("Created configuration"), std::string::npos) << out;
  // The file is untouched and no backup was made.
  EXPECT_EQ(dir.read("quorvex.conf"), c.content);
  for (const auto& name : dir.list()) {
    EXPECT_NE(name.rfind("quorvex_", 0), 0u) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(AllRows, ConfigurationFileTest, ::testing::ValuesIn(refusedFiles()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace quorvex
