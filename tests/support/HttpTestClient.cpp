#include "support/HttpTestClient.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/TestProcess.h"

namespace quorvex::test {

namespace {

void parseReply(HttpTestReply& reply) {
  const size_t blank = reply.raw.find("\r\n\r\n");
  if (blank != std::string::npos) {
    reply.body = reply.raw.substr(blank + 4);
  }
  std::string head = reply.raw.substr(0, blank);
  std::erase(head, '\r');
  std::istringstream lines(head);
  std::getline(lines, reply.statusLine);
  std::string version;
  std::istringstream(reply.statusLine) >> version >> reply.status;
  for (std::string line; std::getline(lines, line);) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      std::ranges::transform(name, name.begin(), [](unsigned char c) { return std::tolower(c); });
      reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    }
  }
}

} // namespace

HttpTestReply httpExchange(uint16_t port, const std::vector<std::string>& pieces, int gapMillis,
                           bool halfClose) {
  const int fd = connectLoopback(port);
  if (fd < 0) {
    throw std::runtime_error("connect failed");
  }
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(i > 0 ? gapMillis : 0));
    // A blocking send returns once all of it is queued.
    ::send(fd, pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL);
  }
  if (halfClose) {
    ::shutdown(fd, SHUT_WR);
  }
  HttpTestReply reply;
  char buffer[65536];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
    reply.raw.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  parseReply(reply);
  return reply;
}

std::string request(const std::string& method, const std::string& path,
                    const std::vector<std::string>& headers, const std::string& body) {
  std::string text = method + " " + path + " HTTP/1.1\r\nHost: localhost\r\n";
  for (const auto& header : headers) {
    text += header + "\r\n";
  }
  if (!body.empty()) {
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  return text + "\r\n" + body;
}

std::string jsonRequest(const std::string& method, const std::string& path,
                        const std::string& token, const std::string& body) {
  return request(method, path, {"Content-Type: application/json", "Authorization: Bearer " + token},
                 body);
}

} // namespace quorvex::test
