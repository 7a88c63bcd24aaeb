// One operation per countable gateway event; each updates every series the
// event touches, under a single registry lock.
//
// Labelled series names are built into a thread-local buffer that keeps its
// capacity, so after warm-up an event costs one lock, one clock reading and
// one hash look-up per series, with no allocation (a new label value costs one
// string copy when its series is created). Label values are escaped as the
// Prometheus text format requires (backslash, double quote, newline).
#pragma once

#include <cstdint>
#include <string_view>

#include "metrics/MetricsRegistry.h"

namespace quorvex {

class MetricEvents {
public:
  explicit MetricEvents(MetricsRegistry& registry) : registry_(registry) {}

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
  void upstreamSessionChange(std::string_view target, int bindType, int64_t delta);
  void upstreamBoundChange(std::string_view target, int bindType, int64_t delta);

  MetricsRegistry& registry_;
};

// Events of the process-wide registry.
MetricEvents& metricEvents();

} // namespace quorvex
