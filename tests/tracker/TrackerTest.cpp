#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "metrics/MetricEvents.h"
#include "support/TestProcess.h"
#include "tracker/SmscId.h"
#include "tracker/Tracker.h"

namespace quorvex {

// Stands in for the downstream session; the Tracker never looks inside.
class SMPPLoadBalancerSession {};

namespace {

// In host order, as earlier versions wrote the file.
std::string u64(uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), sizeof v); }
// One entry of the earlier "msgtrack" layout.
std::string entry(uint64_t target, const std::string& id, const std::string& esme) {
  return u64(target) + u64(id.size()) + id + u64(esme.size()) + esme;
}

uint64_t fakeNow = 0; // µs returned by the test clock
uint64_t fakeClock() { return fakeNow; }

class TrackerTest : public ::testing::Test {
protected:
  TrackerTest() : events_(registry_), tracker_(events_, &fakeClock) {
    fakeNow = 1700000000000000ULL;
    // Log lines go to "application.log" in the working directory.
    EXPECT_EQ(chdir(dir_.path().c_str()), 0);
  }
  test::TempDir dir_;
  MetricsRegistry registry_{&fakeClock};
  MetricEvents events_;
  Tracker tracker_;
  const uint64_t bind0_ = smscId("smscA", 0, false);
  const uint64_t bind2_ = smscId("smscA", 2, false);
};

TEST_F(TrackerTest, SubmitRespMatchesOnceThenMissesQuietly) {
  tracker_.addSubmitSM(11, 100, bind0_, 5, "esme11");
  tracker_.addSubmitSM(12, 200, bind0_, 6);
  tracker_.setSessionSystemID(12, "esme12");
  fakeNow += 1234;
  const auto origin = tracker_.getSessionForSubmitSMResp(bind0_, 5).value();
  EXPECT_EQ(std::tuple(origin.sessionId, origin.seqno, origin.systemId),
            std::tuple(11u, 100u, "esme11"));
  EXPECT_EQ(registry_.gaugeValue("sysTracker_submitSMMap_size"), 1);

  // A miss is one log line, not a dump of the map on standard error.
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(tracker_.getSessionForSubmitSMResp(bind0_, 5).has_value());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  // The same sequence number on another bind is another pair.
  EXPECT_FALSE(tracker_.getSessionForSubmitSMResp(bind2_, 6).has_value());
  EXPECT_EQ(tracker_.getSessionForSubmitSMResp(bind0_, 6)->systemId, "esme12");

  // Sessions are held weakly and forgotten when they end.
  auto session = std::make_shared<SMPPLoadBalancerSession>();
  tracker_.addSession(12, session);
  EXPECT_EQ(tracker_.getSession(12).lock(), session);
  session.reset();
  EXPECT_TRUE(tracker_.getSession(12).expired());
  EXPECT_EQ(tracker_.getSessionSystemID(12), "esme12");
  tracker_.removeSession(12);
  EXPECT_EQ(tracker_.getSessionSystemID(12), std::nullopt);
}

TEST_F(TrackerTest, ThirtySecondLullEmptiesSubmitMap) {
  tracker_.addSubmitSM(1, 1, bind0_, 1);
  fakeNow += 30000000; // exactly 30 s: kept
  tracker_.addSubmitSM(1, 2, bind0_, 2);
  EXPECT_EQ(tracker_.submitSMMapSize(), 2u);
  fakeNow += 31000000;
  tracker_.addSubmitSM(1, 3, bind0_, 3);
  EXPECT_EQ(tracker_.submitSMMapSize(), 1u);
  EXPECT_FALSE(tracker_.getSessionForSubmitSMResp(bind0_, 2).has_value());
  EXPECT_TRUE(tracker_.getSessionForSubmitSMResp(bind0_, 3).has_value());
  // A wall clock stepped back is not a lull.
  tracker_.addSubmitSM(1, 4, bind0_, 4);
  fakeNow -= 1000000;
  tracker_.addSubmitSM(1, 5, bind0_, 5);
  EXPECT_EQ(tracker_.submitSMMapSize(), 2u);
}

