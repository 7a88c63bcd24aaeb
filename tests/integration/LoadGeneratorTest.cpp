// The load generator against the simulator: the result line, receipts in
// every form and order, error statuses, drops, refused binds, exit codes.
#include <gtest/gtest.h>

#include "support/ToolProcesses.h"

namespace quorvex::tools::test {
namespace {

std::vector<std::string> against(const SimulatorProcess& sim, std::vector<std::string> args) {
  args.insert(args.begin(), {"--port", std::to_string(sim.port())});
  return args;
}

TEST(LoadGeneratorRuns, TwoSessionsWithReceipts) {
  SimulatorProcess sim;
  LoadRun run = runLoadGenerator(
      against(sim, {"--sessions", "2", "--window", "10", "--count", "200", "--receipts"}));
  ASSERT_EQ(run.exitStatus, 0) << run.output << run.errors;
  EXPECT_EQ(run.result["sessions"], "2");
  EXPECT_EQ(run.result["bound"], "2");
  EXPECT_EQ(run.result["sent"], "200");
  EXPECT_EQ(run.result["responses"], "200");
  EXPECT_EQ(run.result["missing"], "0");
  EXPECT_EQ(run.result["status_0x00000000"], "200");
  EXPECT_EQ(run.result["receipts"], "200");
  EXPECT_EQ(run.result["receipts_missing"], "0");
  EXPECT_EQ(run.result["receipts_unmatched"], "0");
  for (const char* key : {"elapsed_s", "rate", "resp_p50_us", "resp_p90_us", "resp_p99_us",
                          "resp_p999_us", "resp_max_us", "rcpt_p50_us", "rcpt_p99_us"}) {
    EXPECT_EQ(run.result.count(key), 1u) << key;
  }
  EXPECT_LE(std::stoull(run.result["resp_p50_us"]), std::stoull(run.result["resp_max_us"]));
  auto counts = sim.counts();
  EXPECT_EQ(counts["submits"], "200");
  EXPECT_EQ(counts["receipts"], "200");
  EXPECT_EQ(counts["deliver_resps"], "200");
  EXPECT_EQ(counts["unbinds"], "2");
}

TEST(LoadGeneratorRuns, RateCapsADurationRunOfDataSMOnTransmitters) {
  SimulatorProcess sim;
  LoadRun run = runLoadGenerator(
      against(sim, {"--data-sm", "--bind", "tx", "--duration", "1", "--rate", "50"}));
  ASSERT_EQ(run.exitStatus, 0) << run.output << run.errors;
  // At most one submit per 1/50 s plus the first, whatever the machine's speed.
  const uint64_t sent = std::stoull(run.result["sent"]);
  EXPECT_GT(sent, 0u);
  EXPECT_LE(sent, 51u);
  EXPECT_EQ(run.result["status_0x00000000"], run.result["sent"]);
  EXPECT_EQ(run.result.count("receipts"), 0u);
  EXPECT_EQ(sim.counts()["data_sm"], run.result["sent"]);
  EXPECT_TRUE(sim.process().waitForOutput("smsc-sim bind system_id=loadgen type=TX"));
}

TEST(LoadGeneratorReceipts, MatchedInEveryFormAndOrder) {
  const std::vector<std::vector<std::string>> simulators = {
      {"--receipts", "tlv"},
      {"--receipts", "both", "--id-form", "dec"},
      {"--receipt-before-response"},
      {"--receipt-id-form", "dec"},
      {"--receipt-before-response", "--receipt-id-form", "dec"},
      {"--receipt-delay-ms", "50"},
  };
  for (const auto& args : simulators) {
    SimulatorProcess sim(args);
    LoadRun run = runLoadGenerator(
        against(sim, {"--sessions", "2", "--window", "5", "--count", "60", "--receipts"}));
    const std::string label = args[0] + (args.size() > 1 ? " " + args[1] : "");
    EXPECT_EQ(run.exitStatus, 0) << label << "\n" << run.output << run.errors;
    EXPECT_EQ(run.result["receipts"], "60") << label;
    EXPECT_EQ(run.result["receipts_missing"], "0") << label;
    EXPECT_EQ(run.result["receipts_unmatched"], "0") << label;
  }
}

TEST(LoadGeneratorReceipts, MissingReceiptsExitFive) {
  SimulatorProcess sim({"--receipts", "none"});
  LoadRun run = runLoadGenerator(against(sim, {"--count", "10", "--receipts", "--drain", "0.3"}));
  EXPECT_EQ(run.exitStatus, 5);
  EXPECT_EQ(run.result["responses"], "10");
  EXPECT_EQ(run.result["receipts_missing"], "10");
}

TEST(LoadGeneratorStatuses, ErrorsCountedByStatusWithoutReceipts) {
  SimulatorProcess sim({"--fail", "999=0x58"});
  LoadRun run = runLoadGenerator(
      against(sim, {"--destination", "999", "--count", "20", "--receipts", "--drain", "2"}));
  EXPECT_EQ(run.exitStatus, 0) << run.output << run.errors;
  EXPECT_EQ(run.result["status_0x00000058"], "20");
  EXPECT_EQ(run.result.count("status_0x00000000"), 0u);
  EXPECT_EQ(run.result["receipts"], "0");
  EXPECT_EQ(run.result["receipts_missing"], "0");
}

TEST(LoadGeneratorFailures, DroppedConnectionLeavesResponsesMissing) {
  SimulatorProcess sim({"--drop-after", "5"});
  LoadRun run = runLoadGenerator(against(sim, {"--window", "10", "--count", "20"}));
  EXPECT_EQ(run.exitStatus, 4);
  EXPECT_EQ(run.result["responses"], "5");
  EXPECT_EQ(run.result["missing"], std::to_string(std::stoull(run.result["sent"]) - 5));
  EXPECT_NE(run.errors.find("closed with"), std::string::npos);
}

TEST(LoadGeneratorFailures, RefusedBindExitsThree) {
  SimulatorProcess refusing({"--refuse-binds"});
  LoadRun run = runLoadGenerator(against(refusing, {"--sessions", "2"}));
  EXPECT_EQ(run.exitStatus, 3);
  EXPECT_EQ(run.result["bound"], "0");
  EXPECT_NE(run.errors.find("bind refused with status 0x0000000d"), std::string::npos);

  SimulatorProcess guarded({"--password", "secret"});
  EXPECT_EQ(runLoadGenerator(against(guarded, {"--password", "guess"})).exitStatus, 3);
  EXPECT_EQ(runLoadGenerator(against(guarded, {"--password", "secret", "--count", "5"})).exitStatus,
            0);
}

TEST(LoadGeneratorArguments, HelpBadArgumentsAndNoServer) {
  LoadRun help = runLoadGenerator({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.output.find("Usage: quorvex-loadgen"), std::string::npos);
  LoadRun bad = runLoadGenerator({"--window", "0"});
  EXPECT_EQ(bad.exitStatus, 2);
  EXPECT_NE(bad.errors.find("option --window: '0' is not a number from 1 to 100000"),
            std::string::npos);
  const uint16_t port = quorvex::test::freePort();
  LoadRun unserved = runLoadGenerator({"--port", std::to_string(port)});
  EXPECT_EQ(unserved.exitStatus, 1);
  EXPECT_NE(unserved.errors.find("connect 127.0.0.1:" + std::to_string(port)), std::string::npos);
}

TEST(LoadGeneratorMO, CountedAndAnswered) {
  SimulatorProcess sim;
  quorvex::test::TempDir dir;
  quorvex::test::ChildProcess loadgen(
      QUORVEX_LOADGEN, against(sim, {"--duration", "3", "--rate", "10"}), dir.path(), "loadgen");
  ASSERT_TRUE(sim.process().waitForOutput("smsc-sim bind system_id=loadgen"));
  sim.command("mo-ucs2 123 456 hi");
  ASSERT_TRUE(sim.process().waitForOutput("smsc-sim mo sent"));
  ASSERT_EQ(loadgen.waitExit(), 0);
  EXPECT_EQ(lastKeyValues(loadgen.output(), "loadgen result")["mo"], "1");
  EXPECT_EQ(sim.counts()["deliver_resps"], "1");
}

} // namespace
} // namespace quorvex::tools::test
