#include "admin/HttpConnection.h"

#include "admin/ConsolePage.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quorvex {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Reason phrases go into the status line; a line break there would end it.
std::string statusLineSafe(const std::string& reason) {
  std::string out = reason;
  for (char& c : out) {
    if (c == '\r' || c == '\n') {
      c = ' ';
    }
  }
  return out;
}

void setTimeout(int fd, int option, long millis) {
  struct timeval tv = {millis / 1000, static_cast<suseconds_t>((millis % 1000) * 1000)};
  setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv));
}

// Sends everything; a peer that stops reading for the send timeout ends it.
void sendAll(int fd, const std::string& data) {
  setTimeout(fd, SO_SNDTIMEO, kRequestTimeoutMillis);
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    sent += static_cast<size_t>(n);
  }
}

// The Content-Length of a header block, 0 when absent or unreadable.
size_t contentLength(const std::string& text, size_t headerEnd) {
  std::string lower = text.substr(0, headerEnd);
  for (char& c : lower) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const size_t at = lower.find("\ncontent-length:");
  if (at == std::string::npos) {
    return 0;
  }
  const char* digits = lower.c_str() + at + 16;
  while (*digits == ' ') {
    ++digits;
  }
  char* end = nullptr;
  const unsigned long long value = std::strtoull(digits, &end, 10);
  if (end == digits) {
    return 0;
  }
  // A length that cannot fit is over the limit anyway.
  return value > kMaxRequestBytes ? kMaxRequestBytes + 1 : static_cast<size_t>(value);
}

} // namespace

ReadResult readHttpRequest(int fd, std::string& text) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kRequestTimeoutMillis);
  char buffer[16384];
  size_t needed = 0; // total bytes once the headers are known, 0 before
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
            .count();
    if (left <= 0) {
      break;
    }
    setTimeout(fd, SO_RCVTIMEO, static_cast<long>(left));
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      if (text.empty()) {
        perror("recv");
        return ReadResult::Error;
      }
      break;
    }
    if (n == 0) {
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
    if (needed == 0) {
      const size_t blank = text.find("\r\n\r\n");
      if (blank != std::string::npos) {
        needed = blank + 4 + contentLength(text, blank);
      }
    }
    if (text.size() > kMaxRequestBytes || needed > kMaxRequestBytes) {
      return ReadResult::TooLarge;
    }
    if (needed != 0 && text.size() >= needed) {
      return ReadResult::Complete;
    }
  }
  return text.empty() ? ReadResult::Error : ReadResult::Complete;
}

void send_response(int fd, int status, const std::string& reason, const std::string& contentType,
                   const std::string& body) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + statusLineSafe(reason) +
                    "\r\nAccess-Control-Allow-Origin: *\r\nContent-Type: " + contentType +
                    "\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nConnection: close\r\n\r\n";
  out += body;
  sendAll(fd, out);
}

void send_options_response(int fd, int status, const std::string& reason, const std::string& body) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + statusLineSafe(reason) +
                    "\r\nAccess-Control-Allow-Origin: *\r\nAccess-Control-Allow-Headers: "
                    "*\r\nAccess-Control-Allow-Methods: *\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  out += body;
  sendAll(fd, out);
}

void sendFallbackReply(int fd) { sendAll(fd, "HTTP/1.1 200 OK\r\n\r\nOK"); }

void sendTooLargeReply(int fd) {
  sendAll(fd, "HTTP/1.1 413 Request too large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

void sendReply(int fd, const HttpReply& reply) {
  switch (reply.kind) {
  case HttpReply::Kind::None:
    return;
  case HttpReply::Kind::Normal:
    send_response(fd, reply.status, reply.reason, reply.contentType, reply.body);
    return;
  case HttpReply::Kind::Options:
    send_options_response(fd, reply.status, reply.reason, reply.body);
    return;
  case HttpReply::Kind::Fallback:
    sendFallbackReply(fd);
    return;
  case HttpReply::Kind::TooLarge:
    sendTooLargeReply(fd);
    return;
  case HttpReply::Kind::Console:
    serve_console_page(fd);
    return;
  }
}

} // namespace quorvex
