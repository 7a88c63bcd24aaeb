// A raw HTTP/1.1 client for the admin API tests: sends bytes as given
// (optionally in several TCP segments) and reads the reply until close.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quorvex::test {

struct HttpTestReply {
  std::string raw;                            // every byte received
  std::string statusLine;                     // first line without CRLF
  int status = 0;                             // status code
  std::map<std::string, std::string> headers; // lowercased names
  std::string body;                           // after the empty line
};

// Sends `pieces` one by one, waiting `gapMillis` between them, then reads
// until the server closes; with `halfClose` the server sees the end of the
// request stream at once.
HttpTestReply httpExchange(uint16_t port, const std::vector<std::string>& pieces, int gapMillis = 0,
                           bool halfClose = false);
inline HttpTestReply httpExchange(uint16_t port, const std::string& request) {
  return httpExchange(port, std::vector<std::string>{request});
}

// A request with the given method, path, headers and body; Content-Length is
// added when the body is not empty.
std::string request(const std::string& method, const std::string& path,
                    const std::vector<std::string>& headers = {}, const std::string& body = "");

// A JSON request carrying "Authorization: Bearer <token>".
std::string jsonRequest(const std::string& method, const std::string& path,
                        const std::string& token, const std::string& body);

} // namespace quorvex::test
