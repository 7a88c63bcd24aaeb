// Compiled route tables reused until their rules change.
#include <gtest/gtest.h>

#include "downstream/RouteTableCache.h"

namespace quorvex {
namespace {

nlohmann::json exact(const std::string& value) {
  return {{"criteria", {{"match", "destination"}, {"type", "exact"}, {"value", value}}},
          {"targetset", value}};
}

TEST(RouteTableCacheTest, TablesAreCompiledAgainOnlyWhenTheirRulesChange) {
  TarnConfiguration config;
  config.globalRoutesMT = {exact("44")};
  GlobalRouteCache global(config);
  const RouteTablePtr first = global.current();
  EXPECT_EQ(global.current(), first);
  config.configChangeStamp = 5; // a change that left the rules alone
  EXPECT_EQ(global.current(), first);
  config.globalRoutesMT.push_back(exact("33"));
  ++config.globalRoutesRevision;
  EXPECT_EQ(global.current(), first); // unnoticed until the stamp moves
  config.configChangeStamp = 6;
  EXPECT_EQ(global.current()->size(), 2u);

  // An ESME's rules are read again only after a change, and compiled only
  // when they differ; an account for one address holds only for it.
  config.confESME["e1"].routesMT = {exact("1")};
  config.confESME[ESMERegistry::scopedKey("10.0.0.2", "e2")].routesMT = {exact("2"), exact("3"),
                                                                         exact("5")};
  ESMERegistry registry(config);
  ESMERouteCache esme;
  const RouteTablePtr a = esme.get(registry, "10.0.0.1", "e1", 6);
  EXPECT_EQ(a->size(), 1u);
  EXPECT_EQ(esme.get(registry, "10.0.0.9", "e1", 6), a);
  config.confESME["e1"].routesMT.push_back(exact("4"));
  EXPECT_EQ(esme.get(registry, "10.0.0.1", "e1", 6), a); // unnoticed until the stamp moves
  const RouteTablePtr b = esme.get(registry, "10.0.0.1", "e1", 7);
  EXPECT_EQ(b->size(), 2u);
  EXPECT_EQ(esme.get(registry, "10.0.0.1", "e1", 8), b); // same rules: not compiled again
  EXPECT_EQ(esme.get(registry, "10.0.0.2", "e2", 8)->size(), 3u);
  EXPECT_EQ(esme.get(registry, "10.0.0.3", "e2", 8)->size(), 0u);
}

} // namespace
} // namespace quorvex
