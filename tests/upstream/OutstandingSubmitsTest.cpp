// The table of submits waiting for their response on one upstream session.
#include <gtest/gtest.h>

#include "upstream/OutstandingSubmits.h"

namespace quorvex {
namespace {

SubmitOrigin origin(uint32_t esmeSequence) { return {esmeSequence, 0, 0, false, nullptr}; }

TEST(OutstandingSubmitsTest, RingGrowsWithTheWindowAndKeepsEveryEntry) {
  OutstandingSubmits table;
  for (uint32_t seq = 1; seq <= 1000; ++seq) {
    table.add(seq, origin(seq), seq);
  }
  for (uint32_t seq = 1000; seq >= 1; --seq) {
    EXPECT_EQ(table.oldestSent(), 1u);
    ASSERT_EQ(table.take(seq).value_or(SubmitOrigin{}).esmeSequence, seq);
  }
  EXPECT_EQ(table.oldestSent(), 0u);
}

TEST(OutstandingSubmitsTest, EntriesOutlivingTheirRingCellMoveAsideAndAreTakenOnce) {
  OutstandingSubmits table(4);
  for (uint32_t seq = 1; seq <= 10; ++seq) {
    table.add(seq, origin(seq + 100), seq * 10);
  }
  EXPECT_EQ(table.size(), 10u);
  for (uint32_t seq = 1; seq <= 10; ++seq) {
    EXPECT_EQ(table.oldestSent(), seq * 10);
    EXPECT_EQ(table.take(seq).value_or(SubmitOrigin{}).esmeSequence, seq + 100) << seq;
    EXPECT_FALSE(table.take(seq).has_value());
  }
  EXPECT_EQ(table.oldestSent(), 0u);

  // A lost bind hands back every waiting entry once, ring and overflow alike.
  for (uint32_t seq = 20; seq < 30; ++seq) {
    table.add(seq, {seq, 7, 0x103, true, nullptr}, 1000 - seq);
  }
  table.take(25);
  const auto all = table.takeAll();
  ASSERT_EQ(all.size(), 9u);
  EXPECT_EQ(all.front().first, 29u); // oldest first
  EXPECT_EQ(all.front().second.esmeCommand, 0x103u);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.oldestSent(), 0u);
  EXPECT_TRUE(table.takeAll().empty());

  // Across the wrap from 0x7FFFFFFF to 1 the oldest is still found at once.
  table.add(0x7FFFFFFE, origin(1), 50);
  table.add(0x7FFFFFFF, origin(2), 60);
  table.add(1, origin(3), 70);
  table.take(0x7FFFFFFE);
  table.take(0x7FFFFFFF);
  EXPECT_EQ(table.oldestSent(), 70u);
}

} // namespace
} // namespace quorvex
