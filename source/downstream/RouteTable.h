// MT route rules compiled for evaluation: each rule's criteria reduced to one
// test, regular expressions compiled once. A rule that cannot match (wrong
// combination, missing or non-string fields, invalid expression) is dropped
// at compilation, which is the same as never matching.
#pragma once

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "smpp/SubmitSMRecord.h"

namespace quorvex {

class RouteTable {
public:
  RouteTable() = default;
  explicit RouteTable(const std::vector<nlohmann::json>& rules);

  // The target set of the first matching rule, or `defaultTargetSet`.
  const std::string& route(const smpp::SubmitSMRecord& record,
                           const std::string& defaultTargetSet) const;

  // The rule objects the table was compiled from.
  const std::vector<nlohmann::json>& source() const { return source_; }
  // Rules kept after compilation.
  size_t size() const { return rules_.size(); }

private:
  enum class Test {
    DestinationExact,
    DestinationPrefix,
    DestinationRegex,
    SourceExact,
    SourceRegex
  };

  struct Rule {
    Test test = Test::DestinationExact; // what is compared with what
    std::string value;                  // exact text or prefix (ndc: country then value)
    std::optional<std::regex> regex;    // compiled value of the regex tests
    std::string targetSet;              // result when the rule matches
  };

  static std::optional<Rule> compile(const nlohmann::json& rule);
  static bool matches(const Rule& rule, const smpp::SubmitSMRecord& record);
  static bool test(const Rule& rule, const smpp::SubmitSMRecord& record);

  std::vector<Rule> rules_;            // evaluation order
  std::vector<nlohmann::json> source_; // as configured
};

// routeMT of one list, compiling it on the spot (tests and one-off callers).
std::string routeMT(const smpp::SubmitSMRecord& record, const std::string& defaultTargetSet,
                    const std::vector<nlohmann::json>& rules);

} // namespace quorvex
