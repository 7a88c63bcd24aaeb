// One operation per countable gateway event; each updates every series the
// event touches.
//
// The per-message events reach their series through references resolved at
// the first event of each ESME, target and pair: after that an event costs
// one clock reading, one short hash look-up per label value (under a shared
// lock, which readers take without waiting on each other) and atomic
// increments, with no name built and no registry lock. Rarer events build their labelled names into
// a thread-local buffer. Label values are escaped as the Prometheus text format requires
// (backslash, double quote, newline).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "metrics/MetricsRegistry.h"

namespace quorvex {

class MetricEvents {
public:
  explicit MetricEvents(MetricsRegistry& registry);

  // Upstream binds.
  void upstreamConnectAttempt();
  void upstreamBindResult(bool success);
  // Sessions opened minus sessions bound are counted as unbound, so the
  // caller reports upstreamBoundSessionEnded before upstreamSessionClosed for
  // a session that was bound. bindType: 0 rx, 1 tx, 2 trx.
  void upstreamSessionOpened(std::string_view target, int bindType);
  void upstreamSessionClosed(std::string_view target, int bindType);
  void upstreamSessionBound(std::string_view target, int bindType);
  void upstreamBoundSessionEnded(std::string_view target, int bindType);
  // A bind slot was created for the target: its per-target series restart at 0.
  void resetTargetMetrics(std::string_view target);

  // Downstream sessions.
  void downstreamBindAttempt(bool success);
  void downstreamSessionCreated();
  void downstreamSessionDestroyed();

  // submit_sm path.
  void submitReceived(std::string_view esme);
  void submitThrottled(std::string_view esme);
  void submitNoRoute(std::string_view esme);
  void concatenatedPartReceived(std::string_view esme);
  void concatenatedTrackingReset(std::string_view esme);
  // smscid: the bind that carried it; its low 8 bits label the bind instance.
  void submitSentUpstream(std::string_view esme, std::string_view target, uint64_t smscid);
  void submitSendUpstreamFailed(std::string_view target);
  void submitRespFromUpstream(std::string_view target);
  void submitRespSendFailed(std::string_view esme);

  // deliver_sm path.
  void deliverFromUpstream(std::string_view target);
  void deliverRoutedToEsme(std::string_view esme, std::string_view target);
  void receiptReceived(std::string_view target);
  void receiptMessageIdUnknown(std::string_view target);
  void moReceived(std::string_view target);
  void moRoutedToEsme(std::string_view esme, std::string_view target);
  void moWithoutEsme(std::string_view target);
  void deliverRespSendUpstreamFailed(std::string_view target);
  void deliverSendToEsmeFailed(std::string_view esme);
  void deliverRespFromEsme(std::string_view esme);

  // Queue and table sizes.
  void deliverQueueGrew();
  void deliverQueueShrank();
  void trackerSubmitMapSize(uint64_t size);
  void trackerMessageIdMapSize(uint64_t size);

private:
  // Written once, at the first event that needs the series; read by any
  // traffic thread.
  using CounterRef = std::atomic<MetricsRegistry::CounterRef>;
  using GaugeRef = std::atomic<MetricsRegistry::GaugeRef>;
  using RateRef = std::atomic<MetricsRegistry::RateRef>;
  struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  template <class V>
  using ByLabel = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

  // References of the per-message series, each null until its first event
  // resolves it. The unlabelled ones:
  struct Totals {
    CounterRef submitTotal{}, submitResp{}, submitRespTotal{}, deliverTotal{}, receipt{},
        deliverResp{}, deliverRespTotal{};
    RateRef submitRateTotal{}, submitRespRate{}, submitRespRateTotal{}, deliverRateTotal{},
        receiptRate{}, deliverRespRate{};
    GaugeRef submitMapSize{}, messageIdMapSize{}, deliverQueueSize{};
  };
  // ... labelled with one ESME:
  struct EsmeSeries {
    CounterRef submit{}, deliver{}, deliverResp{};
    RateRef submitRate{}, deliverRate{}, deliverRespRate{};
  };
  // ... with one target (the bind counters by bind instance):
  struct SmscSeries {
    CounterRef submit{}, submitResp{}, deliver{}, receipt{};
    RateRef submitRate{}, submitRespRate{}, deliverRate{}, receiptRate{};
    std::array<CounterRef, 256> bind{};
  };
  // ... with one ESME and one target:
  struct PairSeries {
    CounterRef submit{}, deliver{};
    RateRef submitRate{}, deliverRate{};
  };

  // Each found or created under labelsMutex_; entries never move. A thread
  // remembers its last answer per kind, so steady traffic of one ESME and
  // one target does not touch the shared lock at all.
  template <class V> V& labelled(ByLabel<V>& map, std::string_view key);
  const Totals& totals(MetricsRegistry::Update& u);
  EsmeSeries& esmeSeries(MetricsRegistry::Update& u, std::string_view esme);
  SmscSeries& smscSeries(MetricsRegistry::Update& u, std::string_view target);
  PairSeries& pairSeries(MetricsRegistry::Update& u, std::string_view esme,
                         std::string_view target);

  void upstreamSessionChange(std::string_view target, int bindType, int64_t delta);
  void upstreamBoundChange(std::string_view target, int bindType, int64_t delta);

  MetricsRegistry& registry_;
  const uint64_t instance_;            // distinguishes instances in the threads' memos
  std::shared_mutex labelsMutex_;      // guards the three tables below
  Totals totals_;                      // unlabelled per-message series
  ByLabel<EsmeSeries> esmes_;          // by ESME system id
  ByLabel<SmscSeries> smscs_;          // by target name
  ByLabel<ByLabel<PairSeries>> pairs_; // by ESME, then target
};

// Events of the process-wide registry.
MetricEvents& metricEvents();

} // namespace quorvex
