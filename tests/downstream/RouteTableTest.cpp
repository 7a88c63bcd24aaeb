// MT route rules: match types, evaluation order, malformed and invalid
// rules, and the indexed look-up against a walk of the list (the order of
// global, ESME and account rules is pinned by the gateway's own submit test).
#include <random>

#include <gtest/gtest.h>

#include "downstream/RouteTable.h"

namespace quorvex {
namespace {

using nlohmann::json;

json rule(const std::string& match, const std::string& type, const std::string& value,
          const std::string& targetSet) {
  return {{"criteria", {{"match", match}, {"type", type}, {"value", value}}},
          {"targetset", targetSet}};
}

smpp::SubmitSMRecord to(const std::string& destination, const std::string& source = "1000") {
  smpp::SubmitSMRecord record;
  record.destination_addr = destination;
  record.source_addr = source;
  return record;
}

TEST(RouteTableTest, MatchTypes) {
  const std::vector<json> rules = {rule("destination", "regex", "44.*", "regex")};
  EXPECT_EQ(routeMT(to("447700900123"), "d", rules), "regex");
  EXPECT_EQ(routeMT(to("0447700900123"), "d", rules), "d"); // anchored at both ends

  json ndc = rule("destination", "ndc", "7700", "ndc");
  EXPECT_EQ(routeMT(to("447700900123"), "d", {ndc}), "d"); // no country: never
  ndc["criteria"]["country"] = "44";
  EXPECT_EQ(routeMT(to("447700900123"), "d", {ndc}), "ndc");
  EXPECT_EQ(routeMT(to("447800900123"), "d", {ndc}), "d");

  EXPECT_EQ(routeMT(to("1", "555"), "d", {rule("source", "exact", "555", "src")}), "src");
  EXPECT_EQ(routeMT(to("1", "5551"), "d", {rule("source", "regex", "55+1", "src")}), "src");
  EXPECT_EQ(routeMT(to("1", "555"), "d", {rule("source", "country", "5", "src")}), "d");
  EXPECT_EQ(routeMT(to("1"), "d", {rule("destination", "prefix", "1", "x")}), "d");
  EXPECT_EQ(routeMT(to("1"), "d", {rule("origin", "exact", "1", "x")}), "d");
  EXPECT_EQ(routeMT(to("+447700900123"), "d", {rule("destination", "country", "44", "x")}), "d");
  EXPECT_EQ(routeMT(to("999"), "d", {rule("destination", "country", "", "all")}), "all");
  EXPECT_EQ(routeMT(to("447700900123"), "d",
                    {rule("destination", "exact", "447700900123", "a"),
                     rule("destination", "country", "44", "b")}),
            "a");
}

TEST(RouteTableTest, MalformedAndInvalidRulesNeverMatch) {
  // A string, no criteria, a number for the value, an array for the target.
  std::vector<json> rules(4, rule("destination", "country", "44", "x"));
  rules[0] = "text";
  rules[1].erase("criteria");
  rules[2]["criteria"]["value"] = 44;
  rules[3]["targetset"] = json::array();
  rules.push_back(rule("destination", "regex", "([", "bad"));
  rules.push_back(rule("destination", "regex", "4.*", "good"));
  const RouteTable table(rules);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.route(to("447700900123"), "d"), "good");
  EXPECT_EQ(routeMT(to("447700900123"), "d", {}), "d");
}

TEST(RouteTableTest, IndexedLookupAgreesWithAWalkOfTheList) {
  // Small alphabets, so that values, prefixes and addresses collide often:
  // duplicates, nested prefixes, exact values that are also prefixes.
  std::mt19937 random(20261207);
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const auto digits = [&](int maxLength) {
    std::string text;
    for (int i = pick(maxLength + 1); i > 0; --i) {
      text += static_cast<char>('1' + pick(3));
    }
    return text;
  };
  const std::vector<std::string> expressions = {"1.*", "[12]2", "3+", ".", "(", "12|21", ""};
  const char* const types[] = {"exact", "country", "ndc", "regex", "prefix"};
  for (int list = 0; list < 400; ++list) {
    std::vector<json> rules;
    for (int i = pick(30); i > 0; --i) {
      const int type = pick(6);
      if (type == 5) { // malformed, or a duplicate
        rules.push_back(pick(2) == 0    ? json{{"targetset", "t"}}
                        : rules.empty() ? json(5)
                                        : rules[pick(static_cast<int>(rules.size()))]);
        continue;
      }
      // Sources have no country or ndc test; "elsewhere" matches nothing.
      const char* match = pick(8) == 0 ? "elsewhere" : pick(4) != 0 ? "destination" : "source";
      const std::string value = type == 3 ? expressions[pick(7)] : digits(4 - std::min(type, 2));
      rules.push_back(rule(match, types[type], value, "t" + std::to_string(i)));
      if (type == 2 && pick(5) != 0) {
        rules.back()["criteria"]["country"] = digits(2);
      }
    }
    const RouteTable table(rules);
    for (int probe = 0; probe < 40; ++probe) {
      const smpp::SubmitSMRecord record = to(digits(5), digits(3));
      ASSERT_EQ(table.route(record, "d"), table.routeByWalk(record, "d"))
          << "to " << record.destination_addr << " from " << record.source_addr << " with "
          << json(rules).dump();
    }
  }
}

} // namespace
} // namespace quorvex
