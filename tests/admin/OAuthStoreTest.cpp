// The token store: tokens, their lifetime and the built-in token.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "admin/OAuthStore.h"

namespace quorvex {
namespace {

// The store's clock, moved by the tests.
std::atomic<uint64_t> fakeNow{1700000000000000ULL};
uint64_t fakeClock() { return fakeNow.load(); }

using Headers = std::map<std::string, std::string>;

TEST(OAuthStoreTest, TokensAreDistinctAlphanumericAndExpireAfter900Seconds) {
  OAuthStore store(fakeClock);
  std::set<std::string> tokens;
  for (int i = 0; i < 200; ++i) {
    const std::string token = store.generate_token();
    EXPECT_EQ(std::count_if(token.begin(), token.end(), ::isalnum), 32) << token;
    tokens.insert(token);
  }
  EXPECT_EQ(tokens.size(), 200u);
  const Headers headers = {{"authorization", "Bearer " + store.generate_token()}};
  fakeNow += 899ULL * 1000000;
  EXPECT_TRUE(store.is_authorised(headers));
  fakeNow += 1ULL * 1000000;
  EXPECT_FALSE(store.is_authorised(headers));
}

TEST(OAuthStoreTest, BuiltInTokenOnlyWithoutCredentials) {
  const Headers builtIn = {{"authorization", std::string("Bearer ") + OAuthStore::kBuiltInToken}};
  Headers form = {{"scope", "api"},
                  {"grant_type", "client_credentials"},
                  {"client_id", ""},
                  {"client_secret", ""}};
  std::string body;
  OAuthStore store(fakeClock);
  store.setClient("", "");
  EXPECT_TRUE(store.is_authorised(builtIn));
  EXPECT_EQ(store.oauth2_token(form, body), 401);

  OAuthStore half(fakeClock);
  half.setClient("admin", "");
  EXPECT_FALSE(half.is_authorised(builtIn));
  form["client_id"] = "admin";
  EXPECT_EQ(half.oauth2_token(form, body), 401);
}

} // namespace
} // namespace quorvex
