// Connection admission of a running gateway: rate blocks per address and
// per prefix, whitelist-only mode, bulk data before the bind, bindless
// connections, the total client limit and the bind timeout.
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "integration/GatewayFixture.h"

namespace quorvex::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Connections = std::vector<std::unique_ptr<SmppTestClient>>;

// A connection the gateway refused: accepted by the kernel, then closed.
bool refused(SmppTestClient& client) {
  return client.connected() && client.waitClosed(milliseconds(5000));
}

// The gateway keeps an admitted connection open.
bool admitted(SmppTestClient& client) {
  return client.connected() && client.enquireLink() &&
         client.readCommand(0x80000015, milliseconds(5000)).has_value();
}

TEST(AdmissionTest, WhitelistOnlyAdmitsListedAddresses) {
  nlohmann::json config = baseConfig();
  config["base"]["ipwhitelistonly"] = true;
  Gateway gateway(config, "# ours\n  127.0.0.1 \t\n10.1.2\nhost.example\n\n");
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  auto listed = gateway.connect();
  EXPECT_TRUE(admitted(*listed));
  auto other = gateway.connect("127.0.0.2");
  EXPECT_TRUE(refused(*other));
  const std::string out = gateway.output();
  EXPECT_NE(out.find("INFO SMPPServer::loadIPWhitelist Added IP 127.0.0.1\n"), std::string::npos);
  EXPECT_EQ(occurrences(out, "Added IP"), 1u);
  EXPECT_NE(out.find("Connection from whitelisted IP - do not block [127.0.0.1]\n"),
            std::string::npos);
  EXPECT_NE(out.find("IP not in whitelist. REJECTING connection - "), std::string::npos);
}

TEST(AdmissionTest, PerAddressLiveLimitDenies) {
  nlohmann::json config = baseConfig();
  config["base"]["smpp.max_connections_per_ip"] = 2;
  Gateway gateway(config);
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  auto first = gateway.connect();
  auto second = gateway.connect();
  EXPECT_TRUE(admitted(*second));
  auto third = gateway.connect();
  EXPECT_TRUE(refused(*third));
  EXPECT_TRUE(gateway.waitFor("INFO SMPPServer::run DENYING connection - "));
  first->close();
  // The closed connection frees its place (once the gateway has seen it go).
  EXPECT_TRUE(gateway.waitFor(
      "INFO SMPPServer::notifyEvent_ESMEBindAttemptNotReceived IP 127.0.0.1 count=1\n"));
  auto fourth = gateway.connect();
  EXPECT_TRUE(admitted(*fourth));
}

