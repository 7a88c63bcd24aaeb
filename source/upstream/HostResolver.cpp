#include "upstream/HostResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>

namespace quorvex {

HostResolver::HostResolver(std::function<void()> notify) : notify_(std::move(notify)) {}

HostResolver::~HostResolver() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) {
    worker_.join();
  }
}

bool HostResolver::numeric(const std::string& host, in_addr& out) {
  return ::inet_pton(AF_INET, host.c_str(), &out) == 1;
}

void HostResolver::resolve(uint64_t key, const std::string& host) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back({key, host});
  if (!worker_.joinable()) {
    worker_ = std::thread(&HostResolver::work, this);
  }
  wake_.notify_one();
}

void HostResolver::takeResults(std::vector<Result>& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  out.insert(out.end(), results_.begin(), results_.end());
  results_.clear();
}

void HostResolver::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !requests_.empty(); });
    if (stopping_) {
      return;
    }
    const Request request = std::move(requests_.front());
    requests_.pop_front();
    lock.unlock();
    // getaddrinfo rather than gethostbyname: the latter's static result is
    // not safe while other threads resolve names.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    Result result{request.key, false, {}, 0};
    if (::getaddrinfo(request.host.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
      result.ok = true;
      result.address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
      ::freeaddrinfo(found);
    } else {
      result.error = errno != 0 ? errno : EHOSTUNREACH;
    }
    lock.lock();
    results_.push_back(result);
    lock.unlock();
    notify_();
    lock.lock();
  }
}

} // namespace quorvex
