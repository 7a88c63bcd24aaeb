// MO number look-up: which ESME owns a mobile-originated message, by the
// configuration's MO number table (number -> ESME system id).
//
// The table is copied and its numbers compiled as regular expressions once
// per configuration change (the change stamp), not once per message.
// Used by the upstream thread only.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex {

class TarnConfiguration;

class MORouter {
public:
  explicit MORouter(TarnConfiguration& config) : config_(config) {}

  // The owner of `value`: an exact number wins; otherwise the first number,
  // in ascending order, that is found anywhere in `value` as an ECMAScript
  // expression. Numbers that are no valid expression are skipped. Empty
  // when nothing matches.
  std::string lookup(std::string_view value);

private:
  struct Pattern {
    std::regex expression; // the number compiled
    std::string owner;     // ESME system id
  };

  void refresh();

  TarnConfiguration& config_;                             // MO number table and change stamp
  bool loaded_ = false;                                   // the copy below exists
  uint64_t stamp_ = 0;                                    // change stamp of the copy
  std::map<std::string, std::string, std::less<>> exact_; // number -> owner
  std::vector<Pattern> patterns_;                         // valid numbers, ascending
};

} // namespace quorvex
