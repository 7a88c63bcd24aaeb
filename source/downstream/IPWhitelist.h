// The addresses that are never blocked: the whitelist file, reloaded at
// most every 15 seconds when a connection arrives, plus addresses added at
// run time. "*" in the file whitelists every address.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace quorvex {

class IPWhitelist {
public:
  using MonotonicClock = int64_t (*)(); // whole seconds
  static constexpr int64_t kReloadSeconds = 15;

  // `logObject` is the server the log lines name.
  explicit IPWhitelist(const void* logObject, MonotonicClock clock = nullptr);

  // Guards everything below; callers hold it around load() and contains().
  std::mutex& mutex() { return mutex_; }

  void setFileName(const std::string& name) { fileName_ = name; }
  // Reloads the file unless it was loaded less than 15 s ago; an unreadable
  // file keeps the current list and is tried again on the next call.
  void load();
  // The address is listed, or "*" is.
  bool contains(const std::string& address) const;
  // Adds an address (blanks trimmed) until the next reload replaces the list.
  void add(const std::string& address);
  const std::set<std::string>& entries() const { return entries_; }

private:
  const void* logObject_;         // object named in the log lines
  MonotonicClock clock_;          // seconds of the monotonic clock
  std::mutex mutex_;              // guards the members below
  std::string fileName_;          // empty = no file
  std::set<std::string> entries_; // dotted addresses and "*"
  bool loaded_ = false;           // a load has succeeded
  int64_t lastLoad_ = 0;          // clock_ seconds of the last successful load
};

// Blanks, tabs, newlines and carriage returns removed at both ends.
std::string trimBlanks(const std::string& text);

} // namespace quorvex
