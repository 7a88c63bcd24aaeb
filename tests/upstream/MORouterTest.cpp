// The owner of an MO message's number.
#include <gtest/gtest.h>

#include "config/TarnConfiguration.h"
#include "upstream/MORouter.h"

namespace quorvex {

TEST(MORouterTest, ExactNumberFirstThenValidExpressionsAndChangesOnceStamped) {
  TarnConfiguration config;
  MORouter router(config);
  config.numberOwners = {{"100", "owner100"}, {"1", "owner1"}};
  EXPECT_EQ(router.lookup("100"), "owner100");
  // Searched anywhere, first in ascending order: "1" before "100".
  EXPECT_EQ(router.lookup("x100y"), "owner1");
  EXPECT_EQ(router.lookup("999"), "");

  config.numberOwners = {{"(12", "broken"}, {"^4477", "uk"}};
  EXPECT_EQ(router.lookup("100"), "owner100"); // unseen until the stamp moves
  config.configChangeStamp.store(42);
  // An invalid expression is skipped, but still matches exactly.
  EXPECT_EQ(router.lookup("447700900123"), "uk");
  EXPECT_EQ(router.lookup("(12"), "broken");
  EXPECT_EQ(router.lookup("x(12"), "");
}

} // namespace quorvex
