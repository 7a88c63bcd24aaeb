// Reading one request from, and writing one reply to, an accepted admin
// HTTP connection.
#pragma once

#include <cstddef>
#include <string>

namespace quorvex {

// What the router answers; the connection turns it into bytes.
struct HttpReply {
  enum class Kind {
    None,     // close without answering (unparsable request line, read error)
    Normal,   // send_response
    Options,  // send_options_response (CORS preflight)
    Fallback, // the fixed "HTTP/1.1 200 OK" reply
    TooLarge, // request over the size limit
    Console,  // serve_console_page
  };
  Kind kind = Kind::Fallback; // which reply to send
  int status = 200;           // status code
  std::string reason = "OK";  // reason phrase
  std::string contentType;    // Content-Type of a normal reply
  std::string body;           // the whole body, never cut
};

// Bounds of one request: headers and Content-Length body together, and the
// time the peer has to send them.
inline constexpr size_t kMaxRequestBytes = 1024 * 1024;
inline constexpr int kRequestTimeoutMillis = 3000;

enum class ReadResult {
  Complete, // headers and declared body arrived, or the peer stopped sending
  Error,    // nothing usable arrived (timeout or error before any byte)
  TooLarge, // more than kMaxRequestBytes
};

// Reads until the headers are complete and, with a Content-Length, the body
// too; a peer that stops sending (EOF or the timeout) after some bytes leaves
// what arrived as the request.
ReadResult readHttpRequest(int fd, std::string& text);

void send_response(int fd, int status, const std::string& reason, const std::string& contentType,
                   const std::string& body);
void send_options_response(int fd, int status, const std::string& reason, const std::string& body);
void sendFallbackReply(int fd);
void sendTooLargeReply(int fd);

// Sends `reply` as its kind says.
void sendReply(int fd, const HttpReply& reply);

} // namespace quorvex
