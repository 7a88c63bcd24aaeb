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

class TarnConfigurationTest : public ::testing::Test {
protected:
  TarnConfigurationTest() { std::filesystem::current_path(dir_.path()); }

  bool load(const std::string& text) {
    dir_.write("quorvex.conf", text);
    return reload();
  }
  // Loads quorvex.conf as it stands into config_, hiding the console dump.
  bool reload() {
    bool createDefault = false;
    ::testing::internal::CaptureStdout();
    const bool ok = config_.performLoad(createDefault);
    console_ = ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(createDefault);
    return ok;
  }

  test::TempDir dir_;
  TarnConfiguration config_;
  std::string console_;
};

TEST_F(TarnConfigurationTest, MissingListsAndNullTargetsLoadAsEmptyTables) {
  // The admin API writes null for a set created without targets.
  ASSERT_TRUE(load(
      R"({"targetsets": [{"id": "ts", "name": "n", "submits_enabled": true, "targets": null}]})"));
  EXPECT_TRUE(config_.confESME.empty());
  EXPECT_TRUE(config_.confSharedTargetSets.at("ts").targets.empty());
  EXPECT_TRUE(config_.globalRoutesMT.empty());
  EXPECT_EQ(config_.configChangeStamp.load(), 0u);
  // Absent settings take the reader's default, not the default file's value.
  EXPECT_EQ(config_.getSettingInt("smpp.max_connections_per_ip", 20), 20);
  EXPECT_EQ(config_.getCDRSettingString("file_path", "cdrs.csv"), "cdrs.csv");
}

TEST_F(TarnConfigurationTest, RecordDefaultsConversionsNumbersAndRules) {
  ASSERT_TRUE(load(R"({
    "targetsets": [{"id": "ts1", "name": "One", "submits_enabled": true, "targets": [
      {"name": "a", "host": "h", "bindqty": 2, "systemid": "gw", "password": "pw",
       "systemtype": "st", "weight": 3, "admindown": false},
      {"name": "b", "host": "h", "bindqty": 2, "systemid": "gw", "password": "pw",
       "systemtype": "st", "weight": 3, "admindown": false, "port": 2776, "tpslimit": 50.9,
       "usetxrx": true, "userxonly": true}]}],
    "routes-mt": [{"criteria": {"match": "m", "type": "t", "value": "v", "x": 1}, "targetset": "s"}],
    "esme": [{"systemid": "plain", "sharedtargetsetid": "ts1", "inboundmo": ["111", "222"],
       "routes-mt": [{"criteria": {"match": "m", "type": "t", "value": "1"}, "targetset": "s"},
                     {"criteria": {"match": "m", "type": "t", "value": "2"}, "targetset": "s"}],
       "numbering": [{"numbers": ["333", 5, "444"]}, {"other": 1}, "junk"]},
      {"systemid": "big", "sharedtargetsetid": "ts1", "tpslimit": 70000,
       "binding_enabled": false, "inboundmo": ["444"], "allowedips": ["10.1.1.1", 7]}]})"));
  const ConfTarget& a = config_.confSharedTargetSets.at("ts1").targets.at(0);
  EXPECT_EQ(std::tuple(a.port, a.tpsLimit, a.useTxRx, a.useRxOnly, a.bindQty),
            std::tuple(2775, 32000, false, false, 2));
  const ConfTarget& b = config_.confSharedTargetSets.at("ts1").targets.at(1);
  // The limit truncated toward zero.
  EXPECT_EQ(std::tuple(b.port, b.tpsLimit, b.useTxRx, b.useRxOnly),
            std::tuple(2776, 50, true, true));

  const ConfESME& plain = config_.confESME.at("plain");
  EXPECT_EQ(std::tuple(plain.tpsLimit, plain.bindingEnabled, plain.submitsEnabled,
                       plain.allowedIPs.empty()),
            std::tuple(65535, true, true, true));
  // 70000 keeps its low 16 bits. Allowed IPs survive a restart; non-strings are skipped.
  const ConfESME& big = config_.confESME.at("big");
  EXPECT_EQ(std::tuple(big.tpsLimit, big.bindingEnabled, big.allowedIPs),
            std::tuple(4464, false, std::vector<std::string>{"10.1.1.1"}));

  // Numbering replaces inboundmo; a number's later owner wins.
  EXPECT_EQ(plain.moNumbers, (std::vector<std::string>{"333", "444"}));
  EXPECT_EQ(config_.esmeNumbers.at("plain"), plain.moNumbers);
  EXPECT_EQ(config_.numberOwners,
            (std::map<std::string, std::string>{{"333", "plain"}, {"444", "big"}}));
  // Rules are kept whole and in order, once each however many passes the load makes.
  EXPECT_EQ(json(config_.globalRoutesMT), config_.jconfig["routes-mt"]);
  EXPECT_EQ(json(plain.routesMT), config_.jconfig["esme"][0]["routes-mt"]);
}

