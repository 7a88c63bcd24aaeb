#include <gtest/gtest.h>

#include "loadgen/LatencyRecorder.h"

namespace quorvex::tools::test {
namespace {

TEST(LatencyRecorderTest, NearestRankPercentilesLargeValuesWithinTwoPerMille) {
  LatencyRecorder recorder;
  EXPECT_EQ(recorder.percentile(50), 0u);
  for (uint64_t v = 1000; v >= 1; --v) {
    recorder.record(v);
  }
  EXPECT_EQ(std::tuple(recorder.percentile(50), recorder.percentile(90), recorder.percentile(99.9),
                       recorder.max()),
            std::tuple(500u, 900u, 999u, 1000u));

  recorder = LatencyRecorder();
  for (uint64_t v : {1024u, 5000u, 123456u, 9876543u}) {
    recorder.record(v);
  }
  EXPECT_EQ(recorder.percentile(25), 1024u);
  EXPECT_NEAR(static_cast<double>(recorder.percentile(50)), 5000, 5000 * 0.002);
  EXPECT_NEAR(static_cast<double>(recorder.percentile(75)), 123456, 123456 * 0.002);
  EXPECT_LE(recorder.percentile(75), 123456u);
  EXPECT_EQ(std::tuple(recorder.max(), recorder.percentile(100)), std::tuple(9876543u, 9876543u));
}

} // namespace
} // namespace quorvex::tools::test
