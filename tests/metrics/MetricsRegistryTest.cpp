#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "metrics/MetricFamilies.h"
#include "metrics/MetricsRegistry.h"

namespace quorvex {
namespace {

uint64_t fakeNow = 0; // µs returned by the test clock
uint64_t fakeClock() { return fakeNow; }

class MetricsRegistryTest : public ::testing::Test {
protected:
  MetricsRegistryTest() : registry_(&fakeClock) { fakeNow = 1700000000000000ULL; }
  // The series line of the rate "r".
  std::string rateLine() {
    const std::string text = registry_.renderMetrics();
    const size_t at = text.find("\nquorvex_r ") + 1;
    return text.substr(at, text.find('\n', at) - at);
  }
  MetricsRegistry registry_;
};

TEST_F(MetricsRegistryTest, FreshRegistryShowsZerosAndHidesBareLabelledFamilies) {
  registry_.gaugeSet("sysTracker_messageIDMap_size", 12); // kept by the registration
  registerMetrics(registry_);
  EXPECT_EQ(registry_.gaugeValue("sysTracker_messageIDMap_size"), 12);
  const std::string text = registry_.renderMetrics();
  // Unlabelled counter: HELP, TYPE, the series at 0 with the scrape time in ms.
  EXPECT_NE(text.find("# TYPE quorvex_smppSubmitSMTotal counter\n"
                      "quorvex_smppSubmitSMTotal 0 1700000000000\n\n"),
            std::string::npos);
  // Labelled family without series: only its HELP and TYPE lines.
  EXPECT_NE(text.find("# TYPE quorvex_smppSubmitSM_ESME counter\n\n"), std::string::npos);
  EXPECT_EQ(text.find("quorvex_smppSubmitSM_ESME{"), std::string::npos);
  // Both downstream bind results exist before the first bind.
  EXPECT_NE(text.find("# TYPE quorvex_smppDownstreamBindAttempt counter\n"
                      "quorvex_smppDownstreamBindAttempt{result=\"success\"} 0 1700000000000\n"
                      "quorvex_smppDownstreamBindAttempt{result=\"fail\"} 0 1700000000000\n\n"),
            std::string::npos);
  // Rates are exposed as gauges; an unlabelled rate starts at 0 with the time
  // one second before registration.
  EXPECT_NE(text.find("# TYPE quorvex_smppSubmitSMRateTotal gauge\n"
                      "quorvex_smppSubmitSMRateTotal 0 1699999999000\n"),
            std::string::npos);
}

TEST_F(MetricsRegistryTest, FamiliesSortedByKindThenNameAndUnregisteredWithoutHelp) {
  registry_.registerCounter("bCounter", "B.", false);
  registry_.registerGauge("aGauge", "A.", false);
  registry_.counterIncrement("aUnregistered{x=\"1\"}");
  registry_.counterIncrement("bCounter");
  registry_.counterIncrement("bCounter");
  registry_.gaugeDecrement("aGauge");
  EXPECT_EQ(registry_.renderMetrics(), "quorvex_aUnregistered{x=\"1\"} 1 1700000000000\n\n"
                                       "# HELP quorvex_bCounter B.\n"
                                       "# TYPE quorvex_bCounter counter\n"
                                       "quorvex_bCounter 2 1700000000000\n\n"
                                       "# HELP quorvex_aGauge A.\n"
                                       "# TYPE quorvex_aGauge gauge\n"
                                       "quorvex_aGauge 18446744073709551615 1700000000000\n\n");
}

TEST_F(MetricsRegistryTest, RateShowsLastCompletedWindow) {
  registry_.registerRate("r", "R.", false);
  const uint64_t start = fakeNow;
  // Three events in the registration window; a scrape 1.5 s later closes it.
  registry_.rateIncrement("r");
  registry_.rateIncrement("r");
  registry_.rateIncrement("r");
  fakeNow = start + 1500000;
  EXPECT_EQ(rateLine(), "quorvex_r 3 1700000000000");
  // An update reads the clock before it waits for the lock, so a scrape can
  // open a window later than that reading; the event then belongs to the
  // open window and must not publish an empty one.
  fakeNow = start + 1400000;
  registry_.rateIncrement("r");
  // Events within the next second do not change what is shown.
  fakeNow = start + 1700000;
  registry_.rateIncrement("r");
  registry_.rateIncrement("r");
  fakeNow = start + 2400000;
  EXPECT_EQ(rateLine(), "quorvex_r 3 1700000000000");
  // More than a second after the window opened, its three events show.
  fakeNow = start + 2600000;
  EXPECT_EQ(rateLine(), "quorvex_r 3 1700000001500");
  // rateReset restores the registration state.
  registry_.rateReset("r");
  EXPECT_EQ(rateLine(), "quorvex_r 0 1700000001600");
}

TEST_F(MetricsRegistryTest, LoneRateEventShowsUntilTheNextWindowCloses) {
  registry_.registerRate("r", "R.", false);
  fakeNow += 5000000;
  registry_.rateIncrement("r"); // closes the empty registration window
  fakeNow += 10000000;
  EXPECT_EQ(rateLine(), "quorvex_r 1 1700000005000");
  fakeNow += 999999;
  EXPECT_EQ(rateLine(), "quorvex_r 1 1700000005000");
  fakeNow += 1;
  EXPECT_EQ(rateLine(), "quorvex_r 0 1700000015000");
}

TEST_F(MetricsRegistryTest, ConcurrentUpdatesAreNotLost) {
  registerMetrics(registry_);
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 10000; ++i) {
        registry_.counterIncrement("smppSubmitSMTotal");
        registry_.gaugeIncrement("downstreamSMPPSessions");
        registry_.rateIncrement("smppSubmitSMRateTotal");
      }
    });
  }
  threads.clear(); // joins them
  EXPECT_EQ(registry_.counterValue("smppSubmitSMTotal"), 40000u);
  EXPECT_EQ(registry_.gaugeValue("downstreamSMPPSessions"), 40000);
}

} // namespace
} // namespace quorvex
