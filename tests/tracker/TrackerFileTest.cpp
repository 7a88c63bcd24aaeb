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

TEST_F(TrackerFileTest, AnEarlierMapFileIsImportedIntoTheStore) {
  dir_.write("msgtrack", u64(3) + entry(0x29ef0741, "msg-1", "esmeOne") + entry(9, "m", "first") +
                             entry(9, "m", "second"));
  Tracker tracker(events_);
  EXPECT_EQ(tracker.importLegacyFile("msgtrack"), 3u);
  EXPECT_EQ(tracker.messageIDMapSize(), 2u); // the later duplicate wins
  EXPECT_EQ(registry_.gaugeValue("sysTracker_messageIDMap_size"), 2);
  EXPECT_EQ(tracker.getMessageIDMapping(smscId("smscA", 0, false), "msg-1"), "esmeOne");
  EXPECT_EQ(tracker.getMessageIDMapping(9 << 8, "m"), "second");
  EXPECT_EQ(tracker.importLegacyFile("absent"), 0u);
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
    Tracker tracker(events_);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(tracker.importLegacyFile("msgtrack"), 2u);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error occurred while reading from file: msgtrack\n");
    EXPECT_EQ(tracker.getMessageIDMapping(5 << 8, "b"), "esmeB");
  }
}

} // namespace
} // namespace quorvex
