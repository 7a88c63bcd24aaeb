// MT route rules compiled for evaluation: each rule's criteria reduced to one
// test, regular expressions compiled once. A rule that cannot match (wrong
// combination, missing or non-string fields, invalid expression) is dropped
// at compilation, which is the same as never matching.
//
// The first rule in list order that matches wins. Exact values and prefixes
// are indexed by the text they match, each remembering its first position,
// so a look-up costs one hash probe per exact test and one per distinct
// prefix length, whatever the number of rules; regular expressions are tried
// in order, and only those placed before the best indexed match.
#pragma once

#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "smpp/SubmitSMRecord.h"

namespace quorvex {

class RouteTable {
public:
  RouteTable() = default;
  explicit RouteTable(const std::vector<nlohmann::json>& rules);

  RouteTable(const RouteTable&) = delete;
  RouteTable& operator=(const RouteTable&) = delete;

  // The target set of the first matching rule, or `defaultTargetSet`.
  const std::string& route(const smpp::SubmitSMRecord& record,
                           const std::string& defaultTargetSet) const;
  // The same answer by walking every rule in order: the reference route()
  // must agree with.
  const std::string& routeByWalk(const smpp::SubmitSMRecord& record,
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

  // Text -> position of the first rule testing for it. The keys view the
  // rules' own values, which never move once the table is built.
  using Index = std::unordered_map<std::string_view, uint32_t>;

  static std::optional<Rule> compile(const nlohmann::json& rule);
  static bool matches(const Rule& rule, const smpp::SubmitSMRecord& record);
  static bool test(const Rule& rule, const smpp::SubmitSMRecord& record);
  void index();
  static void note(Index& index, std::string_view key, uint32_t position);
  static uint32_t find(const Index& index, std::string_view key);

  std::vector<Rule> rules_;            // evaluation order
  std::vector<nlohmann::json> source_; // as configured
  Index destinationExact_;             // exact destination values
  Index sourceExact_;                  // exact source values
  Index destinationPrefix_;            // destination prefixes (country, ndc)
  std::vector<size_t> prefixLengths_;  // distinct lengths in destinationPrefix_, ascending
  std::vector<uint32_t> regexes_;      // positions of the regex rules, ascending
};

// routeMT of one list, compiling it on the spot (tests and one-off callers).
std::string routeMT(const smpp::SubmitSMRecord& record, const std::string& defaultTargetSet,
                    const std::vector<nlohmann::json>& rules);

} // namespace quorvex
