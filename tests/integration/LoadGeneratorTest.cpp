// The load generator against the simulator: the result line, receipts in
// every form and order, error statuses, drops, refused binds, MO, exit codes.
#include <gtest/gtest.h>

#include "support/ToolProcesses.h"

namespace quorvex::tools::test {
namespace {

std::vector<std::string> against(const SimulatorProcess& sim, std::vector<std::string> args) {
  args.insert(args.begin(), {"--port", std::to_string(sim.port())});
  return args;
}

TEST(LoadGeneratorTest, ReceiptsMatchedInEveryFormAndOrder) {
  const std::vector<std::vector<std::string>> simulators = {
      {},
      {"--receipts", "tlv"},
      {"--receipts", "both", "--id-form", "dec"},
      {"--receipt-before-response"},
      {"--receipt-id-form", "dec"},
      {"--receipt-before-response", "--receipt-id-form", "dec"},
      {"--receipt-delay-ms", "50"}};
  for (const auto& args : simulators) {
    SCOPED_TRACE(::testing::PrintToString(args));
    SimulatorProcess sim(args);
    LoadRun run = runLoadGenerator(
        against(sim, {"--sessions", "2", "--window", "5", "--count", "60", "--receipts"}));
    EXPECT_EQ(run.exitStatus, 0) << run.output << run.errors;
    // Each key once, with its value where it is known.
    for (const std::string kv :
         {"sessions=2", "bound=2", "sent=60", "responses=60", "missing=0", "status_0x00000000=60",
          "receipts=60", "receipts_missing=0", "receipts_unmatched=0", "elapsed_s", "rate",
          "resp_p50_us", "resp_p90_us", "resp_p99_us", "resp_p999_us", "resp_max_us", "rcpt_p50_us",
          "rcpt_p99_us"}) {
      const std::string key = kv.substr(0, kv.find('='));
      EXPECT_TRUE(run.result.count(key) == 1 && (key == kv || key + "=" + run.result[key] == kv))
          << kv << " in " << run.output;
    }
    auto counts = sim.counts();
    EXPECT_EQ(std::tuple(counts["submits"], counts["receipts"], counts["deliver_resps"],
                         counts["unbinds"]),
              std::tuple("60", "60", "60", "2"));
  }
}

TEST(LoadGeneratorTest, RateCapsADurationRunOfDataSMAndMOIsCountedAndAnswered) {
  SimulatorProcess sim;
  quorvex::test::TempDir dir;
  quorvex::test::ChildProcess loadgen(
      QUORVEX_LOADGEN, against(sim, {"--data-sm", "--duration", "2", "--rate", "25"}), dir.path(),
      "loadgen");
  ASSERT_TRUE(sim.process().waitForOutput("smsc-sim bind system_id=loadgen type=TRX"));
  sim.command("mo-ucs2 123 456 hi");
  ASSERT_TRUE(sim.process().waitForOutput("smsc-sim mo sent"));
  ASSERT_EQ(loadgen.waitExit(), 0) << loadgen.output() << loadgen.errors();
  auto result = lastKeyValues(loadgen.output(), "loadgen result");
  // At most one submit per 1/25 s plus the first, whatever the machine's speed.
  const uint64_t sent = std::stoull(result["sent"]);
  EXPECT_TRUE(sent > 0 && sent <= 51) << sent;
  EXPECT_EQ(result["status_0x00000000"], result["sent"]);
  EXPECT_EQ(result.count("receipts"), 0u);
  EXPECT_EQ(result["mo"], "1");
  auto counts = sim.counts();
  EXPECT_EQ(counts["data_sm"], result["sent"]);
  EXPECT_EQ(counts["deliver_resps"], "1");
}

TEST(LoadGeneratorTest, MissingReceiptsExitFiveWhileRefusedSubmitsAwaitNone) {
  SimulatorProcess sim({"--receipts", "none", "--fail", "999=0x58"});
  LoadRun run = runLoadGenerator(against(sim, {"--count", "10", "--receipts", "--drain", "0.3"}));
  EXPECT_EQ(run.exitStatus, 5);
  EXPECT_EQ(run.result["responses"], "10");
  EXPECT_EQ(run.result["receipts_missing"], "10");

  run = runLoadGenerator(
      against(sim, {"--destination", "999", "--count", "20", "--receipts", "--drain", "2"}));
  EXPECT_EQ(run.exitStatus, 0) << run.output << run.errors;
  EXPECT_EQ(run.result["status_0x00000058"], "20");
  EXPECT_EQ(run.result.count("status_0x00000000"), 0u);
  EXPECT_EQ(run.result["receipts"], "0");
  EXPECT_EQ(run.result["receipts_missing"], "0");
}

TEST(LoadGeneratorTest, DroppedConnectionOfATransmitterLeavesResponsesMissing) {
  SimulatorProcess sim({"--drop-after", "5"});
  LoadRun run = runLoadGenerator(against(sim, {"--bind", "tx", "--window", "10", "--count", "20"}));
  EXPECT_EQ(run.exitStatus, 4);
  EXPECT_EQ(run.result["responses"], "5");
  EXPECT_EQ(run.result["missing"], std::to_string(std::stoull(run.result["sent"]) - 5));
  EXPECT_NE(run.errors.find("closed with"), std::string::npos);
  EXPECT_TRUE(sim.process().waitForOutput("smsc-sim bind system_id=loadgen type=TX"));
}

TEST(LoadGeneratorTest, ExitStatusesOfHelpBadArgumentsNoServerAndRefusedBinds) {
  LoadRun help = runLoadGenerator({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.output.find("Usage: quorvex-loadgen"), std::string::npos);
  LoadRun bad = runLoadGenerator({"--window", "0"});
  EXPECT_EQ(bad.exitStatus, 2);
  EXPECT_NE(bad.errors.find("quorvex-loadgen: option --window: '0' is not a number from 1"),
            std::string::npos);
  const std::string port = std::to_string(quorvex::test::freePort());
  LoadRun unserved = runLoadGenerator({"--port", port});
  EXPECT_EQ(unserved.exitStatus, 1);
  EXPECT_NE(unserved.errors.find("connect 127.0.0.1:" + port), std::string::npos);

  SimulatorProcess refusing({"--refuse-binds"});
  LoadRun run = runLoadGenerator(against(refusing, {"--sessions", "2"}));
  EXPECT_EQ(run.exitStatus, 3);
  EXPECT_EQ(run.result["bound"], "0");
  EXPECT_NE(run.errors.find("bind refused with status 0x0000000d"), std::string::npos);

  SimulatorProcess guarded({"--password", "secret"});
  EXPECT_EQ(runLoadGenerator(against(guarded, {"--password", "guess"})).exitStatus, 3);
  run = runLoadGenerator(against(guarded, {"--password", "secret", "--count", "5"}));
  EXPECT_EQ(run.exitStatus, 0);
}

} // namespace
} // namespace quorvex::tools::test
