// Submits against a running gateway: the simulated SMSC with its receipts
// spread over an ESME's receivers, the TPS throttle and route precedence.
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "integration/GatewayFixture.h"

namespace quorvex::test {
namespace {

SubmitFields withReceipt() {
  SubmitFields fields;
  fields.registeredDelivery = 1;
  return fields;
}

// The message id of an accepted submit_sm_resp, empty otherwise.
std::string acceptedId(const std::optional<Pdu>& response) {
  return response && response->status == 0 ? SmppTestClient::cString(response->body)
                                           : std::string();
}

std::vector<uint8_t> submitFrame(uint32_t sequence, const SubmitFields& fields) {
  return SmppTestClient::frame(0x00000004, sequence, 0, SmppTestClient::submitBody(fields));
}

void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& pdu) {
  out.insert(out.end(), pdu.begin(), pdu.end());
}

std::string receiptId(const DeliverSM& receipt) {
  const size_t start = receipt.shortMessage.find("id:");
  const size_t end = receipt.shortMessage.find(' ', start);
  return start == std::string::npos ? "" : receipt.shortMessage.substr(start + 3, end - start - 3);
}

TEST(SubmitTest, SimulatedReceiptsAlternateOverReceivers) {
  nlohmann::json config = baseConfig();
  config["esme"].push_back(account("sim", "pw"));
  Gateway gateway(config);
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  auto rx1 = gateway.connect();
  auto rx2 = gateway.connect();
  auto tx = gateway.connect();
  ASSERT_EQ(rx1->bind(kBindReceiver, "sim", "pw"), 0u);
  ASSERT_EQ(rx2->bind(kBindReceiver, "sim", "pw"), 0u);
  ASSERT_EQ(tx->bind(kBindTransmitter, "sim", "pw"), 0u);

  SubmitFields silent;
  silent.registeredDelivery = 0;
  EXPECT_EQ(acceptedId(tx->submitAndWait(silent)).size(), 64u);
  std::set<std::string> ids;
  for (int i = 0; i < 4; ++i) {
    const std::string id = acceptedId(tx->submitAndWait(withReceipt()));
    ASSERT_EQ(id.size(), 64u);
    EXPECT_EQ(
        id.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"),
        std::string::npos);
    ids.insert(id);
  }
  std::set<std::string> received;
  for (SmppTestClient* rx : {rx1.get(), rx2.get(), rx1.get(), rx2.get()}) {
    std::optional<DeliverSM> receipt = rx->readDeliver();
    ASSERT_TRUE(receipt);
    EXPECT_EQ(receipt->source, "447700900123");
    EXPECT_EQ(receipt->destination, "447700900001");
    EXPECT_EQ(receipt->esmClass, 0x04);
    // Its text and TLVs are pinned by SimulatedReceiptTest.
    received.insert(receiptId(*receipt));
  }
  EXPECT_EQ(received, ids);
  // Nothing more: no receipt for the silent submit, none on the transmitter.
  EXPECT_FALSE(rx1->readCommand(kDeliverSM, std::chrono::milliseconds(600)));
  EXPECT_FALSE(rx2->readCommand(kDeliverSM, std::chrono::milliseconds(100)));
  EXPECT_FALSE(tx->readCommand(kDeliverSM, std::chrono::milliseconds(100)));
  EXPECT_EQ(gateway.stop(), 0);
}

TEST(SubmitTest, QueuedReceiptsWaitForAReceiverInOrder) {
  nlohmann::json config = baseConfig();
  config["esme"].push_back(account("late", "pw"));
  Gateway gateway(config);
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  auto tx = gateway.connect();
  // The receipt takes the submitting session's version: 3.3, so no TLVs.
  ASSERT_EQ(tx->bind(kBindTransmitter, "late", "pw", 0x33), 0u);
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) {
    ids.push_back(acceptedId(tx->submitAndWait(withReceipt())));
    ASSERT_EQ(ids.back().size(), 64u);
  }
  auto rx = gateway.connect();
  ASSERT_EQ(rx->bind(kBindReceiver, "late", "pw"), 0u);
  for (const std::string& id : ids) {
    std::optional<DeliverSM> receipt = rx->readDeliver();
    ASSERT_TRUE(receipt);
    EXPECT_EQ(receiptId(*receipt), id);
    EXPECT_TRUE(receipt->tlvs.empty());
  }
}

