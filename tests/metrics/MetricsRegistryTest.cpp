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

// The lines of `text` that start with `prefix`.
std::vector<std::string> linesStarting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string line = text.substr(pos, end - pos);
    if (line.compare(0, prefix.size(), prefix) == 0) {
      lines.push_back(line);
    }
    pos = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

class MetricsRegistryTest : public ::testing::Test {
protected:
  MetricsRegistryTest() : registry_(&fakeClock) { fakeNow = 1700000000000000ULL; }
  MetricsRegistry registry_;
};

TEST_F(MetricsRegistryTest, FreshRegistryShowsZerosAndHidesBareLabelledFamilies) {
  registerMetrics(registry_);
  const std::string text = registry_.renderMetrics();
  // Unlabelled counter: HELP, TYPE, the series at 0 with the scrape time in ms.
  EXPECT_NE(text.find("# HELP quorvex_smppSubmitSMTotal Number of submit_sm PDUs processed by the "
                      "Quorvex (downstream to upstream).\n"
                      "# TYPE quorvex_smppSubmitSMTotal counter\n"
                      "quorvex_smppSubmitSMTotal 0 1700000000000\n\n"),
            std::string::npos);
  // Labelled family without series: only its HELP and TYPE lines.
  EXPECT_NE(text.find("# TYPE quorvex_smppSubmitSM_ESME counter\n\n"), std::string::npos);
  EXPECT_EQ(linesStarting(text, "quorvex_smppSubmitSM_ESME").size(), 0u);
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
  EXPECT_EQ(linesStarting(text, "# HELP ").size(), 80u);
  EXPECT_EQ(text.back(), '\n');
}

TEST_F(MetricsRegistryTest, RegistrationKeepsAValueSetBeforeIt) {
  registry_.gaugeSet("sysTracker_messageIDMap_size", 12);
  registerMetrics(registry_);
  EXPECT_EQ(registry_.gaugeValue("sysTracker_messageIDMap_size"), 12);
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
  EXPECT_EQ(registry_.renderMetrics(), "# HELP quorvex_r R.\n# TYPE quorvex_r gauge\n"
                                       "quorvex_r 3 1700000000000\n\n");
  // Events within the next second do not change what is shown.
  fakeNow += 200000;
  registry_.rateIncrement("r");
  registry_.rateIncrement("r");
  fakeNow += 700000;
  EXPECT_EQ(linesStarting(registry_.renderMetrics(), "quorvex_r "),
            std::vector<std::string>{"quorvex_r 3 1700000000000"});
  // More than a second after the window opened, those two events show.
  fakeNow = start + 2600000;
  EXPECT_EQ(linesStarting(registry_.renderMetrics(), "quorvex_r "),
            std::vector<std::string>{"quorvex_r 2 1700000001500"});
}

// An update reads the clock before it waits for the lock, so a scrape (or
// another update) can open a window later than that reading; the event then
// belongs to the open window and must not publish an empty one.
TEST_F(MetricsRegistryTest, EventTimedBeforeTheOpenWindowCountsInIt) {
  registry_.registerRate("r", "R.", false);
  const uint64_t start = fakeNow;
  registry_.rateIncrement("r");
  registry_.rateIncrement("r");
  fakeNow = start + 1500000;
  const std::vector<std::string> two{"quorvex_r 2 1700000000000"};
  EXPECT_EQ(linesStarting(registry_.renderMetrics(), "quorvex_r "), two);
  fakeNow = start + 1400000; // read before the scrape took the lock
  registry_.rateIncrement("r");
  fakeNow = start + 1600000;
  EXPECT_EQ(linesStarting(registry_.renderMetrics(), "quorvex_r "), two);
  fakeNow = start + 2600000;
  EXPECT_EQ(linesStarting(registry_.renderMetrics(), "quorvex_r "),
            std::vector<std::string>{"quorvex_r 1 1700000001500"});
}

TEST_F(MetricsRegistryTest, LoneRateEventShowsUntilTheNextWindowCloses) {
  registry_.registerRate("r", "R.", false);
  fakeNow += 5000000;
  registry_.rateIncrement("r"); // closes the empty registration window
  const uint64_t event = fakeNow;
  fakeNow = event + 10000000;
  const std::vector<std::string> one{"quorvex_r 1 1700000005000"};
  EXPECT_EQ(linesStarting(registry_.renderMetrics(), "quorvex_r "), one);
  fakeNow += 999999;
  EXPECT_EQ(linesStarting(registry_.renderMetrics(), "quorvex_r "), one);
  fakeNow += 1;
  EXPECT_EQ(linesStarting(registry_.renderMetrics(), "quorvex_r "),
            std::vector<std::string>{"quorvex_r 0 1700000015000"});
  // rateReset restores the registration state.
  registry_.rateReset("r");
  EXPECT_EQ(linesStarting(registry_.renderMetrics(), "quorvex_r "),
            std::vector<std::string>{"quorvex_r 0 1700000015000"});
}

TEST_F(MetricsRegistryTest, ConcurrentUpdatesAreNotLost) {
  registerMetrics(registry_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 10000; ++i) {
        registry_.counterIncrement("smppSubmitSMTotal");
        registry_.gaugeIncrement("downstreamSMPPSessions");
        registry_.rateIncrement("smppSubmitSMRateTotal");
      }
    });
  }
  std::thread scraper([this] {
    for (int i = 0; i < 50; ++i) {
      registry_.renderMetrics();
    }
  });
  for (auto& t : threads) {
    t.join();
  }
  scraper.join();
  EXPECT_EQ(registry_.counterValue("smppSubmitSMTotal"), 40000u);
  EXPECT_EQ(registry_.gaugeValue("downstreamSMPPSessions"), 40000);
}

} // namespace
} // namespace quorvex
