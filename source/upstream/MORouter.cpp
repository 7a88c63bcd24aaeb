#include "upstream/MORouter.h"

#include <mutex>

#include "config/TarnConfiguration.h"

namespace quorvex {

void MORouter::refresh() {
  // The stamp is read before the copy: a change landing in between makes
  // the next look-up copy again.
  const uint64_t stamp = config_.configChangeStamp.load();
  if (loaded_ && stamp == stamp_) {
    return;
  }
  std::map<std::string, std::string, std::less<>> exact;
  {
    std::lock_guard<std::mutex> lock(config_.lock());
    exact.insert(config_.numberOwners.begin(), config_.numberOwners.end());
  }
  std::vector<Pattern> patterns;
  for (const auto& [number, owner] : exact) {
    try {
      patterns.push_back(Pattern{std::regex(number, std::regex::ECMAScript), owner});
    } catch (const std::regex_error&) {
      // Not an expression: it can still match exactly.
    }
  }
  exact_ = std::move(exact);
  patterns_ = std::move(patterns);
  stamp_ = stamp;
  loaded_ = true;
}

std::string MORouter::lookup(std::string_view value) {
  refresh();
  auto it = exact_.find(value);
  if (it != exact_.end()) {
    return it->second;
  }
  for (const Pattern& p : patterns_) {
    if (std::regex_search(value.begin(), value.end(), p.expression)) {
      return p.owner;
    }
  }
  return {};
}

} // namespace quorvex