// An ESME that stops reading fills its own buffers, not the gateway's loop:
// another ESME is served meanwhile, and nothing queued for the stalled one
// is lost once it reads again.
TEST(SubmitTest, AnESMEThatStopsReadingStallsNobodyAndLosesNothing) {
  nlohmann::json config = baseConfig();
  config["esme"].push_back(account("slow", "pw"));
  config["esme"].push_back(account("fast", "pw"));
  Gateway gateway(config);
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  SmppTestClient slow(gateway.port(), "", 4096);
  ASSERT_EQ(slow.bind(kBindTransceiver, "slow", "pw"), 0u);
  // Far more responses and receipts than the socket buffers hold.
  constexpr int kStalled = 6000;
  std::vector<uint8_t> burst;
  for (int i = 0; i < kStalled; ++i) {
    append(burst, submitFrame(slow.nextSequence(), withReceipt()));
  }
  ASSERT_TRUE(slow.sendRaw(burst));

  auto fast = gateway.connect();
  ASSERT_EQ(fast->bind(kBindTransceiver, "fast", "pw"), 0u);
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(acceptedId(fast->submitAndWait(SubmitFields())).size(), 64u) << i;
  }

  int responses = 0;
  int receipts = 0;
  while (responses < kStalled || receipts < kStalled) {
    std::optional<Pdu> pdu = slow.read(std::chrono::milliseconds(10000));
    ASSERT_TRUE(pdu) << responses << " responses, " << receipts << " receipts";
    if (pdu->commandId == kSubmitSMResp) {
      EXPECT_EQ(pdu->status, 0u);
      ++responses;
    } else if (pdu->commandId == kDeliverSM) {
      slow.deliverSMResp(pdu->sequence);
      ++receipts;
    }
  }
}

// Requests that arrive in one segment are all answered, also after one that
// ends the dispatcher's pass, and also when the peer's end of stream follows.
TEST(SubmitTest, PipelinedRequestsAreAllAnswered) {
  nlohmann::json config = baseConfig();
  config["esme"].push_back(account("pipe", "pw"));
  Gateway gateway(config);
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  // Each connection is known to be accepted before its burst arrives.
  auto first = gateway.connect();
  ASSERT_TRUE(first->enquireLink());
  ASSERT_TRUE(first->read());
  std::vector<uint8_t> burst =
      SmppTestClient::frame(kBindTransmitter, 1, 0, SmppTestClient::bindBody("pipe", "pw", 0x34));
  for (uint32_t seq = 2; seq <= 11; ++seq) {
    append(burst, submitFrame(seq, SubmitFields()));
  }
  // Then an unbind and the end of the stream: the connection closes in the
  // same pass that answers everything.
  append(burst, SmppTestClient::frame(0x00000006, 12, 0, {}));
  ASSERT_TRUE(first->sendRaw(burst));
  first->shutdownWrite();
  for (uint32_t seq = 1; seq <= 12; ++seq) {
    std::optional<Pdu> pdu = first->read();
    ASSERT_TRUE(pdu) << seq;
    EXPECT_EQ(pdu->sequence, seq);
    EXPECT_EQ(pdu->status, 0u);
  }

  auto old = gateway.connect();
  ASSERT_EQ(old->bind(kBindTransmitter, "pipe", "pw", 0x33), 0u);
  std::vector<uint8_t> pair =
      SmppTestClient::frame(0x00000103, 7, 0, {0, 1, 1, '1', 0, 1, 1, '2', 0, 0, 0, 0});
  append(pair, SmppTestClient::frame(0x00000015, 8, 0, {}));
  ASSERT_TRUE(old->sendRaw(pair));
  // generic_nack (data_sm is not 3.3), then the enquire_link_resp.
  for (const auto& [id, seq] : {std::pair{0x80000000u, 7u}, std::pair{0x80000015u, 8u}}) {
    std::optional<Pdu> pdu = old->read();
    ASSERT_TRUE(pdu) << seq;
    EXPECT_EQ(pdu->commandId, id);
    EXPECT_EQ(pdu->sequence, seq);
  }
}

