// Bind authorisation against a running gateway: passwords, bcrypt hashes,
// disabled accounts, allowed addresses, address-bound and unregistered ESMEs.
#include <memory>
#include <tuple>

#include "integration/GatewayFixture.h"

namespace quorvex::test {
namespace {

class BindTest : public SharedGatewayTest<BindTest> {
public:
  static nlohmann::json configuration() {
    nlohmann::json config = baseConfig();
    config["esme"] = nlohmann::json::array({
        account("plain", "secret"),
        account("hashed", "", {{"password_hash", bcrypt("hashpw")}}),
        account("both", "plainpw", {{"password_hash", bcrypt("hashpw")}}),
        account("disabled", "", {{"binding_enabled", false}}),
        account("ipnet", "", {{"allowedips", {"10.9.9.9", "127.0.0.0/16"}}}),
        account("[127.0.0.9]scoped", "sp"),
        // A cost at which each check takes a good part of a second.
        account("slowhash", "", {{"password_hash", bcrypt("slowpw", "$2b$13$")}}),
        account("busy", "pw"),
    });
    return config;
  }
};

TEST_F(BindTest, AccountsPasswordsAndAddresses) {
  // A refusal ends binding for the rest of the gateway's read pass, which a
  // quick next bind may still be part of: each bind gets a connection.
  const std::tuple<const char*, const char*, const char*, uint32_t> binds[] = {
      {"plain", "secret", "", 0u},
      {"hashed", "hashpw", "", 0u},
      {"both", "hashpw", "", 0u},
      // Not registered under that name from this address: any password will do.
      {"scoped", "whatever", "", 0u},
      {"stranger", "whatever", "", 0u},
      {"ipnet", "", "127.0.200.3", 0u},
      {"scoped", "sp", "127.0.0.9", 0u},
      {"scoped", "wrong", "127.0.0.9", kBindFailed},
      {"plain", "Secret", "", kBindFailed},
      {"hashed", "wrong", "", kBindFailed},
      {"both", "plainpw", "", kBindFailed}, // the hash wins
      {"disabled", "", "", kBindFailed},
      {"ipnet", "", "127.1.0.1", kBindFailed},
  };
  for (const auto& [id, password, source, status] : binds) {
    EXPECT_EQ(gateway_->connect(source)->bind(kBindTransmitter, id, password), status)
        << id << " " << password << " " << source;
  }
  // Unbound, a connection may bind again.
  auto again = gateway_->bound("plain", kBindTransmitter, "secret");
  ASSERT_TRUE(again->request(kUnbind, {}));
  EXPECT_EQ(again->bind(kBindTransmitter, "plain", "secret"), 0u);
  // A refusal that waited for the hash still refuses the binds that came in
  // the same write: one write cannot carry many password guesses.
  auto guesses = gateway_->connect();
  std::vector<uint8_t> both;
  for (const auto& [sequence, password] : {std::pair{1u, "wrong"}, std::pair{2u, "hashpw"}}) {
    SmppTestClient::append(
        both, SmppTestClient::frame(kBindTransmitter, sequence, 0,
                                    SmppTestClient::bindBody("hashed", password, 0x34)));
  }
  ASSERT_TRUE(guesses->sendRaw(both));
  for (uint32_t sequence : {1u, 2u}) {
    const auto response = guesses->read();
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->sequence, sequence);
    EXPECT_EQ(response->status, kBindFailed);
  }
  // A newline in a system_id cannot start a (forged) log line of its own.
  gateway_->connect()->bind(kBindTransmitter, "ev\nSEVERE forge", "x");
  ASSERT_TRUE(gateway_->waitFor("Bind request from ESME ev\\x0aSEVERE forge IP 127.0.0.1\n"));
  EXPECT_EQ(gateway_->output().find("\nSEVERE forge"), std::string::npos) << gateway_->output();
}

TEST_F(BindTest, HashedBindsDoNotHoldOtherSessions) {
  // Two full checks in flight; the third bind repeats a password the first
  // verifies, so it is answered from memory without a hash of its own.
  const std::vector<std::pair<std::string, uint32_t>> binds = {
      {"slowpw", 0u}, {"wrong", kBindFailed}, {"slowpw", 0u}};
  std::vector<std::unique_ptr<SmppTestClient>> hashed;
  for (const auto& bind : binds) {
    hashed.push_back(gateway_->connect());
    ASSERT_TRUE(hashed.back()->send(kBindTransmitter, hashed.back()->nextSequence(),
                                    SmppTestClient::bindBody("slowhash", bind.first, 0x34)));
  }
  auto busy = gateway_->bound("busy");
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
}

} // namespace
} // namespace quorvex::test
