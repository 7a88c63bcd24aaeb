#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "metrics/MetricEvents.h"
#include "support/TestProcess.h"
#include "tracker/SmscId.h"
#include "tracker/Tracker.h"

namespace quorvex {
namespace {

std::string u64(uint64_t v) {
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<char>(v >> (8 * i)); // little-endian
  }
  return bytes;
}

std::string entry(uint64_t target, const std::string& id, const std::string& esme) {
  return u64(target) + u64(id.size()) + id + u64(esme.size()) + esme;
}

class TrackerFileTest : public ::testing::Test {
protected:
  TrackerFileTest() : events_(registry_) { EXPECT_EQ(chdir(dir_.path().c_str()), 0); }
  test::TempDir dir_;
  MetricsRegistry registry_;
  MetricEvents events_;
  const uint64_t smscid_ = smscId("smscA", 1, false);
};

TEST_F(TrackerFileTest, DestructorSavesExactLayoutAndConstructorLoadsIt) {
  {
    Tracker tracker(Tracker::kFileName, events_);
    tracker.addMessageIDMapping(smscid_, "msg-1", "esmeOne");
  }
  EXPECT_EQ(dir_.read("msgtrack"), u64(1) + entry(0x29ef0741, "msg-1", "esmeOne"));
  {
    Tracker tracker(Tracker::kFileName, events_);
    for (int i = 0; i < 100; ++i) {
      tracker.addMessageIDMapping(smscid_, "id" + std::to_string(i), "e" + std::to_string(i));
    }
    EXPECT_EQ(tracker.messageIDMapSize(), 101u);
  }
  Tracker reloaded(Tracker::kFileName, events_);
  EXPECT_EQ(reloaded.messageIDMapSize(), 101u);
  EXPECT_EQ(registry_.gaugeValue("sysTracker_messageIDMap_size"), 101);
  EXPECT_EQ(reloaded.getMessageIDMapping(smscId("smscA", 0, false), "msg-1"), "esmeOne");
  EXPECT_EQ(reloaded.getMessageIDMapping(smscid_, "id99"), "e99");
}

TEST_F(TrackerFileTest, AbsentFileGivesEmptyMapAndOneLine) {
  Tracker tracker;
  ::testing::internal::CaptureStderr();
  tracker.loadFromFile("msgtrack");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Failed to open file for reading: msgtrack\n");
  EXPECT_EQ(tracker.messageIDMapSize(), 0u);
  ::testing::internal::CaptureStderr();
  tracker.saveToFile(dir_.path() + "/missing-dir/msgtrack");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Failed to open file for writing: " + dir_.path() + "/missing-dir/msgtrack\n");
}

TEST_F(TrackerFileTest, TruncatedOrCorruptFileKeepsCompleteEntries) {
  const std::string good = entry(5, "a", "esmeA") + entry(5, "b", "esmeB");
  const std::string cases[] = {
      // count promises more entries than the file holds
      u64(1000000000) + good,
      // the last entry is cut in the middle of its system id
      u64(3) + good + entry(5, "c", "esmeC").substr(0, 27),
      // a length far beyond the file must not be allocated
      u64(3) + good + u64(5) + u64(0x7fffffffffffffffULL) + "x",
      u64(3) + good + u64(5) + u64(1) + "c" + u64(~0ULL),
  };
  for (const std::string& content : cases) {
    dir_.write("msgtrack", content);
    Tracker tracker;
    ::testing::internal::CaptureStderr();
    tracker.loadFromFile("msgtrack");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error occurred while reading from file: msgtrack\n");
    EXPECT_EQ(tracker.messageIDMapSize(), 2u);
    EXPECT_EQ(tracker.getMessageIDMapping(5 << 8, "b"), "esmeB");
  }
  // An empty file has not even a count.
  dir_.write("msgtrack", "");
  Tracker tracker;
  ::testing::internal::CaptureStderr();
  tracker.loadFromFile("msgtrack");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Error occurred while reading from file: msgtrack\n");
  EXPECT_EQ(tracker.messageIDMapSize(), 0u);
}

TEST_F(TrackerFileTest, LaterDuplicateOverwritesEarlier) {
  dir_.write("msgtrack", u64(2) + entry(9, "m", "first") + entry(9, "m", "second"));
  Tracker tracker(Tracker::kFileName, events_);
  EXPECT_EQ(tracker.messageIDMapSize(), 1u);
  EXPECT_EQ(tracker.getMessageIDMapping(9 << 8, "m"), "second");
}

} // namespace
} // namespace quorvex