TEST(SubmitTest, ThrottleAtSmallLimit) {
  nlohmann::json config = baseConfig();
  nlohmann::json esme = account("slow", "pw");
  esme["tpslimit"] = 2;
  config["esme"].push_back(esme);
  Gateway gateway(config);
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  auto client = gateway.connect();
  ASSERT_EQ(client->bind(kBindTransmitter, "slow", "pw"), 0u);
  // One write: the three submits fall into the same window.
  std::vector<uint8_t> burst;
  for (int i = 0; i < 3; ++i) {
    append(burst, submitFrame(client->nextSequence(), SubmitFields()));
  }
  ASSERT_TRUE(client->sendRaw(burst));
  std::vector<uint32_t> statuses;
  for (int i = 0; i < 3; ++i) {
    std::optional<Pdu> response = client->readCommand(kSubmitSMResp);
    ASSERT_TRUE(response);
    statuses.push_back(response->status);
  }
  EXPECT_EQ(statuses, (std::vector<uint32_t>{0, 0, kThrottled}));
  // The window closes one second after it opened (in the session's time
  // unit); the next submit opens a new one.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  std::optional<Pdu> later = client->submitAndWait(SubmitFields());
  ASSERT_TRUE(later);
  EXPECT_EQ(later->status, 0u);
}

TEST(SubmitTest, RoutePrecedenceAndUnroutableTargetSets) {
  nlohmann::json config = baseConfig();
  config["routes-mt"].push_back(
      {{"criteria", {{"match", "destination"}, {"type", "country"}, {"value", "44"}}},
       {"targetset", "setUK"}});
  nlohmann::json esme = account("router", "pw");
  esme["routes-mt"] = nlohmann::json::array(
      {{{"criteria", {{"match", "destination"}, {"type", "exact"}, {"value", "447700900123"}}},
        {"targetset", "INTERNAL_SMSC_SIM"}}});
  config["esme"].push_back(esme);
  Gateway gateway(config);
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  auto client = gateway.connect();
  ASSERT_EQ(client->bind(kBindTransceiver, "router", "pw"), 0u);

  auto statusFor = [&](const std::string& destination) {
    SubmitFields fields;
    fields.destination = destination;
    std::optional<Pdu> response = client->submitAndWait(fields);
    return response ? response->status : 0xFFFFFFFFu;
  };
  EXPECT_EQ(statusFor("447700900123"), 0u);          // the ESME's rule wins
  EXPECT_EQ(statusFor("447700900124"), kSubmitFail); // the global rule: no such pool
  EXPECT_EQ(statusFor("33612345678"), 0u);           // the account's own set
  EXPECT_EQ(statusFor("+33612345678"), 0u);          // a sign is allowed
  EXPECT_EQ(statusFor("NOTANUMBER"), kSubmitFail);   // not numeric
}

TEST(SubmitTest, DemoConfigurationAnswersWithReceipts) {
  std::ifstream in(QUORVEX_DEMO_CONFIG);
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json config = nlohmann::json::parse(text.str());
  config["base"]["smpp.port"] = freePort();
  config["base"]["http.port"] = freePort();
  Gateway gateway(config);
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  auto client = gateway.connect();
  ASSERT_EQ(client->bind(kBindTransceiver, "demo", "demo"), 0u);
  const std::string id = acceptedId(client->submitAndWait(withReceipt()));
  ASSERT_EQ(id.size(), 64u);
  std::optional<DeliverSM> receipt = client->readDeliver();
  ASSERT_TRUE(receipt);
  EXPECT_EQ(receiptId(*receipt), id);
}

} // namespace
} // namespace quorvex::test
