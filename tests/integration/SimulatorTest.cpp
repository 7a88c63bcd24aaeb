// The SMSC simulator seen from an SMPP client: what only it can show (ids,
// receipt layouts and routing, MO coding and the control channel). Its
// statuses, drops, delays, waiting receipts and TLS are seen through the
// gateway's process tests, its data_sm through the load generator.
#include <gtest/gtest.h>

#include <csignal>

#include "smpp/ReceiptText.h"
#include "smpp/SMPPConstants.h"
#include "support/SmppTestClient.h"
#include "support/ToolProcesses.h"

namespace quorvex::tools::test {
namespace {

using quorvex::test::SmppTestClient;
using smpp::command::kBindReceiver;
using smpp::command::kBindTransceiver;
using smpp::command::kBindTransmitter;

// A client bound to a fresh simulator.
struct Bound {
  explicit Bound(std::vector<std::string> args) : sim(std::move(args)), client(sim.port()) {
    EXPECT_EQ(client.bind(kBindTransceiver, "esme", "pw"), 0u);
  }
  SimulatorProcess sim;
  SmppTestClient client;
};

// The message id of the response to a submit from 111 to 222, or "" without a good one.
std::string submitForId(SmppTestClient& client, uint8_t registeredDelivery) {
  return SmppTestClient::acceptedId(client.submitAndWait({"111", "222", registeredDelivery}));
}

TEST(SimulatorTest, TextReceiptOnlyWhenRequestedThenLinkChecksUnbindAndCountsOnQuit) {
  Bound b({});
  EXPECT_EQ(submitForId(b.client, 0), "3b9aca00"); // hex, counting from the first id
  EXPECT_EQ(submitForId(b.client, 1), "3b9aca01");
  const auto receipt = b.client.readDeliver();
  ASSERT_TRUE(receipt.has_value());
  // The addresses swapped.
  EXPECT_EQ(std::tuple(receipt->esmClass, receipt->source, receipt->destination),
            std::tuple(0x04, "222", "111"));
  const smpp::ReceiptInfo info = smpp::parseReceiptText(receipt->shortMessage);
  EXPECT_EQ(std::tuple(info.parsedFully, info.messageId, info.state),
            std::tuple(true, "3b9aca01", smpp::kStateDelivered));
  EXPECT_TRUE(receipt->tlvs.empty());

  for (const uint32_t command : {smpp::command::kEnquireLink, smpp::command::kUnbind}) {
    EXPECT_TRUE(b.client.request(command, {})) << command;
  }
  b.sim.command("quit");
  EXPECT_EQ(b.sim.process().waitExit(), 0);
  auto counts = lastKeyValues(b.sim.process().output(), "smsc-sim counts");
  EXPECT_EQ(std::tuple(counts["submits"], counts["receipts"], counts["binds"], counts["unbinds"]),
            std::tuple("2", "1", "1", "1"));
  EXPECT_NE(b.sim.process().output().find("smsc-sim stopped"), std::string::npos);
}

TEST(SimulatorTest, TlvReceiptAlwaysSentGoesToAReceiverOfTheSameSystemIdQuotingItsOwnIdForm) {
  SimulatorProcess sim({"--receipt-on-other-bind", "--receipts-always", "--receipts", "tlv",
                        "--receipt-state", "5", "--receipt-error", "0x0102", "--receipt-id-form",
                        "dec", "--first-id", "0x1a2b"});
  SmppTestClient transmitter(sim.port());
  ASSERT_EQ(transmitter.bind(kBindTransmitter, "acct", "pw"), 0u);
  SmppTestClient stranger(sim.port());
  ASSERT_EQ(stranger.bind(kBindReceiver, "other", "pw"), 0u);
  EXPECT_EQ(submitForId(transmitter, 0), "1a2b");
  // No receiver of "acct" yet: the receipt waits for one.
  SmppTestClient receiver(sim.port());
  ASSERT_EQ(receiver.bind(kBindReceiver, "acct", "pw"), 0u);
  const auto receipt = receiver.readDeliver();
  ASSERT_TRUE(receipt.has_value());
  EXPECT_TRUE(receipt->shortMessage.empty());
  EXPECT_EQ(receipt->tlv(smpp::tag::kReceiptedMessageId), std::string("6699", 5));
  EXPECT_EQ(receipt->tlv(smpp::tag::kMessageState), std::string(1, '\x05'));
  EXPECT_EQ(receipt->tlv(smpp::tag::kNetworkErrorCode), std::string("\x03\x01\x02", 3));
  EXPECT_FALSE(stranger.read(std::chrono::milliseconds(100)).has_value());
}

TEST(SimulatorTest, DecimalIdsMoTextAndUcs2BadCommandsNamedAndASignalStops) {
  Bound b({"--id-form", "dec", "--first-id", "77431"});
  EXPECT_EQ(submitForId(b.client, 0), "77431");
  b.sim.command("mo 4915550001 100 STOP all of it");
  auto mo = b.client.readDeliver();
  ASSERT_TRUE(mo.has_value());
  EXPECT_EQ(std::tuple(mo->source, mo->destination, mo->esmClass, mo->dataCoding),
            std::tuple("4915550001", "100", 0, 0));
  EXPECT_EQ(mo->shortMessage, "STOP all of it");
  b.sim.command("mo-ucs2 4915550001 100 h\xc3\xa9 \xe2\x82\xac");
  mo = b.client.readDeliver();
  ASSERT_TRUE(mo.has_value());
  EXPECT_EQ(mo->dataCoding, 8);
  EXPECT_EQ(mo->shortMessage, std::string("\0h\0\xe9\0 \x20\xac", 8));

  b.sim.command("mo 1");
  EXPECT_TRUE(b.sim.process().waitForOutput("smsc-sim mo failed: usage mo SRC DST TEXT"));
  b.sim.command("frobnicate");
  EXPECT_TRUE(b.sim.process().waitForOutput("smsc-sim unknown command: frobnicate"));
  b.sim.process().signal(SIGTERM);
  EXPECT_EQ(b.sim.process().waitExit(), 0);
  EXPECT_EQ(lastKeyValues(b.sim.process().output(), "smsc-sim counts")["mo"], "2");
}

} // namespace
} // namespace quorvex::tools::test
