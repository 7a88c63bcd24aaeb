// The SMSC simulator seen from a raw SMPP client: ids, receipts, MO,
// error statuses, drops, binds and the control channel.
#include <gtest/gtest.h>

#include <csignal>

#include "smpp/ReceiptText.h"
#include "smpp/SMPPConstants.h"
#include "tools/RawSmppClient.h"
#include "support/ToolProcesses.h"

namespace quorvex::tools::test {
namespace {

using smpp::command::kBindReceiver;
using smpp::command::kBindTransceiver;
using smpp::command::kBindTransmitter;

// A client bound as transceiver to a fresh simulator.
struct Bound {
  explicit Bound(std::vector<std::string> args, uint32_t bindId = kBindTransceiver)
      : sim(std::move(args)), client(sim.port()) {
    EXPECT_EQ(client.bind(bindId), 0);
  }
  SimulatorProcess sim;
  RawSmppClient client;
};

std::string receiptId(const DeliverFields& receipt) {
  const std::string text(receipt.shortMessage.begin(), receipt.shortMessage.end());
  return smpp::parseReceiptText(text).messageId;
}

const smpp::TLV* findTLV(const DeliverFields& fields, uint32_t tag) {
  for (const auto& tlv : fields.tlvs) {
    if (tlv.tag == tag) {
      return &tlv;
    }
  }
  return nullptr;
}

TEST(SimulatorIds, HexByDefaultCountingFromTheFirstId) {
  Bound b({});
  RawPdu response;
  b.client.submit(2, "222", 0);
  ASSERT_TRUE(b.client.receiveResponse(2, response));
  EXPECT_EQ(response.header.command_id, smpp::command::kSubmitSMResp);
  EXPECT_EQ(response.header.command_status, 0u);
  EXPECT_EQ(responseMessageId(response), "3b9aca00");
  b.client.submit(3, "222", 0);
  ASSERT_TRUE(b.client.receiveResponse(3, response));
  EXPECT_EQ(responseMessageId(response), "3b9aca01");
}

TEST(SimulatorIds, DecimalForm) {
  Bound b({"--id-form", "dec", "--first-id", "77431"});
  RawPdu response;
  b.client.submit(2, "222", 0);
  ASSERT_TRUE(b.client.receiveResponse(2, response));
  EXPECT_EQ(responseMessageId(response), "77431");
}

TEST(SimulatorIds, ReceiptQuotesTheIdInDecimalWhileTheResponseIsHex) {
  Bound b({"--receipt-id-form", "dec", "--first-id", "0x1a2b"});
  RawPdu response;
  b.client.submit(2, "222", 1);
  ASSERT_TRUE(b.client.receiveResponse(2, response));
  EXPECT_EQ(responseMessageId(response), "1a2b");
  DeliverFields receipt;
  ASSERT_TRUE(b.client.receiveDeliver(receipt));
  EXPECT_EQ(receiptId(receipt), "6699");
}

TEST(SimulatorIds, DataSMIsAnsweredWithDataSMResp) {
  Bound b({});
  std::vector<uint8_t> body = {0, 1, 1, '1', 0, 1, 1, '2', 0, 0, 0, 0};
  body.insert(body.end(), {0x04, 0x24, 0x00, 0x02, 'h', 'i'}); // message_payload
  b.client.send(smpp::command::kDataSM, 5, body);
  RawPdu response;
  ASSERT_TRUE(b.client.receiveResponse(5, response));
  EXPECT_EQ(response.header.command_id, smpp::command::kDataSMResp);
  EXPECT_EQ(responseMessageId(response), "3b9aca00");
  EXPECT_EQ(b.sim.counts()["data_sm"], "1");
}

TEST(SimulatorReceipts, TextParsesAndSwapsTheAddresses) {
  Bound b({});
  RawPdu response;
  b.client.submit(2, "222", 1);
  ASSERT_TRUE(b.client.receiveResponse(2, response));
  DeliverFields receipt;
  ASSERT_TRUE(b.client.receiveDeliver(receipt));
  EXPECT_EQ(receipt.esmClass, 0x04);
  EXPECT_EQ(receipt.source, "222");
  EXPECT_EQ(receipt.destination, "111");
  ASSERT_FALSE(receipt.shortMessage.empty());
  EXPECT_EQ(receipt.shortMessage.back(), 0); // the text's NUL is part of it
  const std::string text(receipt.shortMessage.begin(), receipt.shortMessage.end());
  const smpp::ReceiptInfo info = smpp::parseReceiptText(text);
  EXPECT_TRUE(info.parsedFully);
  EXPECT_EQ(info.messageId, responseMessageId(response));
  EXPECT_EQ(info.state, smpp::kStateDelivered);
  EXPECT_EQ(info.error, 0);
  EXPECT_TRUE(receipt.tlvs.empty());
}

TEST(SimulatorReceipts, TlvFormCarriesIdStateAndNetworkError) {
  Bound b({"--receipts", "tlv", "--receipt-state", "5", "--receipt-error", "0x0102"});
  RawPdu response;
  b.client.submit(2, "222", 1);
  ASSERT_TRUE(b.client.receiveResponse(2, response));
  DeliverFields receipt;
  ASSERT_TRUE(b.client.receiveDeliver(receipt));
  EXPECT_TRUE(receipt.shortMessage.empty());
  const smpp::TLV* id = findTLV(receipt, smpp::tag::kReceiptedMessageId);
  const smpp::TLV* state = findTLV(receipt, smpp::tag::kMessageState);
  const smpp::TLV* error = findTLV(receipt, smpp::tag::kNetworkErrorCode);
  ASSERT_TRUE(id && state && error);
  const std::string expected = responseMessageId(response);
  EXPECT_EQ(std::string(id->value.begin(), id->value.end()), expected + std::string(1, '\0'));
  EXPECT_EQ(state->value, std::vector<uint8_t>{5});
  EXPECT_EQ(error->value, (std::vector<uint8_t>{3, 1, 2}));
}

TEST(SimulatorReceipts, BothFormsTogether) {
  Bound b({"--receipts", "both"});
  RawPdu response;
  b.client.submit(2, "222", 1);
  ASSERT_TRUE(b.client.receiveResponse(2, response));
  DeliverFields receipt;
  ASSERT_TRUE(b.client.receiveDeliver(receipt));
  EXPECT_EQ(receiptId(receipt), responseMessageId(response));
  EXPECT_NE(findTLV(receipt, smpp::tag::kReceiptedMessageId), nullptr);
}

TEST(SimulatorReceipts, OnlyWhenRequestedUnlessAlways) {
  Bound asked({});
  RawPdu response;
  asked.client.submit(2, "222", 0);
  asked.client.submit(3, "222", 1);
  ASSERT_TRUE(asked.client.receiveResponse(2, response));
  ASSERT_TRUE(asked.client.receiveResponse(3, response));
  DeliverFields receipt;
  ASSERT_TRUE(asked.client.receiveDeliver(receipt));
  EXPECT_EQ(receiptId(receipt), responseMessageId(response));
  EXPECT_EQ(asked.sim.counts()["receipts"], "1");

  Bound always({"--receipts-always"});
  always.client.submit(2, "222", 0);
  ASSERT_TRUE(always.client.receiveResponse(2, response));
  ASSERT_TRUE(always.client.receiveDeliver(receipt));
}

TEST(SimulatorReceipts, BeforeTheResponse) {
  Bound b({"--receipt-before-response"});
  b.client.submit(2, "222", 1);
  RawPdu first;
  ASSERT_TRUE(b.client.receive(first));
  EXPECT_EQ(first.header.command_id, smpp::command::kDeliverSM);
  RawPdu response;
  ASSERT_TRUE(b.client.receiveResponse(2, response));
  DeliverFields receipt;
  ASSERT_TRUE(decodeDeliver(first.body, receipt));
  EXPECT_EQ(receiptId(receipt), responseMessageId(response));
}

TEST(SimulatorReceipts, AfterAConfiguredDelay) {
  Bound b({"--receipt-delay-ms", "300"});
  const auto start = std::chrono::steady_clock::now();
  b.client.submit(2, "222", 1);
  RawPdu response;
  ASSERT_TRUE(b.client.receiveResponse(2, response));
  DeliverFields receipt;
  ASSERT_TRUE(b.client.receiveDeliver(receipt));
  // A lower bound only: the delay cannot be shorter than configured.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST(SimulatorReceipts, GoToAReceiverOfTheSameSystemId) {
  SimulatorProcess sim({"--receipt-on-other-bind"});
  RawSmppClient transmitter(sim.port());
  ASSERT_EQ(transmitter.bind(kBindTransmitter, "acct"), 0);
  RawSmppClient stranger(sim.port());
  ASSERT_EQ(stranger.bind(kBindReceiver, "other"), 0);
  transmitter.submit(2, "222", 1);
  RawPdu response;
  ASSERT_TRUE(transmitter.receiveResponse(2, response));
  // No receiver of "acct" yet: the receipt waits for one.
  RawSmppClient receiver(sim.port());
  ASSERT_EQ(receiver.bind(kBindReceiver, "acct"), 0);
  DeliverFields receipt;
  ASSERT_TRUE(receiver.receiveDeliver(receipt));
  EXPECT_EQ(receiptId(receipt), responseMessageId(response));
  EXPECT_EQ(sim.counts()["receipts"], "1");
  RawPdu nothing;
  EXPECT_FALSE(stranger.receive(nothing, 100));
}

TEST(SimulatorSubmits, ChosenDestinationGetsItsErrorStatusAndNoReceipt) {
  Bound b({"--fail", "999=0x58", "--fail", "998=20"});
  RawPdu response;
  b.client.submit(2, "999", 1);
  ASSERT_TRUE(b.client.receiveResponse(2, response));
  EXPECT_EQ(response.header.command_status, smpp::status::kThrottled);
  EXPECT_TRUE(response.body.empty());
  b.client.submit(3, "998", 1);
  ASSERT_TRUE(b.client.receiveResponse(3, response));
  EXPECT_EQ(response.header.command_status, 20u);
  b.client.submit(4, "222", 0);
  ASSERT_TRUE(b.client.receiveResponse(4, response));
  EXPECT_EQ(response.header.command_status, 0u);
  auto counts = b.sim.counts();
  EXPECT_EQ(counts["submit_errors"], "2");
  EXPECT_EQ(counts["receipts"], "0");
}

TEST(SimulatorSubmits, ConnectionDroppedAfterTheNthSubmit) {
  Bound b({"--drop-after", "2"});
  for (uint32_t seq = 2; seq <= 4; ++seq) {
    b.client.submit(seq, "222", 0);
  }
  RawPdu response;
  ASSERT_TRUE(b.client.receiveResponse(2, response));
  ASSERT_TRUE(b.client.receiveResponse(3, response));
  EXPECT_FALSE(b.client.receive(response));
  EXPECT_TRUE(b.client.closed());
  // A new connection is served again.
  RawSmppClient again(b.sim.port());
  ASSERT_EQ(again.bind(kBindTransmitter), 0);
  EXPECT_EQ(b.sim.counts()["drops"], "1");
}

TEST(SimulatorBinds, RefusedByFlagOrWrongPassword) {
  SimulatorProcess refusing({"--refuse-binds"});
  RawSmppClient client(refusing.port());
  EXPECT_EQ(client.bind(kBindTransceiver), smpp::status::kBindFailed);
  EXPECT_TRUE(refusing.process().waitForOutput("smsc-sim bind refused system_id=esme"));

  SimulatorProcess guarded({"--password", "secret"});
  RawSmppClient wrong(guarded.port());
  EXPECT_EQ(wrong.bind(kBindTransceiver, "esme", "guess"), smpp::status::kBindFailed);
  RawSmppClient right(guarded.port());
  EXPECT_EQ(right.bind(kBindTransceiver, "esme", "secret"), 0);
  EXPECT_TRUE(guarded.process().waitForOutput("smsc-sim bind system_id=esme type=TRX"));
}

TEST(SimulatorBinds, EnquireLinkAndUnbindAnswered) {
  Bound b({});
  RawPdu response;
  b.client.send(smpp::command::kEnquireLink, 7);
  ASSERT_TRUE(b.client.receiveResponse(7, response));
  EXPECT_EQ(response.header.command_id, smpp::command::kEnquireLinkResp);
  b.client.send(smpp::command::kUnbind, 8);
  ASSERT_TRUE(b.client.receiveResponse(8, response));
  EXPECT_EQ(response.header.command_id, smpp::command::kUnbindResp);
  EXPECT_EQ(b.sim.counts()["unbinds"], "1");
}

TEST(SimulatorMO, TextAndUcs2ReachAReceiver) {
  Bound b({}, kBindReceiver);
  b.sim.command("mo 4915550001 100 STOP all of it");
  DeliverFields mo;
  ASSERT_TRUE(b.client.receiveDeliver(mo));
  EXPECT_EQ(mo.source, "4915550001");
  EXPECT_EQ(mo.destination, "100");
  EXPECT_EQ(mo.esmClass, 0);
  EXPECT_EQ(mo.dataCoding, 0);
  EXPECT_EQ(std::string(mo.shortMessage.begin(), mo.shortMessage.end()), "STOP all of it");

  b.sim.command("mo-ucs2 4915550001 100 h\xc3\xa9 \xe2\x82\xac");
  ASSERT_TRUE(b.client.receiveDeliver(mo));
  EXPECT_EQ(mo.dataCoding, 8);
  EXPECT_EQ(mo.shortMessage, (std::vector<uint8_t>{0, 'h', 0, 0xe9, 0, ' ', 0x20, 0xac}));
  EXPECT_TRUE(b.sim.process().waitForOutput("smsc-sim mo sent session="));
  auto counts = b.sim.counts();
  EXPECT_EQ(counts["mo"], "2");
  EXPECT_EQ(counts["deliver_resps"], "2");
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
    RawSmppClient client(quitting.port());
    ASSERT_EQ(client.bind(kBindTransceiver), 0);
    client.submit(2, "222", 1);
    RawPdu response;
    ASSERT_TRUE(client.receiveResponse(2, response));
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
