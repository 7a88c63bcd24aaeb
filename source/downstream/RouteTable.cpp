#include "downstream/RouteTable.h"

#include <algorithm>

namespace quorvex {
namespace {

// The string at `key`, or nothing when it is absent or not a string.
std::optional<std::string> stringAt(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) {
    return std::nullopt;
  }
  return it->get<std::string>();
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

RouteTable::RouteTable(const std::vector<nlohmann::json>& rules) : source_(rules) {
  rules_.reserve(rules.size());
  for (const nlohmann::json& rule : rules) {
    if (std::optional<Rule> compiled = compile(rule)) {
      rules_.push_back(std::move(*compiled));
    }
  }
  index();
}

void RouteTable::note(Index& index, std::string_view key, uint32_t position) {
  index.emplace(key, position); // an earlier rule for the same text keeps its place
}

uint32_t RouteTable::find(const Index& index, std::string_view key) {
  if (index.empty()) {
    return UINT32_MAX; // most tables index one kind of rule: no hashing for the others
  }
  const auto found = index.find(key);
  return found == index.end() ? UINT32_MAX : found->second;
}

void RouteTable::index() {
  for (uint32_t position = 0; position < rules_.size(); ++position) {
    const Rule& rule = rules_[position];
    switch (rule.test) {
    case Test::DestinationExact:
      note(destinationExact_, rule.value, position);
      break;
    case Test::SourceExact:
      note(sourceExact_, rule.value, position);
      break;
    case Test::DestinationPrefix:
      note(destinationPrefix_, rule.value, position);
      if (std::find(prefixLengths_.begin(), prefixLengths_.end(), rule.value.size()) ==
          prefixLengths_.end()) {
        prefixLengths_.push_back(rule.value.size());
      }
      break;
    case Test::DestinationRegex:
    case Test::SourceRegex:
      regexes_.push_back(position);
      break;
    }
  }
  std::sort(prefixLengths_.begin(), prefixLengths_.end());
}

std::optional<RouteTable::Rule> RouteTable::compile(const nlohmann::json& rule) {
  if (!rule.is_object()) {
    return std::nullopt;
  }
  const auto criteria = rule.find("criteria");
  if (criteria == rule.end() || !criteria->is_object()) {
    return std::nullopt;
  }
  const std::optional<std::string> match = stringAt(*criteria, "match");
  const std::optional<std::string> type = stringAt(*criteria, "type");
  std::optional<std::string> value = stringAt(*criteria, "value");
  std::optional<std::string> targetSet = stringAt(rule, "targetset");
  if (!match || !type || !value || !targetSet) {
    return std::nullopt;
  }
  Rule out;
  out.targetSet = std::move(*targetSet);
  const bool destination = *match == "destination";
  if (!destination && *match != "source") {
    return std::nullopt;
  }
  if (*type == "exact") {
    out.test = destination ? Test::DestinationExact : Test::SourceExact;
    out.value = std::move(*value);
  } else if (*type == "regex") {
    out.test = destination ? Test::DestinationRegex : Test::SourceRegex;
    try {
      out.regex.emplace(*value, std::regex::ECMAScript);
    } catch (const std::regex_error&) {
      return std::nullopt; // an invalid expression never matches
    }
  } else if (destination && *type == "country") {
    out.test = Test::DestinationPrefix;
    out.value = std::move(*value);
  } else if (destination && *type == "ndc") {
    const std::optional<std::string> country = stringAt(*criteria, "country");
    if (!country) {
      return std::nullopt;
    }
    out.test = Test::DestinationPrefix;
    out.value = *country + *value;
  } else {
    return std::nullopt;
  }
  return out;
}

bool RouteTable::matches(const Rule& rule, const smpp::SubmitSMRecord& record) {
  try {
    return test(rule, record);
  } catch (const std::regex_error&) {
    return false; // an expression too complex for this input does not match it
  }
}

bool RouteTable::test(const Rule& rule, const smpp::SubmitSMRecord& record) {
  switch (rule.test) {
  case Test::DestinationExact:
    return record.destination_addr == rule.value;
  case Test::DestinationPrefix:
    return startsWith(record.destination_addr, rule.value);
  case Test::DestinationRegex:
    return std::regex_match(record.destination_addr, *rule.regex);
  case Test::SourceExact:
    return record.source_addr == rule.value;
  case Test::SourceRegex:
    return std::regex_match(record.source_addr, *rule.regex);
  }
  return false;
}

const std::string& RouteTable::route(const smpp::SubmitSMRecord& record,
                                     const std::string& defaultTargetSet) const {
  const std::string_view destination = record.destination_addr;
  uint32_t best = std::min(find(destinationExact_, destination),
                           find(sourceExact_, std::string_view(record.source_addr)));
  for (const size_t length : prefixLengths_) {
    if (length > destination.size()) {
      break;
    }
    best = std::min(best, find(destinationPrefix_, destination.substr(0, length)));
  }
  // Only an expression placed before the best indexed match can beat it.
  for (const uint32_t position : regexes_) {
    if (position >= best) {
      break;
    }
    if (matches(rules_[position], record)) {
      return rules_[position].targetSet;
    }
  }
  return best == UINT32_MAX ? defaultTargetSet : rules_[best].targetSet;
}

const std::string& RouteTable::routeByWalk(const smpp::SubmitSMRecord& record,
                                           const std::string& defaultTargetSet) const {
  for (const Rule& rule : rules_) {
    if (matches(rule, record)) {
      return rule.targetSet;
    }
  }
  return defaultTargetSet;
}

std::string routeMT(const smpp::SubmitSMRecord& record, const std::string& defaultTargetSet,
                    const std::vector<nlohmann::json>& rules) {
  return RouteTable(rules).route(record, defaultTargetSet);
}

} // namespace quorvex
