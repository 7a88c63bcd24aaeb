#include "support/TestProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <utility>

namespace quorvex::test {

TempDir::TempDir() {
  char pattern[] = "/tmp/quorvex-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const {
  std::ofstream(file(name), std::ios::binary | std::ios::trunc) << content;
}

bool TempDir::exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

std::vector<std::string> TempDir::list() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// The kernel hands out ports of ip_local_port_range to outgoing connections
// (and to bind(port 0)), so a port learned there can be taken by any parallel
// test's connect() before the gateway listens on it. Ports drawn outside that
// range can only clash with another test drawing the same number.
std::pair<int, int> listenPortRange() {
  int low = 32768;
  int high = 60999;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
  if (low - 1 >= 12000) {
    return {10000, low - 1};
  }
  // With no room outside the range, ports inside it are taken and checked.
  return {high <= 63535 ? high + 1 : 10000, 65535};
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

bool bindable(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = loopback(port);
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}

} // namespace

uint16_t freePort() {
  static std::mutex mutex;
  static std::set<uint16_t> handedOut; // never give one test process the same port twice
  static std::mt19937 random(static_cast<unsigned>(::getpid()) ^
                             static_cast<unsigned>(std::random_device{}()));
  std::lock_guard<std::mutex> lock(mutex);
  const auto [low, high] = listenPortRange();
  std::uniform_int_distribution<int> pick(low, high);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const auto port = static_cast<uint16_t>(pick(random));
    if (handedOut.count(port) == 0 && bindable(port)) {
      handedOut.insert(port);
      return port;
    }
  }
  throw std::runtime_error("no free port");
}

int connectLoopback(uint16_t port, const std::string& source, int receiveBuffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  // Before connect, so the window the peer sees is small from the start.
  if (receiveBuffer > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  const sockaddr_in remote = loopback(port);
  if ((!source.empty() && (::inet_aton(source.c_str(), &local.sin_addr) == 0 ||
                           ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0)) ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

} // namespace quorvex::test
