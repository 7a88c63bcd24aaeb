// MT route rules: match types, evaluation order, malformed and invalid
// rules, and the reuse of compiled tables (the order of global, ESME and
// account rules is pinned by the gateway's own submit test).
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

TEST(RouteTableTest, CachesCompileOnlyWhenRulesChange) {
  TarnConfiguration config;
  config.globalRoutesMT = {rule("destination", "country", "44", "uk")};
  GlobalRouteCache global(config);
  const RouteTablePtr first = global.current();
  EXPECT_EQ(global.current(), first);
  config.configChangeStamp = 5; // a change that left the rules alone
  EXPECT_EQ(global.current(), first);
  config.globalRoutesMT.push_back(rule("destination", "country", "33", "fr"));
  EXPECT_EQ(global.current(), first); // unnoticed until the stamp moves
  config.configChangeStamp = 6;
  const RouteTablePtr second = global.current();
  EXPECT_NE(second, first);
  EXPECT_EQ(second->route(to("331"), "d"), "fr");

  ESMERouteCache esme;
  const std::vector<json> rules = {rule("destination", "exact", "1", "one")};
  const RouteTablePtr a = esme.get("e1", rules);
  EXPECT_EQ(esme.get("e1", rules), a);
  EXPECT_NE(esme.get("e1", {rule("destination", "exact", "2", "two")}), a);
  EXPECT_EQ(esme.get("e2", {})->size(), 0u);
}

} // namespace
} // namespace quorvex
