// One admin HTTP request as the server parses it.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace quorvex {

struct HttpRequest {
  std::string method;                         // request line before its first space, case kept
  std::string path;                           // from the first "/" to the next space, undecoded
  std::map<std::string, std::string> headers; // lowercased name -> value; first occurrence wins
  bool headersComplete = false;               // the text holds the empty line after the headers
  std::string body;                           // text after the first "\r\n\r\n"
};

// Parses received text. Empty when the request line cannot be parsed (no
// space, or a "/" without a space after it): such a request gets no answer.
std::optional<HttpRequest> parseHttpRequest(const std::string& text);

// Splits a form body at "&" into name=value pairs, without percent-decoding;
// a later duplicate replaces an earlier one, pieces without "=" are skipped.
std::map<std::string, std::string> parseFormBody(const std::string& body);

} // namespace quorvex
