// The per-session TPS throttle window.
#include <gtest/gtest.h>

#include "downstream/ThrottleWindow.h"

namespace quorvex {

TEST(ThrottleWindowTest, LimitWindowAndZero) {
  constexpr uint64_t t0 = 1000000000;
  ThrottleWindow window;
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(window.admit(t0 + i * 1000, 10));
  }
  EXPECT_FALSE(window.admit(t0 + 900000, 10));
  EXPECT_FALSE(window.admit(t0 + 1000000, 10)); // exactly one second: same window
  EXPECT_TRUE(window.admit(t0 + 1100000, 10));
  EXPECT_EQ(window.closedCount(), 13u);
  EXPECT_EQ(window.closedTime(), t0 + 1100000);

  ThrottleWindow none;
  EXPECT_FALSE(none.admit(t0, 0));
  EXPECT_TRUE(none.admit(t0 + 1000001, 0)); // opens a window untested
  EXPECT_FALSE(none.admit(t0 + 1000002, 0));
}

} // namespace quorvex
