// Bind authorisation against a running gateway: passwords, bcrypt hashes,
// disabled accounts, allowed addresses, address-bound and unregistered ESMEs.
#include <crypt.h>

#include <memory>

#include "integration/GatewayFixture.h"

namespace quorvex::test {
namespace {

std::string bcrypt(const std::string& password, const char* setting = "$2b$04$") {
  auto data = std::make_unique<crypt_data>();
  const std::string salt = std::string(setting) + "abcdefghijklmnopqrstuu";
  return crypt_r(password.c_str(), salt.c_str(), data.get());
}

nlohmann::json bindConfig() {
  nlohmann::json config = baseConfig();
  nlohmann::json& esme = config["esme"];
  esme.push_back(account("plain", "secret"));
  nlohmann::json hashed = account("hashed");
  hashed["password_hash"] = bcrypt("hashpw");
  esme.push_back(hashed);
  nlohmann::json both = account("both", "plainpw");
  both["password_hash"] = bcrypt("hashpw");
  esme.push_back(both);
  nlohmann::json disabled = account("disabled");
  disabled["binding_enabled"] = false;
  esme.push_back(disabled);
  nlohmann::json net = account("ipnet");
  net["allowedips"] = {"10.9.9.9", "127.0.0.0/16"};
  esme.push_back(net);
  esme.push_back(account("[127.0.0.9]scoped", "sp"));
  return config;
}

// Binds, then unbinds on success so that the connection can bind again.
std::optional<uint32_t> tryBind(SmppTestClient& client, const std::string& systemId,
                                const std::string& password) {
  std::optional<uint32_t> status = client.bind(kBindTransmitter, systemId, password);
  if (status == 0u) {
    client.unbind();
    client.readCommand(0x80000006);
  }
  return status;
}

TEST(BindTest, AccountsPasswordsAndAddresses) {
  Gateway gateway(bindConfig());
  ASSERT_TRUE(gateway.ready()) << gateway.output();
  auto client = gateway.connect();
  ASSERT_TRUE(client->connected());

  EXPECT_EQ(tryBind(*client, "plain", "secret"), 0u);
  EXPECT_EQ(tryBind(*client, "hashed", "hashpw"), 0u);
  EXPECT_EQ(tryBind(*client, "both", "hashpw"), 0u);
  EXPECT_EQ(tryBind(*client, "ipnet", ""), 0u);
  // Not registered under that name from this address: any password will do.
  EXPECT_EQ(tryBind(*client, "scoped", "whatever"), 0u);
  EXPECT_EQ(tryBind(*client, "stranger", "whatever"), 0u);

  // A refusal ends binding for the rest of the gateway's read pass, which a
  // quick next bind may still be part of: each refusal gets a connection.
  auto refusal = [&](const std::string& systemId, const std::string& password,
                     const std::string& source = "") {
    auto fresh = gateway.connect(source);
    return fresh->bind(kBindTransmitter, systemId, password);
  };
  EXPECT_EQ(refusal("plain", "Secret"), kBindFail);
  EXPECT_EQ(refusal("hashed", "wrong"), kBindFail);
  {
    // A refusal that waited for the hash still refuses the binds that came
    // in the same write: one write cannot carry many password guesses.
    auto guesses = gateway.connect();
    std::vector<uint8_t> both = SmppTestClient::frame(
        kBindTransmitter, 1, 0, SmppTestClient::bindBody("hashed", "wrong", 0x34));
    const std::vector<uint8_t> right = SmppTestClient::frame(
        kBindTransmitter, 2, 0, SmppTestClient::bindBody("hashed", "hashpw", 0x34));
    both.insert(both.end(), right.begin(), right.end());
    ASSERT_TRUE(guesses->sendRaw(both));
    for (uint32_t sequence : {1u, 2u}) {
      const auto response = guesses->read();
      ASSERT_TRUE(response.has_value());
      EXPECT_EQ(response->sequence, sequence);
      EXPECT_EQ(response->status, kBindFail);
    }
  }
  EXPECT_EQ(refusal("both", "plainpw"), kBindFail);
  EXPECT_EQ(refusal("disabled", ""), kBindFail);

  auto far = gateway.connect("127.0.200.3");
  EXPECT_EQ(tryBind(*far, "ipnet", ""), 0u);
  EXPECT_EQ(refusal("ipnet", "", "127.1.0.1"), kBindFail);
  auto scoped = gateway.connect("127.0.0.9");
  EXPECT_EQ(tryBind(*scoped, "scoped", "sp"), 0u);
  EXPECT_EQ(tryBind(*scoped, "scoped", "wrong"), kBindFail);
  // A newline in a system_id cannot start a (forged) log line of its own.
  refusal("ev\nSEVERE forge", "x");
  ASSERT_TRUE(gateway.waitFor("Bind request from ESME ev\\x0aSEVERE forge IP 127.0.0.1\n"));

  const std::string out = gateway.output();
  EXPECT_EQ(out.find("\nSEVERE forge"), std::string::npos) << out;
  EXPECT_EQ(gateway.stop(), 0);
}

TEST(BindTest, HashedBindsDoNotHoldOtherSessions) {
  nlohmann::json config = baseConfig();
  // A cost at which each check takes a good part of a second.
  nlohmann::json slow = account("slowhash");
  slow["password_hash"] = bcrypt("slowpw", "$2b$13$");
  config["esme"].push_back(slow);
  config["esme"].push_back(account("busy", "pw"));
  Gateway gateway(config);
  ASSERT_TRUE(gateway.ready()) << gateway.output();

  // Two full checks in flight; the third bind repeats a password the first
  // verifies, so it is answered from memory without a hash of its own.
  const std::vector<std::pair<std::string, uint32_t>> binds = {
      {"slowpw", 0u}, {"wrong", kBindFail}, {"slowpw", 0u}};
  std::vector<std::unique_ptr<SmppTestClient>> hashed;
  for (const auto& bind : binds) {
    hashed.push_back(gateway.connect());
    ASSERT_TRUE(hashed.back()->send(kBindTransmitter, hashed.back()->nextSequence(),
                                    SmppTestClient::bindBody("slowhash", bind.first, 0x34)));
  }
  auto busy = gateway.connect();
  ASSERT_EQ(busy->bind(kBindTransceiver, "busy", "pw"), 0u);
  for (int i = 0; i < 50; ++i) {
    const auto response = busy->submitAndWait(SubmitFields{});
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->status, 0u);
  }
  const auto busyDone = std::chrono::steady_clock::now();
  for (size_t i = 0; i < binds.size(); ++i) {
    const auto response = hashed[i]->read(SmppTestClient::Millis(30000));
    ASSERT_TRUE(response.has_value()) << i;
    EXPECT_EQ(response->status, binds[i].second) << i;
  }
  // The other ESME's run ended before the hashes did.
  EXPECT_LT(busyDone, std::chrono::steady_clock::now() - std::chrono::milliseconds(100));
  EXPECT_EQ(gateway.stop(), 0);
}

} // namespace
} // namespace quorvex::test
