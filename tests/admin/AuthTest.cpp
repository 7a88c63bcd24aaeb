// The token endpoint, the bearer check and the token store.
#include <atomic>
#include <map>
#include <set>

#include "admin/AdminFixture.h"
#include "admin/OAuthStore.h"

namespace quorvex::test {
namespace {

using nlohmann::json;

// The token store's clock, moved by the tests.
std::atomic<uint64_t> fakeNow{1700000000000000ULL};
uint64_t fakeClock() { return fakeNow.load(); }

HttpTestReply tokenRequest(uint16_t port, const std::string& form,
                           const std::string& contentType = "application/x-www-form-urlencoded") {
  return httpExchange(port,
                      request("POST", "/oauth2/v1/token", {"Content-Type: " + contentType}, form));
}

const char* kGoodForm =
    "grant_type=client_credentials&scope=api&client_id=admin&client_secret=s3cret";

TEST_F(AdminServerTest, TokenIssuedForConfiguredCredentials) {
  const HttpTestReply reply = tokenRequest(port_, kGoodForm);
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.headers.at("content-type"), "application/json");
  const json body = json::parse(reply.body);
  const std::string token = body["access_token"];
  EXPECT_EQ(token.size(), 32u);
  EXPECT_EQ(
      token.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"),
      std::string::npos);
  EXPECT_EQ(body["refresh_token"], token);
  EXPECT_EQ(body["expires_in"], 900);
  EXPECT_EQ(body["token_type"], "access");
  // Keys in ascending order, compact.
  EXPECT_EQ(reply.body.rfind("{\"access_token\":", 0), 0u);
}

TEST_F(AdminServerTest, TokenRefusals) {
  const std::map<std::string, int> cases = {
      {"grant_type=client_credentials&client_id=admin&client_secret=s3cret", 400},
      {"grant_type=client_credentials&scope=other&client_id=admin&client_secret=s3cret", 400},
      {"scope=api&client_id=admin&client_secret=s3cret", 400},
      {"grant_type=client_credentials&scope=api&client_secret=s3cret", 400},
      {"grant_type=client_credentials&scope=api&client_id=admin", 400},
      {"grant_type=client_credentials&scope=api&client_id=admin&client_secret=wrong", 401},
      {"grant_type=client_credentials&scope=api&client_id=other&client_secret=s3cret", 401},
      {"grant_type=refresh_token&scope=api", 400},
      {"grant_type=refresh_token&scope=api&refresh_token=abc", 401},
      {"grant_type=password&scope=api", 400},
  };
  for (const auto& [form, status] : cases) {
    const HttpTestReply reply = tokenRequest(port_, form);
    EXPECT_EQ(reply.status, status) << form;
    EXPECT_EQ(reply.reason, "OK") << form;
    EXPECT_EQ(reply.body, "") << form;
  }
  // A form whose content type carries a charset is not read at all.
  EXPECT_EQ(tokenRequest(port_, kGoodForm, "application/x-www-form-urlencoded; charset=utf-8").raw,
            "HTTP/1.1 200 OK\r\n\r\nOK");
}

TEST_F(AdminServerTest, ProtectedRoutesRefuseMissingOrBadTokens) {
  const std::string good = token();
  const std::vector<std::string> refused = {
      "", "Authorization: bearer " + good, "Authorization: Bearer  " + good,
      "Authorization: Bearer nosuchtoken", "Authorization: Token " + good};
  for (const auto& header : refused) {
    std::vector<std::string> headers;
    if (!header.empty()) {
      headers.push_back(header);
    }
    const HttpTestReply reply = httpExchange(port_, request("GET", "/esme", headers));
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 401 Unauthorised") << header;
    EXPECT_EQ(reply.body, "{}");
  }
  // A JSON request of any method is checked before its route.
  const HttpTestReply patch =
      httpExchange(port_, request("PATCH", "/nowhere", {"Content-Type: application/json"}, "{}"));
  EXPECT_EQ(patch.statusLine, "HTTP/1.1 401 Unauthorised");
  // The header name's case does not matter; the token's does.
  const HttpTestReply ok =
      httpExchange(port_, request("GET", "/esme", {"AUTHORIZATION: Bearer " + good}));
  EXPECT_EQ(ok.statusLine, "HTTP/1.1 200 OK");
}

TEST(OAuthStoreTest, TokensAreDistinctAndExpireAfter900Seconds) {
  OAuthStore store(fakeClock);
  store.setClient("admin", "s3cret");
  std::set<std::string> tokens;
  for (int i = 0; i < 200; ++i) {
    tokens.insert(store.generate_token());
  }
  EXPECT_EQ(tokens.size(), 200u);
  const std::map<std::string, std::string> headers = {
      {"authorization", "Bearer " + store.generate_token()}};
  fakeNow += 899ULL * 1000000;
  EXPECT_TRUE(store.is_authorised(headers));
  fakeNow += 1ULL * 1000000;
  EXPECT_FALSE(store.is_authorised(headers));
}

TEST(OAuthStoreTest, BuiltInTokenOnlyWithoutCredentials) {
  OAuthStore store(fakeClock);
  const std::map<std::string, std::string> builtIn = {
      {"authorization", std::string("Bearer ") + OAuthStore::kBuiltInToken}};
  store.setClient("", "");
  EXPECT_TRUE(store.is_authorised(builtIn));
  std::map<std::string, std::string> form = {{"scope", "api"},
                                             {"grant_type", "client_credentials"},
                                             {"client_id", ""},
                                             {"client_secret", ""}};
  std::string body;
  EXPECT_EQ(store.oauth2_token(form, body), 401);

  OAuthStore half(fakeClock);
  half.setClient("admin", "");
  EXPECT_FALSE(half.is_authorised(builtIn));
  form["client_id"] = "admin";
  EXPECT_EQ(half.oauth2_token(form, body), 401);
}

} // namespace
} // namespace quorvex::test
