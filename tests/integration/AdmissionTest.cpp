// Connection admission of a running gateway: whitelist-only mode, bulk data
// before the bind, and the total client limit. The per-address limits,
// bindless connections and the bind deadline are taken through FixedTextTest.
#include <chrono>
#include <cstdlib>
#include <vector>

#include "integration/GatewayFixture.h"

namespace quorvex::test {
namespace {

using std::chrono::milliseconds;

// In whitelist-only mode, as in any other, a listed client is served when
// its bind and first submits are already waiting at the accept (which trips
// the bytes-before-bind rule's condition) and when it arrives at the cap,
// where the oldest connection that never bound makes room for it.
TEST(AdmissionTest, WhitelistOnlyServesListedClientsAlsoInABurstAndAtTheCap) {
  nlohmann::json config = baseConfig();
  config["base"]["ipwhitelistonly"] = true;
  config["esme"].push_back(account("acct", "pw"));
  Gateway gateway(config, "# ours\n  127.0.0.1 \t\n10.1.2\nhost.example\n127.0.4.1\n\n");
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  EXPECT_TRUE(admitted(*gateway.connect()));
  // A prefix of its own, so that the connections from 127.0. do not block it.
  EXPECT_TRUE(refused(*gateway.connect("127.1.0.2")));
  // Only the well-formed addresses were taken from the file; the log is
  // the only place that names the rule that refused.
  EXPECT_EQ(occurrences(gateway.output(), "Added IP"), 2u);
  EXPECT_TRUE(gateway.waitFor("IP not in whitelist. REJECTING connection - "));

  std::vector<uint8_t> burst =
      SmppTestClient::frame(kBindTransmitter, 1, 0, SmppTestClient::bindBody("acct", "pw", 0x34));
  SmppTestClient::append(burst, SmppTestClient::submits(2, 10));
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
  EXPECT_TRUE(admitted(*gateway.connect("127.0.4.1")));

  std::vector<std::unique_ptr<SmppTestClient>> open;
  for (int i = 0; i < 1000; ++i) {
    open.push_back(gateway.connect());
    ASSERT_TRUE(open.back()->connected()) << i;
  }
  EXPECT_TRUE(admitted(*open.back()));
  EXPECT_EQ(gateway.connect()->bind(kBindTransmitter, "acct", "pw"), 0u) << gateway.output();
  EXPECT_TRUE(open.front()->waitClosed(milliseconds(5000)));
  EXPECT_TRUE(gateway.waitFor(
      "INFO SMPPServer::run Client connection limit reached. Closing the oldest unbound "
      "connection - "));
}

TEST(AdmissionTest, BulkBytesBeforeAcceptBlockForFiveMinutes) {
  Gateway gateway(baseConfig());
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  // The bytes must be waiting when the gateway accepts, a race the client
  // usually wins; each try uses an address of its own.
  bool blocked = false;
  for (int attempt = 0; attempt < 8 && !blocked; ++attempt) {
    const std::string source = "127.0.3." + std::to_string(attempt + 1);
    auto client = gateway.connect(source);
    ASSERT_TRUE(client->connected());
    client->sendRaw(std::vector<uint8_t>(400, 'x'));
    // Refused at once, or admitted and closed for its oversized "PDU".
    EXPECT_TRUE(client->waitClosed(milliseconds(5000)));
    const std::string blockLine = "excessive number of bytes [" + source + "] [byte to read=400]\n";
    const std::string admitLine = "[" + source + "] [bytes to read=";
    std::string out;
    eventually([&] {
      out = gateway.output();
      return out.find(blockLine) != std::string::npos || out.find(admitLine) != std::string::npos;
    });
    blocked = out.find(blockLine) != std::string::npos;
    if (blocked) {
      EXPECT_TRUE(gateway.waitFor("BLOCKING connection for 300.0s - "));
      EXPECT_TRUE(refused(*gateway.connect(source)));
    }
  }
  EXPECT_TRUE(blocked) << gateway.output();
}

} // namespace
} // namespace quorvex::test
