// The road of one message through the real processes: an ESME binds to the
// gateway, the gateway binds to the SMSC simulator, and submits, responses,
// receipts, MO messages and call-detail records travel end to end.
#include <signal.h>

#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/SmppTestClient.h"
#include "support/TestProcess.h"
#include "support/ToolProcesses.h"

namespace quorvex {
namespace {

using nlohmann::json;
using test::GatewayProcess;
using test::SmppTestClient;
using test::TempDir;
using tools::test::SimulatorProcess;

constexpr uint32_t kBindTransceiver = 0x00000009;
constexpr uint32_t kBindReceiver = 0x00000001;
constexpr uint32_t kSubmitSMResp = 0x80000004;
constexpr uint32_t kDeliverSM = 0x00000005;

// A gateway whose target set "ts" holds one bind to the simulator, and whose
// ESME "acme" owns MO number 12345.
class TrafficTest : public ::testing::Test {
protected:
  void start(std::vector<std::string> simulatorArgs) {
    simulator_ = std::make_unique<SimulatorProcess>(std::move(simulatorArgs));
    smppPort_ = test::freePort();
    const json target = {{"name", "smsc1"},  {"host", "127.0.0.1"}, {"port", simulator_->port()},
                         {"bindqty", 1},     {"systemid", "gw"},    {"password", ""},
                         {"systemtype", ""}, {"weight", 1},         {"admindown", false}};
    const json doc = {
        {"base", {{"smpp.port", smppPort_}, {"http.port", test::freePort()}}},
        {"cdr", {{"batch_flush_interval", 1}}},
        {"targetsets",
         {{{"id", "ts"}, {"name", "Test"}, {"submits_enabled", true}, {"targets", {target}}}}},
        {"esme",
         {{{"systemid", "acme"},
           {"sharedtargetsetid", "ts"},
           {"password", "pw"},
           {"inboundmo", {"12345"}}}}},
    };
    dir_.write("quorvex.conf", doc.dump(2));
    gateway_ = std::make_unique<GatewayProcess>(dir_.path());
    ASSERT_TRUE(gateway_->waitForOutput("Listening for SMPP on port")) << gateway_->output();
    // The upstream bind is usable once the gateway has read the bind response,
    // which comes after the simulator reports the bind.
    ASSERT_TRUE(simulator_->process().waitForOutput("smsc-sim bind system_id=gw"))
        << gateway_->output();
    ASSERT_TRUE(gateway_->waitForOutput("Bind resp smsc1")) << gateway_->output();
  }

  void stopGateway() {
    gateway_->signal(SIGTERM);
    EXPECT_EQ(gateway_->waitExit(), 0) << gateway_->errors();
  }

  TempDir dir_;
  std::unique_ptr<SimulatorProcess> simulator_;
  std::unique_ptr<GatewayProcess> gateway_;
  uint16_t smppPort_ = 0;
};

TEST_F(TrafficTest, SubmitResponseReceiptAndRecord) {
  start({"--receipts", "text", "--id-form", "hex"});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);

  test::SubmitFields fields;
  fields.registeredDelivery = 1;
  const auto response = esme.submitAndWait(fields);
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->commandId, kSubmitSMResp);
  EXPECT_EQ(response->status, 0u);
  // The SMSC's own message id comes back, with its NUL.
  const std::string messageId(response->body.begin(), response->body.end() - 1);
  EXPECT_EQ(messageId, "3b9aca00");

  const auto receipt = esme.readCommand(kDeliverSM);
  ASSERT_TRUE(receipt.has_value()) << gateway_->output();
  const auto parsed = SmppTestClient::parseDeliverSM(receipt->body);
  ASSERT_TRUE(parsed.has_value());
  const test::DeliverSM& deliver = *parsed;
  EXPECT_EQ(deliver.esmClass & 0x04, 0x04);
  EXPECT_NE(deliver.shortMessage.find("id:" + messageId), std::string::npos)
      << deliver.shortMessage;
  EXPECT_NE(deliver.shortMessage.find("stat:DELIVRD"), std::string::npos);
  EXPECT_TRUE(esme.deliverSMResp(receipt->sequence));

  stopGateway();
  // Shutdown writes every record: the one of this message carries both sides.
  const std::string cdrs = dir_.read("cdrs.csv");
  EXPECT_NE(cdrs.find("acme"), std::string::npos) << cdrs;
  EXPECT_NE(cdrs.find(messageId), std::string::npos) << cdrs;
}

TEST_F(TrafficTest, SmscErrorStatusReachesTheEsme) {
  start({"--fail", "447700900999=0x0000000B"});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  test::SubmitFields fields;
  fields.destination = "447700900999";
  const auto response = esme.submitAndWait(fields);
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->status, 0x0000000Bu);
  EXPECT_TRUE(response->body.empty());
  stopGateway();
}

TEST_F(TrafficTest, MobileOriginatedMessageReachesTheNumberOwner) {
  start({});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindReceiver, "acme", "pw"), 0u);
  simulator_->command("mo 447700900555 12345 hello from a phone");
  const auto mo = esme.readCommand(kDeliverSM, std::chrono::seconds(10));
  ASSERT_TRUE(mo.has_value()) << gateway_->output();
  const auto parsed = SmppTestClient::parseDeliverSM(mo->body);
  ASSERT_TRUE(parsed.has_value());
  const test::DeliverSM& deliver = *parsed;
  EXPECT_EQ(deliver.source, "447700900555");
  EXPECT_EQ(deliver.destination, "12345");
  EXPECT_EQ(deliver.shortMessage, "hello from a phone");
  EXPECT_TRUE(esme.deliverSMResp(mo->sequence));
  stopGateway();
}

} // namespace
} // namespace quorvex
