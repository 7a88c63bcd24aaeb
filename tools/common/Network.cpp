#include "common/Network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace quorvex::tools {
namespace {

sockaddr_in makeAddress(uint32_t address, uint16_t port) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_addr.s_addr = address;
  out.sin_port = htons(port);
  return out;
}

std::string describe(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

} // namespace

bool resolveIPv4(const std::string& host, uint32_t& addressNetworkOrder, std::string& error) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
    addressNetworkOrder = parsed.s_addr;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    error = "cannot resolve host '" + host + "': " + ::gai_strerror(rc);
    return false;
  }
  addressNetworkOrder = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return true;
}

int listenTcp(const std::string& host, uint16_t port, std::string& error) {
  uint32_t address = 0;
  if (!resolveIPv4(host, address, error)) {
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = describe("socket");
    return -1;
  }
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  const sockaddr_in local = makeAddress(address, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    error = describe(("bind " + host + ":" + std::to_string(port)).c_str());
    ::close(fd);
    return -1;
  }
  if (::listen(fd, 1024) != 0) {
    error = describe("listen");
    ::close(fd);
    return -1;
  }
  return fd;
}

uint16_t localPort(int descriptor) {
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}

int connectTcp(const std::string& host, uint16_t port, int timeoutMillis, std::string& error) {
  uint32_t address = 0;
  if (!resolveIPv4(host, address, error)) {
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = describe("socket");
    return -1;
  }
  const sockaddr_in remote = makeAddress(address, port);
  const std::string target = host + ":" + std::to_string(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) != 0) {
    if (errno != EINPROGRESS) {
      error = describe(("connect " + target).c_str());
      ::close(fd);
      return -1;
    }
    pollfd waiting{fd, POLLOUT, 0};
    const int ready = ::poll(&waiting, 1, timeoutMillis);
    int socketError = 0;
    socklen_t length = sizeof(socketError);
    if (ready <= 0) {
      error = "connect " + target + ": timed out";
      ::close(fd);
      return -1;
    }
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &socketError, &length);
    if (socketError != 0) {
      errno = socketError;
      error = describe(("connect " + target).c_str());
      ::close(fd);
      return -1;
    }
  }
  // PDUs are small and latency is measured: no Nagle delay.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  return fd;
}

} // namespace quorvex::tools

namespace quorvex::tools {

std::unique_ptr<smpp::SMPPSocketTls> handshakeTls(std::unique_ptr<smpp::SMPPSocketTls> socket,
                                                  int timeoutMillis, std::string& error) {
  if (socket == nullptr) {
    error = "no TLS session";
    return nullptr;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
  for (;;) {
    const smpp::SMPPSocketTls::Step step = socket->handshake();
    if (step == smpp::SMPPSocketTls::Step::kDone) {
      return socket;
    }
    if (step == smpp::SMPPSocketTls::Step::kFailed) {
      error = "TLS handshake failed: " + socket->failure();
      return nullptr;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd waiting{
        socket->descriptor(),
        static_cast<short>(step == smpp::SMPPSocketTls::Step::kWantRead ? POLLIN : POLLOUT), 0};
    if (left <= 0 || ::poll(&waiting, 1, static_cast<int>(left)) == 0) {
      error = "TLS handshake timed out";
      return nullptr;
    }
  }
}

} // namespace quorvex::tools
