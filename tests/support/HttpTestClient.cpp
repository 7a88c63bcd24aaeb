#include "support/HttpTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace quorvex::test {

namespace {

void parseReply(HttpTestReply& reply) {
  const size_t lineEnd = reply.raw.find("\r\n");
  reply.statusLine = reply.raw.substr(0, lineEnd);
  const size_t first = reply.statusLine.find(' ');
  const size_t second = reply.statusLine.find(' ', first + 1);
  if (first != std::string::npos) {
    reply.status = std::atoi(reply.statusLine.c_str() + first + 1);
    reply.reason = second == std::string::npos ? "" : reply.statusLine.substr(second + 1);
  }
  const size_t blank = reply.raw.find("\r\n\r\n");
  if (blank == std::string::npos) {
    return;
  }
  reply.body = reply.raw.substr(blank + 4);
  size_t pos = lineEnd + 2;
  while (pos < blank) {
    size_t end = reply.raw.find("\r\n", pos);
    const std::string line = reply.raw.substr(pos, end - pos);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    }
    pos = end + 2;
  }
}

} // namespace

int connectLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return -1;
  }
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

HttpTestReply httpExchange(uint16_t port, const std::vector<std::string>& pieces, int gapMillis,
                           bool halfClose) {
  const int fd = connectLoopback(port);
  if (fd < 0) {
    throw std::runtime_error("connect failed");
  }
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0 && gapMillis > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(gapMillis));
    }
    size_t sent = 0;
    while (sent < pieces[i].size()) {
      const ssize_t n = send(fd, pieces[i].data() + sent, pieces[i].size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        break;
      }
      sent += static_cast<size_t>(n);
    }
  }
  if (halfClose) {
    shutdown(fd, SHUT_WR);
  }
  HttpTestReply reply;
  char buffer[65536];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) {
      break;
    }
    reply.raw.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
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
