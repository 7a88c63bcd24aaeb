// The account look-ups of a bind and a submit.
#include <gtest/gtest.h>

#include "downstream/ESMERegistry.h"

namespace quorvex {

TEST(ESMERegistryTest, PlainNameThenAddressScopedAccountThenDefaults) {
  TarnConfiguration config;
  ConfESME& plain = config.confESME["esme1"];
  plain.password = "pw";
  plain.tpsLimit = 10;
  plain.sharedTargetSetId = "set1";
  ConfESME scoped = plain;
  scoped.password = "scoped";
  scoped.sharedTargetSetId = "set2";
  config.confESME["[192.0.2.7]esme2"] = scoped;
  config.confESME["[192.0.2.7]esme1"] = scoped;
  ESMERegistry registry(config);

  EXPECT_EQ(registry.getESMEAuth("192.0.2.7", "esme1").password, "pw"); // the plain name wins
  EXPECT_EQ(registry.getESMEAuth("192.0.2.7", "esme2").password, "scoped");
  EXPECT_EQ(registry.getESMETargetSet("192.0.2.7", "esme2"), "set2");
  EXPECT_EQ(registry.getESMETargetSet("192.0.2.8", "esme2"), "default");
  EXPECT_EQ(registry.getESMETPSLimit("192.0.2.8", "esme2"), 65535);
  EXPECT_EQ(registry.getESMETPSLimit("192.0.2.8", "esme1"), 10);
  const ESMEAuth stranger = registry.getESMEAuth("192.0.2.8", "nobody");
  // default_binding_enabled absent: binding is enabled.
  EXPECT_EQ(std::tuple(stranger.bindingEnabled, stranger.password), std::tuple(true, ""));
  config.jconfig["base"]["default_binding_enabled"] = false;
  EXPECT_FALSE(registry.getESMEAuth("192.0.2.8", "nobody").bindingEnabled);

  std::string set;
  EXPECT_EQ(registry.getSubmitSettings("esme2", "[192.0.2.7]esme2", set), 10);
  EXPECT_EQ(set, "set2");
  EXPECT_EQ(registry.getSubmitSettings("x", "[192.0.2.7]x", set), 65535);
  EXPECT_EQ(set, "default");
}

} // namespace quorvex
