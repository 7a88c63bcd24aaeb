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

using quorvex::test::DeliverSM;
using quorvex::test::Pdu;
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

// The next deliver_sm, acknowledged and decoded.
std::optional<DeliverSM> nextDeliver(SmppTestClient& client) {
  const auto pdu = client.readCommand(smpp::command::kDeliverSM);
  if (!pdu) {
    return std::nullopt;
  }
  client.deliverSMResp(pdu->sequence);
  return SmppTestClient::parseDeliverSM(pdu->body);
}

std::string tlvValue(const DeliverSM& deliver, uint16_t tag) {
  for (const auto& [t, value] : deliver.tlvs) {
    if (t == tag) {
      return std::string(value.begin(), value.end());
    }
  }
  return "<absent>";
}

TEST(SimulatorIds, HexCountingFromTheFirstIdWhileTheReceiptMayQuoteDecimal) {
  Bound plain({});
  EXPECT_EQ(submitForId(plain.client, 0), "3b9aca00");
  EXPECT_EQ(submitForId(plain.client, 0), "3b9aca01");

  Bound decimal({"--id-form", "dec", "--first-id", "77431"});
  EXPECT_EQ(submitForId(decimal.client, 0), "77431");

  Bound mixed({"--receipt-id-form", "dec", "--first-id", "0x1a2b"});
  EXPECT_EQ(submitForId(mixed.client, 1), "1a2b");
  const auto receipt = nextDeliver(mixed.client);
  ASSERT_TRUE(receipt.has_value());
  EXPECT_EQ(smpp::parseReceiptText(receipt->shortMessage).messageId, "6699");
}

TEST(SimulatorReceipts, TextSwapsTheAddressesAndParses) {
  Bound b({});
  const std::string id = submitForId(b.client, 1);
  const auto receipt = nextDeliver(b.client);
  ASSERT_TRUE(receipt.has_value());
  EXPECT_EQ(receipt->esmClass, 0x04);
  EXPECT_EQ(receipt->source, "222");
  EXPECT_EQ(receipt->destination, "111");
  const smpp::ReceiptInfo info = smpp::parseReceiptText(receipt->shortMessage);
  EXPECT_TRUE(info.parsedFully);
  EXPECT_EQ(info.messageId, id);
  EXPECT_EQ(info.state, smpp::kStateDelivered);
  EXPECT_TRUE(receipt->tlvs.empty());
}

TEST(SimulatorReceipts, TlvFormCarriesIdStateAndNetworkError) {
  Bound b({"--receipts", "tlv", "--receipt-state", "5", "--receipt-error", "0x0102"});
  const std::string id = submitForId(b.client, 1);
  const auto receipt = nextDeliver(b.client);
  ASSERT_TRUE(receipt.has_value());
  EXPECT_TRUE(receipt->shortMessage.empty());
  EXPECT_EQ(tlvValue(*receipt, smpp::tag::kReceiptedMessageId), id + std::string(1, '\0'));
  EXPECT_EQ(tlvValue(*receipt, smpp::tag::kMessageState), std::string(1, '\x05'));
  EXPECT_EQ(tlvValue(*receipt, smpp::tag::kNetworkErrorCode), std::string("\x03\x01\x02", 3));
}

TEST(SimulatorReceipts, OnlyWhenRequestedUnlessAlways) {
  Bound asked({});
  submitForId(asked.client, 0);
  const std::string id = submitForId(asked.client, 1);
  const auto receipt = nextDeliver(asked.client);
  ASSERT_TRUE(receipt.has_value());
  EXPECT_EQ(smpp::parseReceiptText(receipt->shortMessage).messageId, id);
  EXPECT_EQ(asked.sim.counts()["receipts"], "1");

  Bound always({"--receipts-always"});
  submitForId(always.client, 0);
  EXPECT_TRUE(nextDeliver(always.client).has_value());
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
  const auto receipt = nextDeliver(receiver);
  ASSERT_TRUE(receipt.has_value());
  EXPECT_EQ(smpp::parseReceiptText(receipt->shortMessage).messageId, id);
  EXPECT_EQ(sim.counts()["receipts"], "1");
  EXPECT_FALSE(stranger.read(std::chrono::milliseconds(100)).has_value());
}

TEST(SimulatorBinds, EnquireLinkAndUnbindAnswered) {
  Bound b({});
  ASSERT_TRUE(b.client.enquireLink());
  const auto link = b.client.read();
  ASSERT_TRUE(link.has_value());
  EXPECT_EQ(link->commandId, smpp::command::kEnquireLinkResp);
  ASSERT_TRUE(b.client.unbind());
  const auto unbind = b.client.read();
  ASSERT_TRUE(unbind.has_value());
  EXPECT_EQ(unbind->commandId, smpp::command::kUnbindResp);
  EXPECT_EQ(b.sim.counts()["unbinds"], "1");
}

TEST(SimulatorMO, TextAndUcs2ReachAReceiver) {
  Bound b({}, kBindReceiver);
  b.sim.command("mo 4915550001 100 STOP all of it");
  auto mo = nextDeliver(b.client);
  ASSERT_TRUE(mo.has_value());
  EXPECT_EQ(mo->source, "4915550001");
  EXPECT_EQ(mo->destination, "100");
  EXPECT_EQ(mo->esmClass, 0);
  EXPECT_EQ(mo->dataCoding, 0);
  EXPECT_EQ(mo->shortMessage, "STOP all of it");

  b.sim.command("mo-ucs2 4915550001 100 h\xc3\xa9 \xe2\x82\xac");
  mo = nextDeliver(b.client);
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

TEST(SimulatorControl, CountsOnQuitAndOnSignal) {
  SimulatorProcess quitting;
  {
    SmppTestClient client(quitting.port());
    ASSERT_EQ(client.bind(kBindTransceiver, "esme", "pw"), 0u);
    ASSERT_FALSE(submitForId(client, 1).empty());
  }
  quitting.command("quit");
  EXPECT_EQ(quitting.process().waitExit(), 0);
  auto counts = lastKeyValues(quitting.process().output(), "smsc-sim counts");
  EXPECT_EQ(counts["submits"], "1");
  EXPECT_EQ(counts["receipts"], "1");
  EXPECT_EQ(counts["binds"], "1");
  EXPECT_NE(quitting.process().output().find("smsc-sim stopped"), std::string::npos);

  SimulatorProcess signalled;
  signalled.process().signal(SIGTERM);
  EXPECT_EQ(signalled.process().waitExit(), 0);
  EXPECT_NE(signalled.process().output().find("smsc-sim counts connections=0"), std::string::npos);
}

} // namespace
} // namespace quorvex::tools::test
