#include "admin/HttpRequest.h"

#include <cctype>
#include <string_view>

namespace quorvex {

namespace {

constexpr std::string_view kAuthorization = "authorization";

// Adds one collected header line; lines without ":" carry nothing.
void addHeader(std::map<std::string, std::string>& headers, const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) {
    return;
  }
  std::string name = line.substr(0, colon);
  while (!name.empty() && name.back() == ' ') {
    name.pop_back();
  }
  const size_t valueStart = line.find_first_not_of(' ', colon + 1);
  std::string value = valueStart == std::string::npos ? std::string() : line.substr(valueStart);
  headers.emplace(std::move(name), std::move(value));
}

// Header lines are lowercased while collected, except the rest of an
// authorization line, so that the bearer token keeps its case.
void parseHeaders(const std::string& text, size_t pos,
                  std::map<std::string, std::string>& headers) {
  std::string line;
  bool keepCase = false;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c == '\n') {
      continue;
    }
    if (c == '\r') {
      if (line.empty()) {
        return;
      }
      addHeader(headers, line);
      line.clear();
      keepCase = false;
      continue;
    }
    line.push_back(keepCase ? c : static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    // The name shows up first as the line's end: checking the end alone
    // keeps the parse linear in the line's length.
    if (!keepCase && line.size() >= kAuthorization.size() &&
        line.compare(line.size() - kAuthorization.size(), kAuthorization.size(), kAuthorization) ==
            0) {
      keepCase = true;
    }
  }
}

} // namespace

std::optional<HttpRequest> parseHttpRequest(const std::string& text) {
  const size_t lineEnd = text.find('\r');
  const std::string requestLine = text.substr(0, lineEnd);
  HttpRequest request;
  const size_t space = requestLine.find(' ');
  if (space == std::string::npos) {
    return std::nullopt;
  }
  request.method = requestLine.substr(0, space);
  const size_t slash = requestLine.find('/');
  if (slash != std::string::npos) {
    const size_t pathEnd = requestLine.find(' ', slash);
    if (pathEnd == std::string::npos) {
      return std::nullopt;
    }
    request.path = requestLine.substr(slash, pathEnd - slash);
  }
  if (lineEnd != std::string::npos) {
    parseHeaders(text, lineEnd + 1, request.headers);
  }
  const size_t blank = text.find("\r\n\r\n");
  if (blank != std::string::npos) {
    request.headersComplete = true;
    request.body = text.substr(blank + 4);
  }
  return request;
}

std::map<std::string, std::string> parseFormBody(const std::string& body) {
  std::map<std::string, std::string> params;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) {
      end = body.size();
    }
    const std::string piece = body.substr(start, end - start);
    const size_t equals = piece.find('=');
    if (equals != std::string::npos) {
      params[piece.substr(0, equals)] = piece.substr(equals + 1);
    }
    start = end + 1;
  }
  return params;
}

} // namespace quorvex
