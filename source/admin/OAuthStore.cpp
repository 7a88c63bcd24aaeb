#include "admin/OAuthStore.h"

#include <openssl/rand.h>

#include <algorithm>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "app/Log.h"

namespace quorvex {

namespace {

constexpr uint64_t kMicros = 1000000ULL;
constexpr size_t kTokenLength = 32;
const char kTokenAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned kAlphabetSize = 62;
// Bytes at or above this value are drawn again, so that every character is equally likely.
constexpr unsigned kUnbiasedLimit = 256 - 256 % kAlphabetSize;

const std::string* find(const std::map<std::string, std::string>& map, const char* key) {
  auto it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

} // namespace

OAuthStore::OAuthStore(Clock clock) : clock_(clock) {}

void OAuthStore::setClock(Clock clock) { clock_ = clock; }

void OAuthStore::setTokenLifetime(uint64_t seconds) {
  tokenSeconds_ = std::clamp<uint64_t>(seconds, 1, kTokenSeconds);
}

uint64_t OAuthStore::now() const { return clock_ != nullptr ? clock_() : nowMicros(); }

void OAuthStore::setClient(const std::string& clientId, const std::string& clientSecret) {
  clients_.clear();
  if (!clientId.empty() && !clientSecret.empty()) {
    clients_[clientId] = ClientCredentials{clientId, clientSecret};
  } else if (clientId.empty() && clientSecret.empty()) {
    tokens_[kBuiltInToken] = now() + kBuiltInTokenSeconds * kMicros;
  }
}

std::string OAuthStore::generate_token() {
  // Tokens open the admin API, so they come from the OpenSSL CSPRNG.
  std::string token;
  token.reserve(kTokenLength);
  unsigned char buffer[64];
  while (token.size() < kTokenLength) {
    if (RAND_bytes(buffer, sizeof(buffer)) != 1) {
      throw std::runtime_error("RAND_bytes failed");
    }
    for (unsigned char byte : buffer) {
      if (byte < kUnbiasedLimit && token.size() < kTokenLength) {
        token.push_back(kTokenAlphabet[byte % kAlphabetSize]);
      }
    }
  }
  // Every token request adds an entry, so expired ones go here; this is O(n)
  // in the live tokens, paid only by the rare token request.
  const uint64_t at = now();
  std::erase_if(tokens_, [at](const auto& entry) { return entry.second <= at; });
  tokens_[token] = at + tokenSeconds_ * kMicros;
  return token;
}

bool OAuthStore::is_authorised(const std::map<std::string, std::string>& headers) const {
  const std::string* value = find(headers, "authorization");
  if (value == nullptr || value->size() < 8 || value->compare(0, 7, "Bearer ") != 0) {
    return false;
  }
  auto it = tokens_.find(value->substr(7));
  return it != tokens_.end() && it->second > now();
}

int OAuthStore::oauth2_token(const std::map<std::string, std::string>& params, std::string& body) {
  const std::string* scope = find(params, "scope");
  if (scope == nullptr || *scope != "api") {
    return 400;
  }
  const std::string* grantType = find(params, "grant_type");
  if (grantType == nullptr) {
    return 400;
  }
  if (*grantType == "client_credentials") {
    const std::string* id = find(params, "client_id");
    const std::string* secret = find(params, "client_secret");
    if (id == nullptr || secret == nullptr) {
      return 400;
    }
    auto client = clients_.find(*id);
    if (client == clients_.end() || client->second.clientSecret != *secret) {
      return 401;
    }
    const std::string token = generate_token();
    body = nlohmann::json{{"access_token", token},
                          {"expires_in", tokenSeconds_},
                          {"refresh_token", token},
                          {"token_type", "access"}}
               .dump();
    return 200;
  }
  if (*grantType == "refresh_token") {
    return find(params, "refresh_token") == nullptr ? 400 : 401;
  }
  return 400;
}

OAuthStore& oauthStore() {
  static OAuthStore instance;
  return instance;
}

void warnIfNoClientCredentials(const std::string& clientId, const std::string& clientSecret) {
  if (clientId.empty() && clientSecret.empty()) {
    logApplication(
        LOG_WARNING, nullptr, "Application", "setClient",
        "No admin API client credentials configured (auth.client_id, auth.client_secret): the admin API accepts the built-in token");
  } else if (clientId.empty() || clientSecret.empty()) {
    logApplication(
        LOG_WARNING, nullptr, "Application", "setClient",
        "Only one of auth.client_id and auth.client_secret is configured: the admin API refuses every protected request");
  }
}

} // namespace quorvex
