// The status report from a hand-filled upstream view; a running gateway's
// report of a live bind is checked by the process tests.
#include <gtest/gtest.h>

#include "admin/StatusReport.h"
#include "config/TarnConfiguration.h"
#include "tracker/SmscId.h"

namespace quorvex {
namespace {

using nlohmann::json;

// One set whose target has two binds.
const char* kConfig = R"({"targetsets": [{"id": "set1", "name": "S", "submits_enabled": true,
  "targets": [{"name": "smscA", "host": "h", "port": 1, "bindqty": 2, "systemid": "a",
  "password": "p", "systemtype": "", "weight": 1, "admindown": false}]}]})";

class StatusReportTest : public ::testing::Test, public StatusSource {
protected:
  void SetUp() override { ASSERT_TRUE(config_.parseConfig(true, json::parse(kConfig))); }
  std::map<uint64_t, BindStatus> bindStatuses() override { return binds_; }
  json report() { return statusReport(config_, this); }

  TarnConfiguration config_;
  std::map<uint64_t, BindStatus> binds_; // what the report sees
  const uint64_t bind0_ = smscId("smscA", 0, false);
  const uint64_t bind1_ = smscId("smscA", 1, false);
};

TEST_F(StatusReportTest, EntriesAndSummary) {
  // Bind 0 has a bound transceiver session; bind 1 only its slot, whose
  // connection and state are ignored without a session. 0x42 is no bind.
  // Session, connected, bind type and state, host, port, system_id.
  const BindStatus live{true, true, 1, 2, "127.0.0.1", 2776, "a"};
  const BindStatus idle{
      .connected = true, .bindState = 3, .host = "", .systemId = "", .adminDown = true};
  binds_ = {{bind0_, live}, {bind1_, idle}, {0x42, live}};

  const json entries = report()["statusReport"];
  ASSERT_EQ(entries.size(), 2u);
  json expected = json::parse(R"({"smsc_name":"smscA","connected":true,"bind_type":1,
      "bind_state":2,"host":"127.0.0.1","port":2776,"system_id":"a","admin_down":false,
      "target_set":"set1"})");
  expected["smsc_id"] = bind0_;
  EXPECT_EQ(entries[0], expected);
  EXPECT_EQ(std::tuple(entries[1]["connected"], entries[1]["bind_state"], entries[1]["smsc_id"]),
            std::tuple(false, 0, bind1_));
  EXPECT_EQ(report()["summary"], json::parse(R"({"admindown":1,"targets":2,"targetsets":1,
      "bindTX":0,"bindRX":0,"bindTRX":1,"bindUnbound":0})"));
}

TEST_F(StatusReportTest, BindsWithoutSlotSkippedAndSessionsCountedByState) {
  EXPECT_EQ(report()["statusReport"], json::array());
  EXPECT_EQ(statusReport(config_, nullptr)["summary"]["targets"], 0);
  const std::map<int, const char*> counters = {
      {0, "bindUnbound"}, {2, "bindTRX"}, {3, "bindTX"}, {4, "bindRX"}};
  for (const auto& [state, counter] : counters) {
    BindStatus bind;
    bind.hasSession = true;
    bind.bindState = state;
    binds_ = {{bind0_, bind}};
    json expected = json::parse(R"({"admindown":0,"targets":1,"targetsets":1,"bindTX":0,
        "bindRX":0,"bindTRX":0,"bindUnbound":0})");
    expected[counter] = 1;
    EXPECT_EQ(report()["summary"], expected) << state;
  }
}

} // namespace
} // namespace quorvex
