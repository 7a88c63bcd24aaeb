// Loading, defaults, tables, getters, saving and dumps of the configuration,
// on a real "quorvex.conf" in a temporary working directory.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "config/TarnConfiguration.h"
#include "support/TestProcess.h"

namespace quorvex {
namespace {

using nlohmann::json;

json target(const std::string& name) {
  return {{"name", name},     {"host", "10.0.0.1"}, {"bindqty", 2}, {"systemid", "gw"},
          {"password", "pw"}, {"systemtype", "st"}, {"weight", 3},  {"admindown", false}};
}

class TarnConfigurationTest : public ::testing::Test {
protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override { std::filesystem::current_path(previous_); }

  // Writes `doc` and loads it into config_, hiding the console dump.
  bool load(const json& doc) {
    dir_.write("quorvex.conf", doc.dump());
    bool createDefault = false;
    ::testing::internal::CaptureStdout();
    const bool ok = config_.performLoad(createDefault);
    console_ = ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(createDefault);
    return ok;
  }

  test::TempDir dir_;
  std::filesystem::path previous_;
  TarnConfiguration config_;
  std::string console_;
};

TEST_F(TarnConfigurationTest, MissingListsAndNullTargetsLoadAsEmptyTables) {
  // The admin API writes null for a set created without targets.
  ASSERT_TRUE(
      load({{"targetsets",
             {{{"id", "ts"}, {"name", "n"}, {"submits_enabled", true}, {"targets", nullptr}}}}}));
  EXPECT_TRUE(config_.confESME.empty());
  EXPECT_TRUE(config_.confSharedTargetSets.at("ts").targets.empty());
  EXPECT_TRUE(config_.globalRoutesMT.empty());
  EXPECT_EQ(config_.configChangeStamp.load(), 0u);
  // Absent settings take the reader's default, not the default file's value.
  EXPECT_EQ(config_.getSettingInt("smpp.max_connections_per_ip", 20), 20);
  EXPECT_EQ(config_.getSettingInt("http.port", 80), 80);
  EXPECT_EQ(config_.getCDRSettingString("file_path", "cdrs.csv"), "cdrs.csv");
}

TEST_F(TarnConfigurationTest, RecordDefaultsAndConversions) {
  json t = target("smsc-a");
  json full = target("smsc-b");
  full["port"] = 2776;
  full["tpslimit"] = 50.9;
  full["usetxrx"] = true;
  full["userxonly"] = true;
  const json doc = {
      {"targetsets",
       {{{"id", "ts1"}, {"name", "One"}, {"submits_enabled", true}, {"targets", {t, full}}}}},
      {"esme",
       {{{"systemid", "plain"}, {"sharedtargetsetid", "ts1"}},
        {{"systemid", "big"},
         {"sharedtargetsetid", "ts1"},
         {"tpslimit", 70000},
         {"binding_enabled", false},
         {"password", "x"},
         {"allowedips", {"10.1.1.1", 7}}}}},
  };
  ASSERT_TRUE(load(doc));
  const ConfTarget& a = config_.confSharedTargetSets.at("ts1").targets.at(0);
  EXPECT_EQ(a.port, 2775);
  EXPECT_EQ(a.tpsLimit, 32000);
  EXPECT_FALSE(a.useTxRx);
  EXPECT_FALSE(a.useRxOnly);
  EXPECT_EQ(a.bindQty, 2);
  const ConfTarget& b = config_.confSharedTargetSets.at("ts1").targets.at(1);
  EXPECT_EQ(b.port, 2776);
  EXPECT_EQ(b.tpsLimit, 50); // truncated toward zero
  EXPECT_TRUE(b.useTxRx);
  EXPECT_TRUE(b.useRxOnly);

  const ConfESME& plain = config_.confESME.at("plain");
  EXPECT_EQ(plain.tpsLimit, 65535);
  EXPECT_TRUE(plain.bindingEnabled);
  EXPECT_TRUE(plain.submitsEnabled);
  EXPECT_TRUE(plain.allowedIPs.empty());
  const ConfESME& big = config_.confESME.at("big");
  EXPECT_EQ(big.tpsLimit, 4464); // 70000 keeps its low 16 bits
  EXPECT_FALSE(big.bindingEnabled);
  // Allowed IPs survive a restart; non-strings are skipped.
  EXPECT_EQ(big.allowedIPs, std::vector<std::string>{"10.1.1.1"});
}

TEST_F(TarnConfigurationTest, NumberingReplacesInboundMoAndLaterOwnerWins) {
  const json doc = {
      {"esme",
       {{{"systemid", "a"},
         {"sharedtargetsetid", "ts"},
         {"inboundmo", {"111", "222"}},
         {"numbering", {{{"numbers", {"333", 5, "444"}}}, {{"other", 1}}, "junk"}}},
        {{"systemid", "b"}, {"sharedtargetsetid", "ts"}, {"inboundmo", {"444"}}}}},
  };
  ASSERT_TRUE(load(doc));
  EXPECT_EQ(config_.confESME.at("a").moNumbers, (std::vector<std::string>{"333", "444"}));
  EXPECT_EQ(config_.esmeNumbers.at("a"), (std::vector<std::string>{"333", "444"}));
  EXPECT_EQ(config_.numberOwners.at("333"), "a");
  EXPECT_EQ(config_.numberOwners.at("444"), "b");
  EXPECT_EQ(config_.numberOwners.count("111"), 0u);
}

TEST_F(TarnConfigurationTest, RulesAreKeptAsObjects) {
  const json rule = {
      {"criteria", {{"match", "prefix"}, {"type", "destination"}, {"value", "44"}, {"extra", 1}}},
      {"targetset", "uk"}};
  const json doc = {
      {"routes-mt", {rule}},
      {"esme", {{{"systemid", "a"}, {"sharedtargetsetid", "ts"}, {"routes-mt", {rule, rule}}}}}};
  ASSERT_TRUE(load(doc));
  ASSERT_EQ(config_.globalRoutesMT.size(), 1u);
  EXPECT_EQ(config_.globalRoutesMT[0], rule);
  EXPECT_EQ(config_.confESME.at("a").routesMT.size(), 2u);
}

TEST_F(TarnConfigurationTest, GettersConvertLikeNumbersOrFallBack) {
  const json doc = {{"base",
                     {{"flag", true},
                      {"notflag", 1},
                      {"count", 12.7},
                      {"boolcount", true},
                      {"name", "gw"},
                      {"list", {1, 2}}}}};
  ASSERT_TRUE(load(doc));
  EXPECT_TRUE(config_.getSettingBool("flag", false));
  EXPECT_FALSE(config_.getSettingBool("notflag", false)); // a number is no boolean
  EXPECT_TRUE(config_.getSettingBool("absent", true));
  EXPECT_EQ(config_.getSettingInt("count", 0), 12);
  EXPECT_EQ(config_.getSettingInt("boolcount", 0), 1);
  EXPECT_EQ(config_.getSettingString("name", ""), "gw");
  EXPECT_EQ(config_.getSettingString("absent", "dflt"), "dflt");
  // Unknown settings of odd types never throw out of a reader.
  EXPECT_EQ(config_.getSettingInt("list", 9), 9);
  EXPECT_EQ(config_.getSettingString("list", "d"), "d");
  // The conversion under the getters.
  EXPECT_EQ(jsonToInt(json(true)), 1);
  EXPECT_EQ(jsonToInt(json(false)), 0);
  EXPECT_EQ(jsonToInt(json(-3.9)), -3);
  EXPECT_EQ(jsonToInt(json(1e300)), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(jsonToInt(json(42u)), 42);
  EXPECT_THROW(jsonToInt(json("5")), json::type_error);
  EXPECT_THROW(jsonToInt(json::array()), json::type_error);
}

TEST_F(TarnConfigurationTest, SaveKeepsTheFormerFileAsBackup) {
  const json doc = {{"esme", {{{"systemid", "a"}, {"sharedtargetsetid", "ts"}}}}};
  ASSERT_TRUE(load(doc));
  const std::string before = dir_.read("quorvex.conf");
  config_.jconfig["esme"][0]["tpslimit"] = 10;
  ::testing::internal::CaptureStdout();
  {
    std::lock_guard<std::mutex> guard(config_.lock());
    config_.performSave();
  }
  const std::string console = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(
      console.find("INFO TarnConfiguration::performSave Configuration file quorvex.conf save"),
      std::string::npos);

  std::string backup;
  for (const auto& name : dir_.list()) {
    if (name.rfind("quorvex_", 0) == 0) {
      backup = name;
    }
  }
  ASSERT_FALSE(backup.empty());
  EXPECT_TRUE(std::all_of(backup.begin() + 8, backup.end() - 5, ::isdigit)) << backup;
  EXPECT_EQ(backup.substr(backup.size() - 5), ".conf");
  EXPECT_EQ(dir_.read(backup), before);
  EXPECT_EQ(dir_.read("quorvex.conf"), config_.jconfig.dump(2) + "\n");

  // The saved file loads back to the same tables.
  TarnConfiguration reloaded;
  bool createDefault = false;
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(reloaded.performLoad(createDefault));
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(reloaded.confESME.at("a").tpsLimit, 10);
}

TEST_F(TarnConfigurationTest, NothingPrintedShowsASecret) {
  json t = target("smsc-a");
  t["password"] = "targetpw";
  const json doc = {
      {"base", {{"auth.client_secret", "clientsecret"}}},
      {"targetsets",
       {{{"id", "ts1"}, {"name", "One"}, {"submits_enabled", false}, {"targets", {t}}}}},
      {"esme",
       {{{"systemid", "a"},
         {"sharedtargetsetid", "ts1"},
         {"password", "esmepw"},
         {"password_hash", "$2b$10$hash"},
         {"inboundmo", {"1", "2"}}},
        {{"systemid", "b"}, {"sharedtargetsetid", "ts1"}}}},
  };
  ASSERT_TRUE(load(doc));
  // Neither the echoed document nor the dumps after it.
  for (const char* secret : {"targetpw", "clientsecret", "esmepw", "$2b$10$hash"}) {
    EXPECT_EQ(console_.find(secret), std::string::npos) << secret << "\n" << console_;
  }
  for (const char* line : {"System ID: a\nPassword: [DEFINED]\nPassword (hash): [DEFINED]\n",
                           "System ID: b\nPassword: [UNDEFINED]\n", "    Password: [DEFINED]\n",
                           "\"auth.client_secret\": \"[DEFINED]\""}) {
    EXPECT_NE(console_.find(line), std::string::npos) << line << "\n" << console_;
  }
}

} // namespace
} // namespace quorvex
