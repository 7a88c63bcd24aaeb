#include "support/TestProcess.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
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
  std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
  out << content;
}

std::string TempDir::read(const std::string& name) const {
  std::ifstream in(file(name), std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
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
  std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
  in >> low >> high;
  if (low - 1 >= 12000) {
    return {10000, low - 1};
  }
  if (high <= 63535) {
    return {high + 1, 65535};
  }
  // No room outside the range: take ports inside it and rely on the check.
  return {10000, 65535};
}

bool bindable(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
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

} // namespace quorvex::test
