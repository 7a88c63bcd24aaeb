// Every way a configuration file can be refused, seen from outside: the real
// gateway prints the reason, says the file is invalid, exits 0 without
// serving and leaves the file as it was.
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "support/TestProcess.h"

namespace quorvex {
namespace {

// A target set "ts<id>" holding `targets`.
std::string set(const std::string& id, const std::string& targets) {
  return R"({"id": "ts)" + id + R"(", "name": "n", "submits_enabled": true, "targets": [)" +
         targets + "]}";
}

const std::string kSets = R"({"targetsets": [)";
const std::string kTarget =
    R"({"name": "x", "host": "h", "bindqty": 1, "systemid": "s", )"
    R"("password": "p", "systemtype": "", "weight": 1, "admindown": false})";
const std::string kEsme = R"({"esme": [{"systemid": "e", "sharedtargetsetid": "ts", )";
// Bad rules follow a good one: it must not hide them.
const std::string kGoodRule =
    R"({"criteria": {"match": "m", "type": "t", "value": "1"}, "targetset": "ts"})";
const std::string kLacksValue = R"({"criteria": {"match": "m", "type": "t"}, "targetset": "ts"})";
const std::string kInvalid = "Invalid configuration file - ";
const std::string kLoad = "WARNING TarnConfiguration::performLoad ";
const std::string kParse = "WARNING TarnConfiguration::parseConfig " + kInvalid;
const std::string kProcess = "WARNING TarnConfiguration::processTarget " + kInvalid;

// Test name, file text, the reason expected in the output.
using RefusedFile = std::tuple<const char*, std::string, std::string>;
const RefusedFile kRows[] = {
    {"Empty", "", kLoad + "Configuration file is empty\n"},
    {"Syntax", R"({"base": {)", kLoad + "Exception [json.exception.parse_error"},
    {"DocumentIsAnArray", "[1, 2]", kInvalid + "the document is not a JSON object\n"},
    {"TargetSetLacksKey", kSets + R"({"id": "ts", "name": "n", "targets": []}]})",
     kParse + "missing id, name, submits_enabled or targets in target set\n"},
    {"TargetLacksKey", kSets + set("a", R"({"name": "a"})") + "]}",
     kProcess + "missing required field 'host' in target\n"},
    {"DuplicateTargetAcrossSets", kSets + set("a", kTarget) + ", " + set("b", kTarget) + "]}",
     kProcess + "duplicate target x\n"},
    {"DuplicateTargetInOneSet", kSets + set("a", kTarget + ", " + kTarget) + "]}",
     kProcess + "duplicate target x\n"},
    {"EsmeLacksSystemId", R"({"esme": [{"sharedtargetsetid": "ts"}]})",
     kParse + "missing systemid or sharedtargetsetid field in ESME\n"},
    {"DuplicateEsme", kEsme + R"("password": "p"}, {"systemid": "e", "sharedtargetsetid": "ts"}]})",
     "\n" + kInvalid + "duplicate ESME systemid e\n"},
    {"GlobalRuleLacksTargetSet", R"({"routes-mt": [{"criteria": {}}]})",
     "Invalid global routes-mt rule: missing criteria or targetset\n"},
    {"GlobalCriteriaLackValue", R"({"routes-mt": [)" + kGoodRule + ", " + kLacksValue + "]}",
     "Invalid criteria in global routes-mt: missing match/type/value\n"},
    {"EsmeRuleLacksTargetSet", kEsme + R"("routes-mt": [{"criteria": {}}]}]})",
     "Invalid routes-mt rule: missing criteria or targetset\n"},
    {"EsmeCriteriaLackValue", kEsme + R"("routes-mt": [)" + kGoodRule + ", " + kLacksValue + "]}]}",
     "Invalid criteria in routes-mt: missing match/type/value\n"},
    {"TpsLimitAsString", kEsme + R"("tpslimit": "100"}]})",
     kLoad + "Exception [json.exception.type_error"},
    {"PortSettingAsString", R"({"base": {"smpp.port": "2775"}})",
     kInvalid + "setting smpp.port has the wrong type (string)\n"},
    {"ClientIdAsNumber", R"({"base": {"auth.client_id": 5}})",
     kInvalid + "setting auth.client_id has the wrong type (number)\n"},
    {"HttpPortOutOfRange", R"({"base": {"http.port": 70000}})",
     kInvalid + "setting http.port out of range (1 to 65535)\n"},
    {"SmppPortNegative", R"({"base": {"smpp.port": -1}})",
     kInvalid + "setting smpp.port out of range (0 to 65535)\n"},
    {"CdrBatchSizeAsArray", R"({"cdr": {"batch_size": [1]}})",
     kInvalid + "setting batch_size has the wrong type (array)\n"},
};

class ConfigurationFileTest : public ::testing::TestWithParam<RefusedFile> {};

TEST_P(ConfigurationFileTest, RefusedWithReasonAndLeftUntouched) {
  const auto& [name, content, reason] = GetParam();
  test::TempDir dir;
  dir.write("quorvex.conf", content);
  test::GatewayProcess process(dir.path());
  // A file that served or was taken for a missing one (and replaced by the
  // defaults) would keep running or change.
  EXPECT_EQ(process.waitExit(), 0);
  const std::string out = process.output();
  for (const std::string& line : {reason, kLoad + "Configuration file quorvex.conf invalid\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  }
  // The file is untouched and no backup was made.
  EXPECT_EQ(dir.read("quorvex.conf"), content);
  for (const auto& file : dir.list()) {
    EXPECT_NE(file.rfind("quorvex_", 0), 0u) << file;
  }
}

INSTANTIATE_TEST_SUITE_P(ConfigurationFile, ConfigurationFileTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(std::get<0>(info.param)); });

} // namespace
} // namespace quorvex