TEST_F(TrackerTest, MessageIdLookupOrderAndDisabledTracking) {
  tracker_.addMessageIDMapping(bind2_, "1a2b", "esmeHex");
  tracker_.addMessageIDMapping(bind2_, "abc", "esmeExact");
  tracker_.addMessageIDMapping(bind0_, "ffffffffffffffff", "esmeNeg");
  EXPECT_EQ(registry_.gaugeValue("sysTracker_messageIDMap_size"), 3);
  // Exact, over another bind of the same target; consumed by the first receipt.
  EXPECT_EQ(tracker_.getMessageIDMapping(bind0_, "abc"), "esmeExact");
  EXPECT_EQ(tracker_.getMessageIDMapping(bind0_, "abc"), std::nullopt);
  // Decimal receipt for a hexadecimal id; a negative number as two's complement.
  EXPECT_EQ(tracker_.getMessageIDMapping(bind0_, " +6699"), "esmeHex");
  EXPECT_EQ(tracker_.getMessageIDMapping(bind0_, "-1"), "esmeNeg");
  EXPECT_EQ(registry_.gaugeValue("sysTracker_messageIDMap_size"), 0);
  // Out of range, or not wholly a number: no alternate form.
  tracker_.addMessageIDMapping(bind0_, "8000000000000000", "esmeBig");
  EXPECT_EQ(tracker_.getMessageIDMapping(bind0_, "9223372036854775808"), std::nullopt);
  tracker_.addMessageIDMapping(bind0_, "c", "esmeTwelve");
  EXPECT_EQ(tracker_.getMessageIDMapping(bind0_, "12ab"), std::nullopt);
  // Fallbacks: the target's only possible owner (not consumed), then the default.
  tracker_.setTargetOwners({{targetIdOfName("smscA"), "owner"}});
  EXPECT_EQ(tracker_.getMessageIDMapping(bind2_, "zzz"), "owner");
  EXPECT_EQ(tracker_.getMessageIDMapping(bind2_, "zzz"), "owner");
  const uint64_t otherTarget = smscId("smscB", 0, false);
  EXPECT_EQ(tracker_.getMessageIDMapping(otherTarget, "zzz"), std::nullopt);
  tracker_.setDefaultSystemID("fallback");
  EXPECT_EQ(tracker_.getMessageIDMapping(otherTarget, "zzz"), "fallback");
  // Disabled tracking stores nothing.
  const size_t kept = tracker_.messageIDMapSize();
  tracker_.setDisableMessageIDTracking(true);
  tracker_.addMessageIDMapping(bind0_, "abc", "esme");
  EXPECT_EQ(tracker_.messageIDMapSize(), kept);
  EXPECT_NE(tracker_.getMessageIDMapping(bind0_, "abc"), "esme");
}

TEST_F(TrackerTest, ConcurrentSubmitAndResponseThreads) {
  constexpr uint64_t kCount = 20000;
  std::atomic<uint64_t> added{0};
  std::thread submitter([&] {
    for (uint64_t i = 0; i < kCount; ++i) {
      tracker_.addSubmitSM(i, i + 1, bind0_, i);
      added.store(i + 1, std::memory_order_release);
    }
  });
  uint64_t matched = 0;
  for (uint64_t i = 0; i < kCount; ++i) {
    while (added.load(std::memory_order_acquire) <= i) {
      std::this_thread::yield();
    }
    const auto origin = tracker_.getSessionForSubmitSMResp(bind0_, i);
    matched += origin && origin->sessionId == i && origin->seqno == i + 1;
  }
  submitter.join();
  EXPECT_EQ(matched, kCount);
  EXPECT_EQ(tracker_.submitSMMapSize(), 0u);
}

TEST_F(TrackerTest, AnEarlierMapFileIsImportedIntoTheStore) {
  dir_.write("msgtrack", u64(3) + entry(0x29ef0741, "msg-1", "esmeOne") + entry(9, "m", "first") +
                             entry(9, "m", "second"));
  EXPECT_EQ(tracker_.importLegacyFile("msgtrack"), 3u);
  EXPECT_EQ(tracker_.messageIDMapSize(), 2u); // the later duplicate wins
  EXPECT_EQ(registry_.gaugeValue("sysTracker_messageIDMap_size"), 2);
  EXPECT_EQ(tracker_.getMessageIDMapping(bind2_, "msg-1"), "esmeOne");
  EXPECT_EQ(tracker_.getMessageIDMapping(9 << 8, "m"), "second");
  EXPECT_EQ(tracker_.importLegacyFile("absent"), 0u);
}

TEST_F(TrackerTest, TruncatedOrCorruptFileKeepsCompleteEntries) {
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
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(tracker_.importLegacyFile("msgtrack"), 2u);
    // The damage is reported, naming the file.
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("msgtrack"), std::string::npos);
    EXPECT_EQ(tracker_.getMessageIDMapping(5 << 8, "b"), "esmeB");
  }
}

} // namespace
} // namespace quorvex
