// Submits against a running gateway: the simulated SMSC with its receipts
// spread over an ESME's receivers, backpressure, pipelining, the TPS
// throttle and route precedence. One gateway serves the suite; each case
// binds accounts of its own.
#include <fstream>
#include <set>
#include <thread>

#include "integration/GatewayFixture.h"

namespace quorvex::test {
namespace {

const SubmitFields kWithReceipt{.registeredDelivery = 1};

// The message id of an accepted submit_sm_resp, empty otherwise.
std::string acceptedId(const std::optional<Pdu>& response) {
  return response && response->status == 0 ? SmppTestClient::cString(response->body)
                                           : std::string();
}

uint32_t statusOf(const std::optional<Pdu>& response) {
  return response ? response->status : 0xFFFFFFFFu;
}

void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& pdu) {
  out.insert(out.end(), pdu.begin(), pdu.end());
}

// `count` submit_sm frames numbered from `first`, for one write.
std::vector<uint8_t> submits(uint32_t first, int count, const SubmitFields& fields = {}) {
  std::vector<uint8_t> out;
  for (int i = 0; i < count; ++i) {
    append(out,
           SmppTestClient::frame(0x00000004, first + i, 0, SmppTestClient::submitBody(fields)));
  }
  return out;
}

std::string receiptId(const DeliverSM& receipt) {
  const size_t start = receipt.shortMessage.find("id:");
  const size_t end = receipt.shortMessage.find(' ', start);
  return start == std::string::npos ? "" : receipt.shortMessage.substr(start + 3, end - start - 3);
}

std::unique_ptr<SmppTestClient> bound(Gateway& gateway, uint32_t command, const std::string& id,
                                      const std::string& password = "pw", uint8_t version = 0x34) {
  auto client = gateway.connect();
  EXPECT_EQ(client->bind(command, id, password, version), 0u) << id;
  return client;
}

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
    nlohmann::json throttled = account("throttled", "pw");
    throttled["tpslimit"] = 2;
    nlohmann::json router = account("router", "pw");
    router["routes-mt"] =
        nlohmann::json::array({rule("exact", "4915112345678", "INTERNAL_SMSC_SIM")});
    config["esme"].push_back(throttled);
    config["esme"].push_back(router);
    config["routes-mt"].push_back(rule("country", "49", "setDE"));
    return config;
  }
};

TEST_F(SubmitTest, SimulatedReceiptsAlternateOverReceivers) {
  auto rx1 = bound(*gateway_, kBindReceiver, "sim");
  auto rx2 = bound(*gateway_, kBindReceiver, "sim");
  auto tx = bound(*gateway_, kBindTransmitter, "sim");
  EXPECT_EQ(acceptedId(tx->submitAndWait(SubmitFields())).size(), 64u);
  std::set<std::string> ids;
  for (int i = 0; i < 4; ++i) {
    const std::string id = acceptedId(tx->submitAndWait(kWithReceipt));
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
    received.insert(receiptId(*receipt));
  }
  EXPECT_EQ(received, ids);
  // Nothing more: no receipt for the submit without a request, none on the transmitter.
  EXPECT_FALSE(rx1->readCommand(kDeliverSM, std::chrono::milliseconds(600)));
  EXPECT_FALSE(rx2->readCommand(kDeliverSM, std::chrono::milliseconds(100)));
  EXPECT_FALSE(tx->readCommand(kDeliverSM, std::chrono::milliseconds(100)));
}

TEST_F(SubmitTest, QueuedReceiptsWaitForAReceiverInOrder) {
  // The receipt takes the submitting session's version: 3.3, so no TLVs.
  auto tx = bound(*gateway_, kBindTransmitter, "late", "pw", 0x33);
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) {
    ids.push_back(acceptedId(tx->submitAndWait(kWithReceipt)));
    ASSERT_EQ(ids.back().size(), 64u);
  }
  auto rx = bound(*gateway_, kBindReceiver, "late");
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
TEST_F(SubmitTest, AnESMEThatStopsReadingStallsNobodyAndLosesNothing) {
  SmppTestClient slow(gateway_->port(), "", 4096);
  ASSERT_EQ(slow.bind(kBindTransceiver, "slow", "pw"), 0u);
  // Far more responses and receipts than the socket buffers hold.
  constexpr int kStalled = 6000;
  ASSERT_TRUE(slow.sendRaw(submits(100, kStalled, kWithReceipt)));

  auto fast = bound(*gateway_, kBindTransceiver, "fast");
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
TEST_F(SubmitTest, PipelinedRequestsAreAllAnswered) {
  // The connection is known to be accepted before its burst arrives.
  auto first = gateway_->connect();
  ASSERT_TRUE(first->enquireLink());
  ASSERT_TRUE(first->read());
  std::vector<uint8_t> burst =
      SmppTestClient::frame(kBindTransmitter, 1, 0, SmppTestClient::bindBody("pipe", "pw", 0x34));
  append(burst, submits(2, 10));
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

  auto old = bound(*gateway_, kBindTransmitter, "pipe", "pw", 0x33);
  std::vector<uint8_t> pair =
      SmppTestClient::frame(0x00000103, 7, 0, {0, 1, 1, '1', 0, 1, 1, '2', 0, 0, 0, 0});
  append(pair, SmppTestClient::frame(0x00000015, 8, 0, {}));
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
  auto client = bound(*gateway_, kBindTransmitter, "throttled");
  // One write: the three submits fall into the same window.
  ASSERT_TRUE(client->sendRaw(submits(100, 3)));
  std::vector<uint32_t> statuses;
  for (int i = 0; i < 3; ++i) {
    statuses.push_back(statusOf(client->readCommand(kSubmitSMResp)));
  }
  EXPECT_EQ(statuses, (std::vector<uint32_t>{0, 0, kThrottled}));
  // The window closes one second after it opened (in the session's time
  // unit); the next submit opens a new one.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(statusOf(client->submitAndWait(SubmitFields())), 0u);
}

TEST_F(SubmitTest, RoutePrecedenceAndUnroutableTargetSets) {
  auto client = bound(*gateway_, kBindTransceiver, "router");
  const std::pair<const char*, uint32_t> cases[] = {
      {"4915112345678", 0u},            // the ESME's rule wins
      {"4915112345679", kSubmitFailed}, // then the global rule: no such pool
      {"33612345678", 0u},              // then the account's own set
      {"+33612345678", 0u},             // a sign is allowed
      {"NOTANUMBER", kSubmitFailed},    // not numeric
  };
  for (const auto& [destination, status] : cases) {
    EXPECT_EQ(statusOf(client->submitAndWait({.destination = destination})), status) << destination;
  }
}

TEST_F(SubmitTest, DemoConfigurationAnswersWithReceipts) {
  std::ifstream in(QUORVEX_DEMO_CONFIG);
  nlohmann::json config = nlohmann::json::parse(in);
  config["base"]["smpp.port"] = freePort();
  config["base"]["http.port"] = freePort();
  Gateway demo(config);
  ASSERT_TRUE(demo.ready()) << demo.output();
  auto client = bound(demo, kBindTransceiver, "demo", "demo");
  const std::string id = acceptedId(client->submitAndWait(kWithReceipt));
  ASSERT_EQ(id.size(), 64u);
  std::optional<DeliverSM> receipt = client->readDeliver();
  ASSERT_TRUE(receipt);
  EXPECT_EQ(receiptId(*receipt), id);
}

} // namespace
} // namespace quorvex::test
