// The gateway's own log sentences in one place: one gateway is taken through
// the admission and bind events that write them (checking their outcome on
// the way), and a table holds the texts its output must carry word for word.
// The other process tests check behaviour.
#include <cstdlib>
#include <memory>
#include <tuple>

#include "integration/GatewayFixture.h"

namespace quorvex::test {
namespace {

using std::chrono::milliseconds;

// The texts an eventful run writes, each exactly once or more.
const char* const kTexts[] = {
    "INFO SMPPServer::loadIPWhitelist Added IP 127.0.0.5\n",
    "Connection from whitelisted IP - do not block [127.0.0.5]\n",
    "INFO SMPPLoadBalancerSession::onBindAuthorisation Bind request from ESME plain IP 127.0.1.1\n",
    "Using shared target set \"INTERNAL_SMSC_SIM\" for ESME plain\n",
    "Binding attempt rejected. Password incorrect for ESME plain IP 127.0.1.2\n",
    "Binding attempt rejected. Password hash mismatch for ESME hashed IP 127.0.1.3\n",
    "Binding attempt rejected. Binding disabled for ESME disabled IP 127.0.1.4\n",
    "Binding attempt rejected. IP address 127.0.1.5 not in allowed IPs for ESME ipnet\n",
    "Using shared target set \"default\" for ESME stranger\n",
    "INFO SMPPServer::run DENYING connection - ",
    "INFO SMPPServer::notifyEvent_ESMEBindAttemptNotReceived IP 127.0.2.1 count=3\n",
    "Connection IP blocked due to no bind request for 3 connection attempts [127.0.2.1] "
    "[byte to read=0]\n",
    "BLOCKING connection for 300.0s - ",
    "INFO SMPPSession::timedCheck Due to close (line:",
    "INFO SMPPServer::run Force close on connection - ",
};

TEST(FixedTextTest, LogLinesOfAnEventfulRun) {
  nlohmann::json config = baseConfig();
  config["base"]["smpp.max_connections_per_ip"] = 2;
  config["esme"] = nlohmann::json::array({
      account("plain", "secret"),
      account("hashed", "", {{"password_hash", bcrypt("pw")}}),
      account("disabled", "", {{"binding_enabled", false}}),
      account("ipnet", "", {{"allowedips", {"10.9.9.9"}}}),
  });
  // A refused connection is closed at once, an admitted one only at this
  // bind deadline.
  ::setenv("QUORVEX_BIND_TIMEOUT_SECONDS", "3", 1);
  Gateway gateway(config, "127.0.0.5\n");
  ::unsetenv("QUORVEX_BIND_TIMEOUT_SECONDS");
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  const auto closedAtOnce = [](std::unique_ptr<SmppTestClient> client) {
    return client->connected() && client->waitClosed(milliseconds(1500));
  };

  // Three connections that never bind block their address (first: the
  // counts are kept for a 10 s window).
  for (int i = 1; i <= 3; ++i) {
    EXPECT_TRUE(admitted(*gateway.connect("127.0.2.1")));
    ASSERT_TRUE(gateway.waitFor("IP 127.0.2.1 count=" + std::to_string(i) + "\n"));
  }
  EXPECT_TRUE(closedAtOnce(gateway.connect("127.0.2.1")));
  EXPECT_TRUE(admitted(*gateway.connect("127.0.0.5")));
  const std::tuple<const char*, const char*, uint32_t> binds[] = {
      {"plain", "secret", 0},           {"plain", "wrong", kBindFailed},
      {"hashed", "wrong", kBindFailed}, {"disabled", "", kBindFailed},
      {"ipnet", "", kBindFailed},       {"stranger", "", 0}};
  for (size_t i = 0; i < std::size(binds); ++i) {
    const auto& [id, password, status] = binds[i];
    auto client = gateway.connect("127.0.1." + std::to_string(i + 1));
    EXPECT_EQ(client->bind(kBindTransmitter, id, password), status) << id;
  }
  // A third live connection from one address is denied; once the gateway
  // has seen one of the two close, its place is free again.
  auto first = gateway.connect("127.0.3.1");
  auto second = gateway.connect("127.0.3.1");
  ASSERT_TRUE(admitted(*first) && admitted(*second));
  EXPECT_TRUE(closedAtOnce(gateway.connect("127.0.3.1")));
  first->close();
  ASSERT_TRUE(gateway.waitFor("IP 127.0.3.1 count=1\n"));
  EXPECT_TRUE(admitted(*gateway.connect("127.0.3.1")));
  // A silent connection meets the bind deadline.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(gateway.connect("127.0.4.1")->waitClosed(milliseconds(10000)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(2900));
  // Every metric family is offered, with or without series.
  EXPECT_EQ(occurrences(gateway.get("/metrics"), "# HELP "), 80u);
  EXPECT_EQ(gateway.stop(), 0);

  const std::string out = gateway.output();
  for (const char* text : kTexts) {
    EXPECT_NE(out.find(text), std::string::npos) << text;
  }
  // Connections that bound are not bindless.
  EXPECT_EQ(out.find("IP 127.0.1.1 count="), std::string::npos);
  EXPECT_EQ(out.find("IP 127.0.1.6 count="), std::string::npos);
}

} // namespace
} // namespace quorvex::test
