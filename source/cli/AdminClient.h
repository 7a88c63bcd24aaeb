// The HTTP side of the command-line admin client: the token request and the
// requests to the admin API of the gateway on this machine, over libcurl.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace quorvex {

class AdminClient {
public:
  // `baseUrl` is "http://127.0.0.1:<port>" (or https, when `caFile` names
  // the gateway's PEM certificate: only its public key is then trusted);
  // curl failures are written to `err`.
  AdminClient(std::string baseUrl, std::ostream& err, std::string caFile = "");

  // Asks "/oauth2/v1/token" for a token; prints "Failed" to `out` when refused.
  bool requestAccessToken(const std::string& clientId, const std::string& clientSecret,
                          std::ostream& out);

  // One request; true when it completed with a status from 200 to 299.
  bool makeHTTPRequest(const std::string& method, const std::string& url,
                       const std::vector<std::string>& headers, const std::string& body,
                       std::string& response, long& status, bool jsonContentType);
  bool makeGETHTTPRequest(const std::string& url, const std::vector<std::string>& headers,
                          std::string& response, long& status);

  const std::string& baseUrl() const { return baseUrl_; }
  const std::string& accessToken() const { return accessToken_; }
  // "Authorization: Bearer " and the token, as every command request carries.
  std::string authorizationHeader() const { return "Authorization: Bearer " + accessToken_; }

private:
  bool perform(const char* method, const std::string& url, const std::vector<std::string>& headers,
               const std::string* body, std::string& response, long& status);

  std::string baseUrl_;     // scheme, loopback address and port
  std::string pin_;         // HTTPS: libcurl pin of the one key trusted; empty for HTTP
  std::ostream& err_;       // curl error lines
  std::string accessToken_; // empty until a token was granted
  std::string received_;    // the write callback's buffer, emptied per request
};

} // namespace quorvex
