#include "support/TestProcess.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
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
#include <thread>
#include <utility>

namespace quorvex::test {
namespace {

int decodeStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

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
  return {high + 1, 65535};
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

GatewayProcess::GatewayProcess(const std::string& workDir, std::vector<std::string> args)
    : workDir_(workDir) {
  const std::string out = workDir + "/console.out";
  const std::string err = workDir + "/console.err";
  // Opened before the fork: a restart in the same directory must not let the
  // caller read the former process's output before the child truncates it.
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int efd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || efd < 0) {
    throw std::runtime_error("cannot create the console files in " + workDir);
  }
  pid_ = ::fork();
  if (pid_ < 0) {
    ::close(fd);
    ::close(efd);
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    if (::chdir(workDir.c_str()) != 0) {
      _exit(127);
    }
    ::dup2(fd, 1);
    ::dup2(efd, 2);
    ::close(fd);
    ::close(efd);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(QUORVEX_BINARY));
    for (auto& a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ::execv(QUORVEX_BINARY, argv.data());
    _exit(127);
  }
  ::close(fd);
  ::close(efd);
}

GatewayProcess::~GatewayProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

namespace {

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

} // namespace

std::string GatewayProcess::output() const { return readWhole(workDir_ + "/console.out"); }

std::string GatewayProcess::errors() const { return readWhole(workDir_ + "/console.err"); }

bool GatewayProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (output().find(text) != std::string::npos) {
      return true;
    }
    if (pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        exitStatus_ = decodeStatus(status);
        return output().find(text) != std::string::npos;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void GatewayProcess::signal(int signo) {
  if (pid_ > 0) {
    ::kill(pid_, signo);
  }
}

int GatewayProcess::waitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) {
    return exitStatus_;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      exitStatus_ = decodeStatus(status);
      return exitStatus_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

int runGateway(const std::string& workDir, std::vector<std::string> args,
               std::chrono::milliseconds timeout) {
  GatewayProcess process(workDir, std::move(args));
  return process.waitExit(timeout);
}

} // namespace quorvex::test
