// Name resolution off the upstream loop: getaddrinfo may wait seconds for a
// DNS server, and the loop serves every SMSC bind meanwhile. Numeric
// addresses need no resolver and are answered at once; names go to one
// worker thread (started at the first name), whose results the loop takes
// after the wake-up the worker sends.
#pragma once

#include <netinet/in.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvex {

class HostResolver {
public:
  struct Result {
    uint64_t key;    // the caller's key of the request
    bool ok;         // an IPv4 address was found
    in_addr address; // that address
    int error;       // errno after a failure
  };

  // `notify` runs on the worker thread after each result is queued.
  explicit HostResolver(std::function<void()> notify);
  // Waits for a resolution in progress, then joins the worker.
  ~HostResolver();
  HostResolver(const HostResolver&) = delete;
  HostResolver& operator=(const HostResolver&) = delete;

  // A numeric IPv4 address, or false when `host` is a name.
  static bool numeric(const std::string& host, in_addr& out);
  // Queues `host` for the worker; the result comes back under `key`.
  void resolve(uint64_t key, const std::string& host);
  // Moves the results so far into `out`.
  void takeResults(std::vector<Result>& out);

private:
  struct Request {
    uint64_t key;     // caller's key
    std::string host; // name to resolve
  };

  void work();

  std::function<void()> notify_; // wakes the requesting loop
  std::mutex mutex_;             // guards everything below
  std::condition_variable wake_; // work queued or stopping
  std::deque<Request> requests_; // waiting for the worker
  std::vector<Result> results_;  // waiting for the loop
  bool stopping_ = false;        // the destructor runs
  std::thread worker_;           // started at the first request
};

} // namespace quorvex
