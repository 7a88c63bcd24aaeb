// The on-disk message-id store: a mapping is found once, whether its batch
// was written yet or not, survives a reopen, and expires.
#include <gtest/gtest.h>

#include <string>

#include "support/TestProcess.h"
#include "tracker/DiskMessageIdStore.h"

namespace quorvex {
namespace {

uint64_t storeNow = 0; // µs returned by the test clock
uint64_t storeClock() { return storeNow; }

TEST(DiskMessageIdStoreTest, EachMappingIsTakenOnceSurvivesAReopenAndExpires) {
  storeNow = 1700000000000000ULL;
  test::TempDir dir;
  std::string error;
  const auto open = [&] {
    auto store = DiskMessageIdStore::open(dir.file("msgidstore"), 3600, error, &storeClock);
    EXPECT_NE(store, nullptr) << error;
    return store;
  };
  {
    auto store = open();
    // Taken straight after the put, before its batch is written.
    store->put(7, "fast", "esmeA");
    EXPECT_EQ(store->take(7, "fast"), "esmeA");
    store->put(7, "abc", "esmeA");
    store->put(8, "abc", "esmeB"); // same id, another target
    store->put(7, "gone", "esmeA");
    EXPECT_TRUE(store->sync());
    EXPECT_EQ(store->take(7, "gone"), "esmeA");
    EXPECT_EQ(store->take(7, "gone"), std::nullopt);
    // An id reused before its delete was written: the newer owner is taken,
    // and neither mapping outlives the take.
    store->put(7, "reused", "esmeOld");
    EXPECT_TRUE(store->sync());
    EXPECT_EQ(store->take(7, "reused"), "esmeOld");
    store->put(7, "reused", "esmeNew");
    EXPECT_EQ(store->take(7, "reused"), "esmeNew");
    // Another process (or gateway) cannot open the same store meanwhile.
    EXPECT_EQ(DiskMessageIdStore::open(dir.file("msgidstore"), 3600, error), nullptr);
    EXPECT_FALSE(error.empty());
  }
  auto store = open();
  EXPECT_EQ(store->take(7, "gone"), std::nullopt);
  EXPECT_EQ(store->take(7, "reused"), std::nullopt);
  EXPECT_EQ(store->take(8, "abc"), "esmeB");
  EXPECT_EQ(store->take(7, "abc"), "esmeA");
  EXPECT_EQ(store->take(7, "abc"), std::nullopt);

  // A mapping older than its lifetime is not found.
  store->put(1, "old", "esme");
  storeNow += 1800ULL * 1000000;
  store->put(1, "young", "esme");
  store->sync();
  storeNow += 1801ULL * 1000000;
  EXPECT_EQ(store->take(1, "old"), std::nullopt);
  EXPECT_EQ(store->take(1, "young"), "esme");
}

} // namespace
} // namespace quorvex
