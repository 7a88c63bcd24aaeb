#include "downstream/IPWhitelist.h"

#include <time.h>

#include <fstream>
#include <regex>

#include "app/Log.h"

namespace quorvex {
namespace {

const char* const kClass = "SMPPServer";

int64_t monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec);
}

} // namespace

std::string trimBlanks(const std::string& text) {
  const char* const blanks = " \t\n\r";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) {
    return std::string();
  }
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

IPWhitelist::IPWhitelist(const void* logObject, MonotonicClock clock)
    : logObject_(logObject), clock_(clock ? clock : monotonicSeconds) {}

void IPWhitelist::load() {
  if (fileName_.empty()) {
    return;
  }
  const int64_t now = clock_();
  if (loaded_ && now - lastLoad_ < kReloadSeconds) {
    return;
  }
  std::ifstream file(fileName_);
  if (!file) {
    return;
  }
  static const std::regex kAddress(R"((\d{1,3}\.){3}\d{1,3})");
  std::set<std::string> fresh;
  std::string line;
  while (std::getline(file, line)) {
    line = trimBlanks(line);
    if (line.empty() || line[0] == '#') {
      continue;
    }
    if (line == "*" || std::regex_match(line, kAddress)) {
      fresh.insert(line);
    }
  }
  for (const std::string& old : entries_) {
    if (fresh.count(old) == 0) {
      logApplication(LOG_INFO, logObject_, kClass, "loadIPWhitelist", "Removed IP %s", old.c_str());
    }
  }
  for (const std::string& added : fresh) {
    if (entries_.count(added) == 0) {
      logApplication(LOG_INFO, logObject_, kClass, "loadIPWhitelist", "Added IP %s", added.c_str());
    }
  }
  entries_.swap(fresh);
  loaded_ = true;
  lastLoad_ = now;
}

bool IPWhitelist::contains(const std::string& address) const {
  return entries_.count("*") != 0 || entries_.count(address) != 0;
}

void IPWhitelist::add(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.insert(trimBlanks(address));
}

} // namespace quorvex
