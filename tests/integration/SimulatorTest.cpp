// The SMSC simulator seen from an SMPP client: what only it can show (ids,
// receipt layouts and routing, binds, MO coding and the control channel).
// Its statuses, drops and data_sm are seen through the load generator.
#include <gtest/gtest.h>

#include <csignal>

#include "smpp/ReceiptText.h"
#include "smpp/SMPPConstants.h"
#include "support/SmppTestClient.h"
#include "support/ToolProcesses.h"

namespace quorvex::tools::test {
namespace {

using quorvex::test::SmppTestClient;
using quorvex::test::SubmitFields;
using smpp::command::kBindReceiver;
using smpp::command::kBindTransceiver;
using smpp::command::kBindTransmitter;

// A client bound to a fresh simulator.
struct Bound {
  explicit Bound(std::vector<std::string> args, uint32_t bindId = kBindTransceiver)
      : sim(std::move(args)), client(sim.port()) {
    EXPECT_EQ(client.bind(bindId, "esme", "pw"), 0u);
  }
  SimulatorProcess sim;
  SmppTestClient client;
};

SubmitFields toNumber(uint8_t registeredDelivery, const std::string& destination = "222") {
  SubmitFields fields;
  fields.source = "111";
  fields.destination = destination;
  fields.registeredDelivery = registeredDelivery;
  return fields;
}

// The message id of the response to a submit, or "" without a good one.
std::string submitForId(SmppTestClient& client, uint8_t registeredDelivery) {
  const auto response = client.submitAndWait(toNumber(registeredDelivery));
  return response && response->status == 0 ? SmppTestClient::cString(response->body) : "";
}

TEST(SimulatorIds, HexCountingFromTheFirstIdWhileTheReceiptMayQuoteDecimal) {
  Bound plain({});
  EXPECT_EQ(submitForId(plain.client, 0), "3b9aca00");
  EXPECT_EQ(submitForId(plain.client, 0), "3b9aca01");

  Bound decimal({"--id-form", "dec", "--first-id", "77431"});
  EXPECT_EQ(submitForId(decimal.client, 0), "77431");

  Bound mixed({"--receipt-id-form", "dec", "--first-id", "0x1a2b"});
  EXPECT_EQ(submitForId(mixed.client, 1), "1a2b");
  const auto receipt = mixed.client.readDeliver();
  ASSERT_TRUE(receipt.has_value());
  EXPECT_EQ(smpp::parseReceiptText(receipt->shortMessage).messageId, "6699");
}

TEST(SimulatorReceipts, TextOnlyWhenRequestedUnlessAlwaysWithTheAddressesSwapped) {
  Bound b({});
  submitForId(b.client, 0);
  const std::string id = submitForId(b.client, 1);
  const auto receipt = b.client.readDeliver();
  ASSERT_TRUE(receipt.has_value());
  EXPECT_EQ(receipt->esmClass, 0x04);
  EXPECT_EQ(receipt->source, "222");
  EXPECT_EQ(receipt->destination, "111");
  const smpp::ReceiptInfo info = smpp::parseReceiptText(receipt->shortMessage);
  EXPECT_TRUE(info.parsedFully);
  EXPECT_EQ(info.messageId, id);
  EXPECT_EQ(info.state, smpp::kStateDelivered);
  EXPECT_TRUE(receipt->tlvs.empty());
  EXPECT_EQ(b.sim.counts()["receipts"], "1");

  Bound always({"--receipts-always"});
  submitForId(always.client, 0);
  EXPECT_TRUE(always.client.readDeliver().has_value());
}

TEST(SimulatorReceipts, TlvFormCarriesIdStateAndNetworkError) {
  Bound b({"--receipts", "tlv", "--receipt-state", "5", "--receipt-error", "0x0102"});
  const std::string id = submitForId(b.client, 1);
  const auto receipt = b.client.readDeliver();
  ASSERT_TRUE(receipt.has_value());
  EXPECT_TRUE(receipt->shortMessage.empty());
  EXPECT_EQ(receipt->tlv(smpp::tag::kReceiptedMessageId), id + std::string(1, '\0'));
  EXPECT_EQ(receipt->tlv(smpp::tag::kMessageState), std::string(1, '\x05'));
  EXPECT_EQ(receipt->tlv(smpp::tag::kNetworkErrorCode), std::string("\x03\x01\x02", 3));
}

TEST(SimulatorReceipts, GoToAReceiverOfTheSameSystemId) {
  SimulatorProcess sim({"--receipt-on-other-bind"});
  SmppTestClient transmitter(sim.port());
  ASSERT_EQ(transmitter.bind(kBindTransmitter, "acct", "pw"), 0u);
  SmppTestClient stranger(sim.port());
  ASSERT_EQ(stranger.bind(kBindReceiver, "other", "pw"), 0u);
  const std::string id = submitForId(transmitter, 1);
  // No receiver of "acct" yet: the receipt waits for one.
  SmppTestClient receiver(sim.port());
  ASSERT_EQ(receiver.bind(kBindReceiver, "acct", "pw"), 0u);
  const auto receipt = receiver.readDeliver();
  ASSERT_TRUE(receipt.has_value());
  EXPECT_EQ(smpp::parseReceiptText(receipt->shortMessage).messageId, id);
  EXPECT_EQ(sim.counts()["receipts"], "1");
  EXPECT_FALSE(stranger.read(std::chrono::milliseconds(100)).has_value());
}

TEST(SimulatorMO, TextAndUcs2ReachAReceiver) {
  Bound b({}, kBindReceiver);
  b.sim.command("mo 4915550001 100 STOP all of it");
  auto mo = b.client.readDeliver();
  ASSERT_TRUE(mo.has_value());
  EXPECT_EQ(mo->source, "4915550001");
  EXPECT_EQ(mo->destination, "100");
  EXPECT_EQ(mo->esmClass, 0);
  EXPECT_EQ(mo->dataCoding, 0);
  EXPECT_EQ(mo->shortMessage, "STOP all of it");

  b.sim.command("mo-ucs2 4915550001 100 h\xc3\xa9 \xe2\x82\xac");
  mo = b.client.readDeliver();
  ASSERT_TRUE(mo.has_value());
  EXPECT_EQ(mo->dataCoding, 8);
  EXPECT_EQ(mo->shortMessage, std::string("\0h\0\xe9\0 \x20\xac", 8));
  EXPECT_TRUE(b.sim.process().waitForOutput("smsc-sim mo sent session="));
  EXPECT_EQ(b.sim.counts()["mo"], "2");
}

TEST(SimulatorMO, RefusedWithoutReceiverOrWithBadInput) {
  Bound b({}, kBindTransmitter);
  b.sim.command("mo 1 2 hello");
  EXPECT_TRUE(b.sim.process().waitForOutput("smsc-sim mo failed: no receiver bound"));
  b.sim.command("mo 1");
  EXPECT_TRUE(b.sim.process().waitForOutput("smsc-sim mo failed: usage mo SRC DST TEXT"));
  b.sim.command("frobnicate");
  EXPECT_TRUE(b.sim.process().waitForOutput("smsc-sim unknown command: frobnicate"));
}

TEST(SimulatorControl, LinkChecksAnsweredAndCountsOnQuitAndOnSignal) {
  SimulatorProcess quitting;
  {
    SmppTestClient client(quitting.port());
    ASSERT_EQ(client.bind(kBindTransceiver, "esme", "pw"), 0u);
    ASSERT_FALSE(submitForId(client, 1).empty());
    ASSERT_TRUE(client.enquireLink());
    EXPECT_TRUE(client.readCommand(smpp::command::kEnquireLinkResp).has_value());
    ASSERT_TRUE(client.unbind());
    EXPECT_TRUE(client.readCommand(smpp::command::kUnbindResp).has_value());
  }
  quitting.command("quit");
  EXPECT_EQ(quitting.process().waitExit(), 0);
  auto counts = lastKeyValues(quitting.process().output(), "smsc-sim counts");
  EXPECT_EQ(counts["submits"], "1");
  EXPECT_EQ(counts["receipts"], "1");
  EXPECT_EQ(counts["binds"], "1");
  EXPECT_EQ(counts["unbinds"], "1");
  EXPECT_NE(quitting.process().output().find("smsc-sim stopped"), std::string::npos);

  SimulatorProcess signalled;
  signalled.process().signal(SIGTERM);
  EXPECT_EQ(signalled.process().waitExit(), 0);
  EXPECT_NE(signalled.process().output().find("smsc-sim counts connections=0"), std::string::npos);
}

} // namespace
} // namespace quorvex::tools::test
