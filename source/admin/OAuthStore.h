// Client credentials of the admin API and the bearer tokens issued to them.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace quorvex {

// One accepted API client.
struct ClientCredentials {
  std::string clientId;     // "client_id" of the token request
  std::string clientSecret; // "client_secret", compared exactly
};

class OAuthStore {
public:
  // Wall-clock microseconds; replaceable so that tests can age tokens.
  using Clock = uint64_t (*)();

  // Lifetime of an issued token.
  static constexpr uint64_t kTokenSeconds = 900;
  // Lifetime of the built-in token registered when no credentials are configured.
  static constexpr uint64_t kBuiltInTokenSeconds = 7776000;
  // The built-in token itself.
  static constexpr const char* kBuiltInToken = "qvx";

  explicit OAuthStore(Clock clock = nullptr);

  // Replaces the accepted clients; with both empty, registers the built-in token.
  void setClient(const std::string& clientId, const std::string& clientSecret);

  // A new 32-character token, valid for the token lifetime.
  std::string generate_token();

  // True when "authorization" holds "Bearer " and a token that has not expired.
  bool is_authorised(const std::map<std::string, std::string>& headers) const;

  // The token endpoint: returns the HTTP status and fills `body` on success.
  int oauth2_token(const std::map<std::string, std::string>& params, std::string& body);

  void setClock(Clock clock);

  // Shortens the lifetime of tokens issued from now on (1 to kTokenSeconds
  // seconds); a test hook, so that expiry can be seen in a running process.
  void setTokenLifetime(uint64_t seconds);

private:
  uint64_t now() const;

  Clock clock_;
  uint64_t tokenSeconds_ = kTokenSeconds;            // lifetime of an issued token (s)
  std::map<std::string, uint64_t> tokens_;           // token -> expiry (µs); expired ones
                                                     // are pruned when a token is issued
  std::map<std::string, ClientCredentials> clients_; // client id -> credentials
};

// The process-wide store.
OAuthStore& oauthStore();

// Logs a WARNING when the admin API runs on the built-in token (both
// credentials empty) or is closed to everyone (exactly one empty).
void warnIfNoClientCredentials(const std::string& clientId, const std::string& clientSecret);

} // namespace quorvex
