// Receipts held until the response naming their message id arrives.
#include <gtest/gtest.h>

#include "tracker/SmscId.h"
#include "upstream/UnknownReceipts.h"

namespace quorvex {

TEST(UnknownReceiptsTest, HeldUnderTheTargetForAnyBindOfItUntilTooOld) {
  UnknownReceipts table;
  HeldReceipt held;
  held.body = {1, 2, 3};
  held.arrived = 1000;
  EXPECT_EQ(table.add(smscId("T", 0, false), "m1", held), 1u);
  EXPECT_FALSE(table.take(smscId("U", 0, false), "m1").has_value());
  const auto found = table.take(smscId("T", 3, false), "m1");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->body, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(table.size(), 0u);

  // Expiry drops only receipts older than the maximum age.
  HeldReceipt young;
  young.arrived = 5000;
  table.add(1 << 8, "old", held); // arrived at 1000
  table.add(1 << 8, "young", young);
  table.add(1 << 8, "taken", held);
  table.take(1 << 8, "taken");
  EXPECT_EQ(table.expire(6000, 4000), 1u);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.dropped(), 1u);
  // Held again later: the new arrival time counts.
  young.arrived = 9000;
  table.add(1 << 8, "young", young);
  EXPECT_EQ(table.expire(10000, 4000), 0u);
  EXPECT_EQ(table.expire(14000, 4000), 1u);
  EXPECT_EQ(table.size(), 0u);
}

} // namespace quorvex
