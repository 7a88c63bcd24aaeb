// The status report from a hand-filled upstream view; a running gateway's
// report of a live bind is checked by the process tests.
#include <filesystem>

#include "admin/AdminFixture.h"
#include "admin/StatusReport.h"
#include "config/TarnConfiguration.h"
#include "tracker/SmscId.h"

namespace quorvex::test {
namespace {

using nlohmann::json;

class FakeStatusSource : public StatusSource {
public:
  std::map<uint64_t, BindStatus> bindStatuses() override { return binds; }
  std::map<uint64_t, BindStatus> binds; // what the report sees
};

class StatusReportTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_.write("quorvex.conf", kAdminConfig);
    std::filesystem::current_path(dir_.path());
    bool createDefault = false;
    ASSERT_TRUE(config_.performLoad(createDefault));
  }
  void TearDown() override { std::filesystem::current_path(previousDir_); }

  TempDir dir_;
  const std::filesystem::path previousDir_ = std::filesystem::current_path();
  TarnConfiguration config_;
  FakeStatusSource status_;
};

TEST_F(StatusReportTest, EntriesAndSummary) {
  // Bind 0 of smscA has a bound transceiver session; bind 1 only its slot.
  const uint64_t bind0 = smscId("smscA", 0, false);
  const uint64_t bind1 = smscId("smscA", 1, false);
  BindStatus live;
  live.hasSession = true;
  live.connected = true;
  live.bindType = 2;
  live.bindState = 2;
  live.host = "127.0.0.1";
  live.port = 2776;
  live.systemId = "a";
  BindStatus idle = live;
  idle.hasSession = false;
  idle.connected = true; // ignored without a session
  idle.bindState = 3;    // likewise
  idle.adminDown = true;
  status_.binds = {{bind0, live}, {bind1, idle}, {0x42, live}};

  const json report = statusReport(config_, &status_);
  ASSERT_EQ(report["statusReport"].size(), 2u);
  EXPECT_EQ(report["statusReport"][0], json({{"smsc_id", bind0},
                                             {"smsc_name", "smscA"},
                                             {"connected", true},
                                             {"bind_type", 2},
                                             {"bind_state", 2},
                                             {"host", "127.0.0.1"},
                                             {"port", 2776},
                                             {"system_id", "a"},
                                             {"admin_down", false},
                                             {"target_set", "set1"}}));
  EXPECT_EQ(report["statusReport"][1]["connected"], false);
  EXPECT_EQ(report["statusReport"][1]["bind_state"], 0);
  EXPECT_EQ(report["statusReport"][1]["smsc_id"], bind1);
  EXPECT_EQ(report["summary"], json::parse(R"({"admindown":1,"targets":2,"targetsets":1,
      "bindTX":0,"bindRX":0,"bindTRX":1,"bindUnbound":0})"));
}

TEST_F(StatusReportTest, BindsWithoutSlotSkippedAndSessionsCountedByState) {
  EXPECT_EQ(statusReport(config_, &status_)["statusReport"], json::array());
  EXPECT_EQ(statusReport(config_, nullptr)["summary"]["targets"], 0);
  BindStatus tx;
  tx.hasSession = true;
  tx.bindState = 3;
  BindStatus unbound = tx;
  unbound.bindState = 0;
  status_.binds = {{smscId("smscA", 0, false), tx}, {smscId("smscA", 1, false), unbound}};
  const json summary = statusReport(config_, &status_)["summary"];
  EXPECT_EQ(summary["targetsets"], 1);
  EXPECT_EQ(summary["bindTX"], 1);
  EXPECT_EQ(summary["bindUnbound"], 1);
  EXPECT_EQ(summary["bindTRX"], 0);
}

} // namespace
} // namespace quorvex::test
