// Submits against a running gateway: the simulated SMSC with its receipts
// spread over an ESME's receivers, backpressure, pipelining, the TPS
// throttle and route precedence. One gateway serves the suite; each case
// binds accounts of its own.
#include <fstream>
#include <set>
#include <thread>

#include "integration/GatewayFixture.h"
#include "smpp/ReceiptText.h"

namespace quorvex::test {
namespace {

const SubmitFields kWithReceipt{.registeredDelivery = 1};

using Client = SmppTestClient;

nlohmann::json rule(const std::string& type, const std::string& value, const std::string& set) {
  return {{"criteria", {{"match", "destination"}, {"type", type}, {"value", value}}},
          {"targetset", set}};
}

class SubmitTest : public SharedGatewayTest<SubmitTest> {
public:
  static nlohmann::json configuration() {
    nlohmann::json config = baseConfig();
    for (const char* id : {"sim", "late", "slow", "fast", "pipe"}) {
      config["esme"].push_back(account(id, "pw"));
    }
    config["esme"].push_back(account("throttled", "pw", {{"tpslimit", 2}}));
    config["esme"].push_back(
        account("router", "pw",
                {{"routes-mt",
                  nlohmann::json::array({rule("exact", "4915112345678", "INTERNAL_SMSC_SIM")})}}));
    config["routes-mt"].push_back(rule("country", "49", "setDE"));
    return config;
  }
};

TEST_F(SubmitTest, SimulatedReceiptsAlternateOverReceivers) {
  auto rx1 = gateway_->bound("sim", kBindReceiver);
  auto rx2 = gateway_->bound("sim", kBindReceiver);
  auto tx = gateway_->bound("sim", kBindTransmitter);
  EXPECT_EQ(Client::acceptedId(tx->submitAndWait(SubmitFields())).size(), 64u);
  std::set<std::string> ids;
  for (int i = 0; i < 4; ++i) {
    const std::string id = Client::acceptedId(tx->submitAndWait(kWithReceipt));
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
    // The addresses swapped from the submit's; the rest is pinned by SimulatedReceiptTest.
    EXPECT_EQ(receipt->source, "447700900123");
    EXPECT_EQ(receipt->destination, "447700900001");
    received.insert(smpp::parseReceiptText(receipt->shortMessage).messageId);
  }
  EXPECT_EQ(received, ids);
  // Nothing more: no receipt for the submit without a request, none on the transmitter.
  EXPECT_FALSE(rx1->readCommand(kDeliverSM, std::chrono::milliseconds(600)));
  EXPECT_FALSE(rx2->readCommand(kDeliverSM, std::chrono::milliseconds(100)));
  EXPECT_FALSE(tx->readCommand(kDeliverSM, std::chrono::milliseconds(100)));
}

TEST_F(SubmitTest, QueuedReceiptsWaitForAReceiverInOrder) {
  // The receipt takes the submitting session's version: 3.3, so no TLVs.
  auto tx = gateway_->bound("late", kBindTransmitter, "pw", 0x33);
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) {
    ids.push_back(Client::acceptedId(tx->submitAndWait(kWithReceipt)));
    ASSERT_EQ(ids.back().size(), 64u);
  }
  auto rx = gateway_->bound("late", kBindReceiver);
  for (const std::string& id : ids) {
    std::optional<DeliverSM> receipt = rx->readDeliver();
    ASSERT_TRUE(receipt);
    EXPECT_EQ(smpp::parseReceiptText(receipt->shortMessage).messageId, id);
    EXPECT_TRUE(receipt->tlvs.empty());
  }
}

// An ESME that stops reading fills its own buffers, not the gateway's loop:
// another ESME is served meanwhile, and nothing queued for the stalled one
// is lost once it reads again.
TEST_F(SubmitTest, AnESMEThatStopsReadingStallsNobodyAndLosesNothing) {
  SmppTestClient slow(gateway_->port(), "", 4096);
  ASSERT_EQ(slow.bind(kBindTransceiver, "slow", "pw"), 0u);
  // Far more responses and receipts than the socket buffers hold.
  constexpr int kStalled = 6000;
  ASSERT_TRUE(slow.sendRaw(Client::submits(100, kStalled, kWithReceipt)));

  auto fast = gateway_->bound("fast");
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(Client::acceptedId(fast->submitAndWait(SubmitFields())).size(), 64u) << i;
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
TEST_F(SubmitTest, PipelinedRequestsAreAllAnswered) {
  // The connection is known to be accepted before its burst arrives.
  auto first = gateway_->connect();
  ASSERT_TRUE(first->request(kEnquireLink, {}));
  std::vector<uint8_t> burst =
      Client::frame(kBindTransmitter, 1, 0, Client::bindBody("pipe", "pw", 0x34));
  Client::append(burst, Client::submits(2, 10));
  // Then an unbind and the end of the stream: the connection closes in the
  // same pass that answers everything.
  Client::append(burst, Client::frame(0x00000006, 12, 0, {}));
  ASSERT_TRUE(first->sendRaw(burst));
  first->shutdownWrite();
  for (uint32_t seq = 1; seq <= 12; ++seq) {
    std::optional<Pdu> pdu = first->read();
    ASSERT_TRUE(pdu) << seq;
    EXPECT_EQ(pdu->sequence, seq);
    EXPECT_EQ(pdu->status, 0u);
  }

  auto old = gateway_->bound("pipe", kBindTransmitter, "pw", 0x33);
  std::vector<uint8_t> pair =
      Client::frame(0x00000103, 7, 0, {0, 1, 1, '1', 0, 1, 1, '2', 0, 0, 0, 0});
  Client::append(pair, Client::frame(0x00000015, 8, 0, {}));
  ASSERT_TRUE(old->sendRaw(pair));
  // generic_nack (data_sm is not 3.3) ends the pass; the enquire_link_resp
  // shows the loop comes back for what was left in the buffer.
  for (const auto& [id, seq] : {std::pair{0x80000000u, 7u}, std::pair{0x80000015u, 8u}}) {
    std::optional<Pdu> pdu = old->read();
    ASSERT_TRUE(pdu) << seq;
    EXPECT_EQ(pdu->commandId, id);
    EXPECT_EQ(pdu->sequence, seq);
  }
}

TEST_F(SubmitTest, ThrottleAtSmallLimit) {
  auto client = gateway_->bound("throttled", kBindTransmitter);
  // One write: the three submits fall into the same window.
  ASSERT_TRUE(client->sendRaw(Client::submits(100, 3)));
  std::vector<uint32_t> statuses;
  for (int i = 0; i < 3; ++i) {
    statuses.push_back(Client::statusOf(client->readCommand(kSubmitSMResp)));
  }
  EXPECT_EQ(statuses, (std::vector<uint32_t>{0, 0, kThrottled}));
  // The window closes one second after it opened (in the session's time
  // unit); the next submit opens a new one.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(Client::statusOf(client->submitAndWait(SubmitFields())), 0u);
}

TEST_F(SubmitTest, RoutePrecedenceAndUnroutableTargetSets) {
  auto client = gateway_->bound("router");
  const std::pair<const char*, uint32_t> cases[] = {
      {"4915112345678", 0u},            // the ESME's rule wins
      {"4915112345679", kSubmitFailed}, // then the global rule: no such pool
      {"33612345678", 0u},              // then the account's own set
      {"+33612345678", 0u},             // a sign is allowed
      {"NOTANUMBER", kSubmitFailed},    // not numeric
  };
  for (const auto& [destination, status] : cases) {
    EXPECT_EQ(Client::statusOf(client->submitAndWait({.destination = destination})), status)
        << destination;
  }
}

// Its own gateway on the demo file: the suite's shared one is not started.
TEST(DemoConfigurationTest, AnswersWithReceipts) {
  std::ifstream in(QUORVEX_DEMO_CONFIG);
  nlohmann::json config = nlohmann::json::parse(in);
  config["base"]["smpp.port"] = freePort();
  config["base"]["http.port"] = freePort();
  Gateway demo(config);
  ASSERT_TRUE(demo.ready()) << demo.output();
  auto client = demo.bound("demo", kBindTransceiver, "demo");
  const std::string id = Client::acceptedId(client->submitAndWait(kWithReceipt));
  ASSERT_EQ(id.size(), 64u);
  std::optional<DeliverSM> receipt = client->readDeliver();
  ASSERT_TRUE(receipt);
  EXPECT_EQ(smpp::parseReceiptText(receipt->shortMessage).messageId, id);
}

} // namespace
} // namespace quorvex::test