TEST(AdmissionTest, BulkBytesBeforeAcceptBlockForFiveMinutes) {
  Gateway gateway(baseConfig());
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  const std::vector<uint8_t> bulk(400, 'x');
  // The bytes must be waiting when the gateway accepts, a race the client
  // usually wins; each try uses an address of its own.
  bool blocked = false;
  for (int attempt = 0; attempt < 8 && !blocked; ++attempt) {
    const std::string source = "127.0.3." + std::to_string(attempt + 1);
    auto client = gateway.connect(source);
    ASSERT_TRUE(client->connected());
    client->sendRaw(bulk);
    // Refused at once, or admitted and closed for its oversized "PDU".
    EXPECT_TRUE(client->waitClosed(milliseconds(5000)));
    const std::string blockLine = "excessive number of bytes [" + source + "] [byte to read=400]\n";
    const std::string admitLine = "[" + source + "] [bytes to read=";
    const auto deadline = std::chrono::steady_clock::now() + seconds(10);
    std::string out;
    while (std::chrono::steady_clock::now() < deadline) {
      out = gateway.output();
      if (out.find(blockLine) != std::string::npos || out.find(admitLine) != std::string::npos) {
        break;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    blocked = out.find(blockLine) != std::string::npos;
    if (blocked) {
      EXPECT_TRUE(gateway.waitFor("BLOCKING connection for 300.0s - "));
      auto again = gateway.connect(source);
      EXPECT_TRUE(refused(*again));
    }
  }
  EXPECT_TRUE(blocked) << gateway.output();
}

// A whitelisted client whose bind and first submits are already waiting
// when the gateway accepts it trips the bytes-before-bind rule's condition,
// yet is served, and its address stays open to the next client.
TEST(AdmissionTest, WhitelistedBurstBeforeAcceptIsServedAndBlocksNothing) {
  nlohmann::json config = baseConfig();
  config["esme"].push_back(account("burst", "pw"));
  Gateway gateway(config, "127.0.4.1\n");
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  std::vector<uint8_t> burst =
      SmppTestClient::frame(kBindTransmitter, 1, 0, SmppTestClient::bindBody("burst", "pw", 0x34));
  for (uint32_t seq = 2; seq <= 11; ++seq) {
    const std::vector<uint8_t> submit =
        SmppTestClient::frame(0x00000004, seq, 0, SmppTestClient::submitBody(SubmitFields()));
    burst.insert(burst.end(), submit.begin(), submit.end());
  }
  const std::string accepted = "[127.0.4.1] [bytes to read=";
  bool tripped = false;
  for (int attempt = 0; attempt < 8 && !tripped; ++attempt) {
    auto client = gateway.connect("127.0.4.1");
    ASSERT_TRUE(client->sendRaw(burst));
    for (uint32_t seq = 1; seq <= 11; ++seq) {
      std::optional<Pdu> pdu = client->read();
      ASSERT_TRUE(pdu) << seq << gateway.output();
      EXPECT_EQ(pdu->status, 0u);
    }
    // Whether the burst was waiting at the accept is a race the client
    // usually wins; the accept line says.
    const std::string out = gateway.output();
    for (size_t at = out.find(accepted); at != std::string::npos; at = out.find(accepted, at + 1)) {
      tripped = tripped || std::stol(out.substr(at + accepted.size())) > 300;
    }
  }
  EXPECT_TRUE(tripped) << gateway.output();
  EXPECT_EQ(gateway.output().find("excessive number of bytes"), std::string::npos);
  auto next = gateway.connect("127.0.4.1");
  EXPECT_TRUE(admitted(*next));
}

TEST(AdmissionTest, ThreeBindlessConnectionsBlockTheAddress) {
  Gateway gateway(baseConfig());
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  for (int i = 0; i < 3; ++i) {
    auto client = gateway.connect();
    EXPECT_TRUE(admitted(*client));
  }
  ASSERT_TRUE(gateway.waitFor("IP 127.0.0.1 count=3\n")) << gateway.output();
  auto fourth = gateway.connect();
  EXPECT_TRUE(refused(*fourth));
  EXPECT_TRUE(gateway.waitFor(
      "Connection IP blocked due to no bind request for 3 connection attempts [127.0.0.1] [byte to read=0]\n"));
  EXPECT_TRUE(gateway.waitFor("BLOCKING connection for 300.0s - "));
  // A connection that bound is not bindless: closed before a bindless one,
  // it is reported (or not) by the time that one is.
  auto binder = gateway.connect("127.0.0.7");
  EXPECT_EQ(binder->bind(kBindTransmitter, "anyone", ""), 0u);
  binder->close();
  auto silent = gateway.connect("127.0.0.8");
  EXPECT_TRUE(admitted(*silent));
  silent->close();
  EXPECT_TRUE(gateway.waitFor("IP 127.0.0.8 count=1\n"));
  EXPECT_EQ(gateway.output().find("IP 127.0.0.7 count="), std::string::npos);
}

// A thousand connections that never bind fill the cap; a newcomer still
// binds, in the place of the oldest of them.
TEST(AdmissionTest, AtTheCapTheOldestUnboundConnectionMakesRoom) {
  nlohmann::json config = baseConfig();
  config["esme"].push_back(account("late", "pw"));
  Gateway gateway(config, "*\n");
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  Connections open;
  for (int i = 0; i < 1000; ++i) {
    open.push_back(gateway.connect());
    ASSERT_TRUE(open.back()->connected()) << i;
  }
  EXPECT_TRUE(admitted(*open.back()));
  auto late = gateway.connect();
  EXPECT_EQ(late->bind(kBindTransmitter, "late", "pw"), 0u) << gateway.output();
  EXPECT_TRUE(open.front()->waitClosed(milliseconds(5000)));
  EXPECT_TRUE(gateway.waitFor(
      "INFO SMPPServer::run Client connection limit reached. Closing the oldest unbound "
      "connection - "));
  open.clear();
  EXPECT_EQ(gateway.stop(), 0);
}

// The bind deadline, shortened through the test hook to 2 s.
TEST(AdmissionTest, SilentConnectionClosedAtTheBindDeadline) {
  ::setenv("QUORVEX_BIND_TIMEOUT_SECONDS", "2", 1);
  Gateway gateway(baseConfig());
  ::unsetenv("QUORVEX_BIND_TIMEOUT_SECONDS");
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  const auto start = std::chrono::steady_clock::now();
  auto client = gateway.connect();
  ASSERT_TRUE(client->waitClosed(seconds(10)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(1900));
  EXPECT_TRUE(gateway.waitFor("IP 127.0.0.1 count=1\n"));
}

} // namespace
} // namespace quorvex::test
