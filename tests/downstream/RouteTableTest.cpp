// MT route rules: match types, evaluation order, malformed and invalid
// rules, the indexed look-up against a walk of the list, and the reuse of
// compiled tables (the order of global, ESME and
// account rules is pinned by the gateway's own submit test).
#include <random>

#include <gtest/gtest.h>

#include "downstream/RouteTable.h"
#include "downstream/RouteTableCache.h"

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
  json notString = rule("destination", "country", "44", "x");
  notString["criteria"]["value"] = 44;
  json targetNotString = rule("destination", "country", "44", "x");
  targetNotString["targetset"] = json::array();
  json noCriteria = {{"targetset", "x"}};
  const std::vector<json> rules = {json("text"),
                                   noCriteria,
                                   notString,
                                   targetNotString,
                                   rule("destination", "regex", "([", "bad"),
                                   rule("destination", "regex", "4.*", "good")};
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
  for (int list = 0; list < 400; ++list) {
    std::vector<json> rules;
    for (int i = pick(30); i > 0; --i) {
      const std::string target = "t" + std::to_string(i);
      const bool destination = pick(4) != 0;
      const std::string match = destination ? "destination" : "source";
      switch (pick(6)) {
      case 0:
        rules.push_back(rule(match, "exact", digits(4), target));
        break;
      case 1:
        rules.push_back(rule(match, "country", digits(3), target)); // invalid for a source
        break;
      case 2: {
        json ndc = rule(match, "ndc", digits(2), target);
        if (pick(5) != 0) {
          ndc["criteria"]["country"] = digits(2);
        }
        rules.push_back(ndc);
        break;
      }
      case 3:
        rules.push_back(rule(match, "regex", expressions[pick(7)], target));
        break;
      case 4:
        rules.push_back(rule(pick(2) ? "elsewhere" : match, "prefix", digits(2), target));
        break;
      default:
        rules.push_back(pick(2) != 0 ? rules.empty() ? json(5) : rules[pick(rules.size())]
                                     : json{{"targetset", target}});
        break;
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

TEST(RouteTableTest, CachesCompileOnlyWhenRulesChange) {
  TarnConfiguration config;
  config.globalRoutesMT = {rule("destination", "country", "44", "uk")};
  GlobalRouteCache global(config);
  const RouteTablePtr first = global.current();
  EXPECT_EQ(global.current(), first);
  config.configChangeStamp = 5; // a change that left the rules alone
  EXPECT_EQ(global.current(), first);
  config.globalRoutesMT.push_back(rule("destination", "country", "33", "fr"));
  ++config.globalRoutesRevision;
  EXPECT_EQ(global.current(), first); // unnoticed until the stamp moves
  config.configChangeStamp = 6;
  const RouteTablePtr second = global.current();
  EXPECT_NE(second, first);
  EXPECT_EQ(second->route(to("331"), "d"), "fr");

  // An ESME's rules are read again only after a change, and compiled only
  // when they differ; an account for one address holds only for it.
  config.confESME["e1"].routesMT = {rule("destination", "exact", "1", "one")};
  config.confESME[ESMERegistry::scopedKey("10.0.0.2", "e2")].routesMT = {
      rule("destination", "exact", "2", "two")};
  ESMERegistry registry(config);
  ESMERouteCache esme;
  const RouteTablePtr a = esme.get(registry, "10.0.0.1", "e1", 6);
  EXPECT_EQ(a->route(to("1"), "d"), "one");
  EXPECT_EQ(esme.get(registry, "10.0.0.9", "e1", 6), a);
  config.confESME["e1"].routesMT.push_back(rule("destination", "exact", "3", "three"));
  EXPECT_EQ(esme.get(registry, "10.0.0.1", "e1", 6), a); // unnoticed until the stamp moves
  const RouteTablePtr b = esme.get(registry, "10.0.0.1", "e1", 7);
  EXPECT_EQ(b->route(to("3"), "d"), "three");
  EXPECT_EQ(esme.get(registry, "10.0.0.1", "e1", 8), b); // same rules: not compiled again
  EXPECT_EQ(esme.get(registry, "10.0.0.2", "e2", 8)->route(to("2"), "d"), "two");
  EXPECT_EQ(esme.get(registry, "10.0.0.3", "e2", 8)->size(), 0u);
}

} // namespace
} // namespace quorvex
