// Costs of the per-message work the SMPP threads do in the metrics registry,
// the Tracker and the CDR manager.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <string>

#include "app/Log.h"
#include "cdr/SMPPCDRManager.h"
#include "metrics/MetricEvents.h"
#include "metrics/MetricFamilies.h"
#include "tracker/SmscId.h"
#include "tracker/Tracker.h"

namespace quorvex {
namespace {

void counterIncrement(benchmark::State& state) {
  MetricsRegistry registry;
  registerMetrics(registry);
  for (auto _ : state) {
    registry.counterIncrement("smppSubmitSMTotal");
  }
}
BENCHMARK(counterIncrement);

void submitSentUpstreamEvent(benchmark::State& state) {
  MetricsRegistry registry;
  registerMetrics(registry);
  MetricEvents events(registry);
  const uint64_t smscid = smscId("smscA", 1, false);
  for (auto _ : state) {
    events.submitSentUpstream("esme-0001", "smscA", smscid);
  }
}
BENCHMARK(submitSentUpstreamEvent);

void trackerAddAndLookup(benchmark::State& state) {
  MetricsRegistry registry;
  MetricEvents events(registry);
  Tracker tracker("", events);
  const uint64_t smscid = smscId("smscA", 1, false);
  uint64_t seq = 0;
  for (auto _ : state) {
    tracker.addSubmitSM(7, seq, smscid, seq);
    benchmark::DoNotOptimize(tracker.getSessionForSubmitSMResp(smscid, seq));
    ++seq;
  }
}
BENCHMARK(trackerAddAndLookup);

// One submit row and one receipt row per message. range(0) = 0: the writer
// runs beside the loop and, flushing every row, falls behind, so the figure
// is the sustained rate; 1: the clock is stopped while the writer drains each
// batch of 1000 rows, which leaves the cost borne by the SMPP threads.
void cdrOpenAndComplete(benchmark::State& state) {
  const bool drain = state.range(0) != 0;
  SMPPCDRManager manager;
  SMPPCDRManager::Settings settings;
  manager.initialize("/dev/null", settings);
  manager.setMode(CDRMode::OPERATION);
  CDRSubmit submit;
  submit.sourceAddr = "4915112345678";
  submit.destAddr = "4917612345678";
  const std::string esme = "esme-0001", ip = "10.0.0.1", target = "smscA";
  const uint64_t smscid = smscId("smscA", 1, false);
  uint64_t seq = 0;
  uint64_t batches = 0;
  for (auto _ : state) {
    manager.queueSubmitEvent(submit, esme, ip, target, smscid, seq);
    manager.updateCDRWithMessageID(smscid, seq, "abcdef012345");
    manager.updateCDRWithDeliveryReceipt(smscid, target, "abcdef012345", 2, 0, "2311142213");
    if (++seq % 500 == 0 && drain) {
      state.PauseTiming();
      manager.waitForBatchesWritten(++batches, std::chrono::seconds(60));
      state.ResumeTiming();
    }
  }
  manager.shutdown();
}
BENCHMARK(cdrOpenAndComplete)->Arg(0)->Arg(1);

} // namespace
} // namespace quorvex

int main(int argc, char** argv) {
  // The CDR writer logs every batch at INFO; keep the figures readable.
  quorvex::setLogLevel(quorvex::LOG_WARNING);
  if (chdir("/tmp") != 0) {
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