TEST_F(TarnConfigurationTest, GettersConvertLikeNumbersOrFallBack) {
  ASSERT_TRUE(load(R"({"base": {"flag": true, "notflag": 1, "name": "gw", "list": [1, 2],
    "i0": 12.7, "i1": -3.9, "i2": 1e300, "i3": true, "i4": false, "i5": 42,
    "i6": "5", "i7": [1], "i8": {}}})"));
  // Floats truncate toward zero and saturate, booleans count as 0 and 1;
  // anything else, which jsonToInt refuses, gives the default 9.
  const int64_t ints[] = {12, -3, INT64_MAX, 1, 0, 42, 9, 9, 9};
  for (size_t i = 0; i < std::size(ints); ++i) {
    const std::string key = "i" + std::to_string(i);
    EXPECT_EQ(config_.getSettingInt(key, 9), ints[i]) << key;
    if (ints[i] == 9) {
      EXPECT_THROW(jsonToInt(config_.jconfig["base"][key]), json::type_error) << key;
    }
  }
  EXPECT_TRUE(config_.getSettingBool("flag", false));
  EXPECT_FALSE(config_.getSettingBool("notflag", false)); // a number is no boolean
  EXPECT_TRUE(config_.getSettingBool("absent", true));
  EXPECT_EQ(config_.getSettingString("name", ""), "gw");
  EXPECT_EQ(config_.getSettingString("absent", "dflt"), "dflt");
  EXPECT_EQ(config_.getSettingString("list", "d"), "d");
}

TEST_F(TarnConfigurationTest, SaveKeepsTheFormerFileAsBackup) {
  ASSERT_TRUE(load(R"({"esme": [{"systemid": "a", "sharedtargetsetid": "ts"}]})"));
  const std::string before = dir_.read("quorvex.conf");
  config_.jconfig["esme"][0]["tpslimit"] = 10;
  ::testing::internal::CaptureStdout();
  std::unique_lock<std::mutex> guard(config_.lock());
  config_.performSave();
  guard.unlock();
  ::testing::internal::GetCapturedStdout();
  const std::string backup = dir_.list().back(); // "quorvex_" sorts after "quorvex."
  EXPECT_EQ(backup, "quorvex_" + std::to_string(std::stoull(backup.substr(8))) + ".conf");
  EXPECT_EQ(dir_.read(backup), before);
  EXPECT_EQ(dir_.read("quorvex.conf"), config_.jconfig.dump(2) + "\n");
  // The saved file loads back to the changed tables.
  EXPECT_EQ(config_.confESME.at("a").tpsLimit, 65535);
  EXPECT_TRUE(reload());
  EXPECT_EQ(config_.confESME.at("a").tpsLimit, 10);
}

TEST_F(TarnConfigurationTest, NothingPrintedShowsASecret) {
  ASSERT_TRUE(load(R"({"base": {"auth.client_secret": "clientsecret"},
    "targetsets": [{"id": "ts1", "name": "One", "submits_enabled": false, "targets": [
      {"name": "a", "host": "h", "bindqty": 2, "systemid": "gw", "password": "targetpw",
       "systemtype": "st", "weight": 3, "admindown": false}]}],
    "esme": [{"systemid": "a", "sharedtargetsetid": "ts1", "password": "esmepw",
              "password_hash": "$2b$10$hash"}, {"systemid": "b", "sharedtargetsetid": "ts1"}]})"));
  // Neither the echoed document nor the dumps after it.
  for (const char* secret : {"targetpw", "clientsecret", "esmepw", "$2b$10$hash"}) {
    EXPECT_EQ(console_.find(secret), std::string::npos) << secret << "\n" << console_;
  }
  // Each says whether its secret is set.
  for (const char* line : {"System ID: a\nPassword: [DEFINED]\nPassword (hash): [DEFINED]\n",
                           "System ID: b\nPassword: [UNDEFINED]\n", "    Password: [DEFINED]\n",
                           "\"auth.client_secret\": \"[DEFINED]\""}) {
    EXPECT_NE(console_.find(line), std::string::npos) << line << "\n" << console_;
  }
}

} // namespace
} // namespace quorvex
