#include "metrics/MetricEvents.h"

#include <string>

namespace quorvex {
namespace {

// Reused for every labelled name of this thread; each name is consumed by the
// registry before the next one is built.
std::string& nameBuffer() {
  thread_local std::string buffer;
  return buffer;
}

void appendEscaped(std::string& out, std::string_view value) {
  for (char c : value) {
    switch (c) {
    case '\\':
      out += "\\\\";
      break;
    case '"':
      out += "\\\"";
      break;
    case '\n':
      out += "\\n";
      break;
    default:
      out += c;
    }
  }
}

struct Label {
  const char* key;        // label name
  std::string_view value; // unescaped value
};

// family{key="value",...}
std::string_view series(std::string_view family, std::initializer_list<Label> labels) {
  std::string& out = nameBuffer();
  out.assign(family);
  out += '{';
  bool first = true;
  for (const Label& label : labels) {
    if (!first) {
      out += ',';
    }
    first = false;
    out += label.key;
    out += "=\"";
    appendEscaped(out, label.value);
    out += '"';
  }
  out += '}';
  return out;
}

std::string_view esmeSeries(std::string_view family, std::string_view esme) {
  return series(family, {{"esme", esme}});
}
std::string_view smscSeries(std::string_view family, std::string_view target) {
  return series(family, {{"smsc", target}});
}
std::string_view esmeSmscSeries(std::string_view family, std::string_view esme,
                                std::string_view target) {
  return series(family, {{"esme", esme}, {"smsc", target}});
}

std::string_view bindTypeName(int bindType) {
  switch (bindType) {
  case 0:
    return "rx";
  case 1:
    return "tx";
  case 2:
    return "trx";
  default:
    return "invalid";
  }
}

std::string_view typeSeries(std::string_view family, std::string_view target, int bindType) {
  return series(family, {{"smsc", target}, {"type", bindTypeName(bindType)}});
}

} // namespace

using Update = MetricsRegistry::Update;

void MetricEvents::upstreamConnectAttempt() {
  Update(registry_).counterIncrement("smppUpstreamBindAttemptTotal");
}

void MetricEvents::upstreamBindResult(bool success) {
  Update(registry_).counterIncrement(success ? "smppUpstreamBindAttempt{result=\"success\"}"
                                             : "smppUpstreamBindAttempt{result=\"fail\"}");
}

void MetricEvents::upstreamSessionChange(std::string_view target, int bindType, int64_t delta) {
  Update u(registry_);
  u.gaugeAdd("upstreamSMPPSessions", delta);
  u.gaugeAdd(smscSeries("upstreamSMPPSessions_SMSC", target), delta);
  u.gaugeAdd(typeSeries("upstreamSMPPSessions_SMSC_Type", target, bindType), delta);
  u.gaugeAdd("upstreamSMPPSessionsUnbound", delta);
  u.gaugeAdd(smscSeries("upstreamSMPPSessionsUnbound_SMSC", target), delta);
  u.gaugeAdd(typeSeries("upstreamSMPPSessionsUnbound_SMSC_Type", target, bindType), delta);
}

void MetricEvents::upstreamBoundChange(std::string_view target, int bindType, int64_t delta) {
  Update u(registry_);
  u.gaugeAdd("upstreamSMPPSessionsBound", delta);
  u.gaugeAdd(smscSeries("upstreamSMPPSessionsBound_SMSC", target), delta);
  u.gaugeAdd(typeSeries("upstreamSMPPSessionsBound_SMSC_Type", target, bindType), delta);
  u.gaugeAdd("upstreamSMPPSessionsUnbound", -delta);
  u.gaugeAdd(smscSeries("upstreamSMPPSessionsUnbound_SMSC", target), -delta);
  u.gaugeAdd(typeSeries("upstreamSMPPSessionsUnbound_SMSC_Type", target, bindType), -delta);
}

void MetricEvents::upstreamSessionOpened(std::string_view target, int bindType) {
  upstreamSessionChange(target, bindType, 1);
}
void MetricEvents::upstreamSessionClosed(std::string_view target, int bindType) {
  upstreamSessionChange(target, bindType, -1);
}
void MetricEvents::upstreamSessionBound(std::string_view target, int bindType) {
  upstreamBoundChange(target, bindType, 1);
}
void MetricEvents::upstreamBoundSessionEnded(std::string_view target, int bindType) {
  upstreamBoundChange(target, bindType, -1);
}

void MetricEvents::resetTargetMetrics(std::string_view target) {
  static const char* const kCounters[] = {
      "smppDLRMessageIDUnknown_SMSC",
      "smppDeliverSMDLR_SMSC",
      "smppDeliverSMMOUnknownESME_SMSC",
      "smppDeliverSMMO_SMSC",
      "smppDeliverSM_SMSC",
      "smppSubmitSMResp_SMSC",
      "smppSubmitSMSendFail_SMSC",
      "smppSubmitSM_SMSC",
      "sockets_smpp_UP_DeliverSMResp_sendFail_SMSC",
      "sockets_smpp_UP_SubmitSM_sendFail_SMSC",
  };
  static const char* const kRates[] = {
      "smppDeliverSMDLRRate_SMSC", "smppDeliverSMMORate_SMSC",  "smppDeliverSMRate_SMSC",
      "smppSubmitSMRate_SMSC",     "smppSubmitSMRespRate_SMSC",
  };
  Update u(registry_);
  for (const char* family : kCounters) {
    u.counterReset(smscSeries(family, target));
  }
  for (const char* family : kRates) {
    u.rateReset(smscSeries(family, target));
  }
}

void MetricEvents::downstreamBindAttempt(bool success) {
  Update u(registry_);
  u.counterIncrement("smppDownstreamBindAttemptTotal");
  u.counterIncrement(success ? "smppDownstreamBindAttempt{result=\"success\"}"
                             : "smppDownstreamBindAttempt{result=\"fail\"}");
}

void MetricEvents::downstreamSessionCreated() {
  Update(registry_).gaugeAdd("downstreamSMPPSessions", 1);
}
void MetricEvents::downstreamSessionDestroyed() {
  Update(registry_).gaugeAdd("downstreamSMPPSessions", -1);
}

void MetricEvents::submitReceived(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("smppSubmitSMTotal");
  u.counterIncrement(esmeSeries("smppSubmitSM_ESME", esme));
  u.rateIncrement(esmeSeries("smppSubmitSMRate_ESME", esme));
}

void MetricEvents::submitThrottled(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("smppSubmitSMThrottle");
  u.counterIncrement(esmeSeries("smppSubmitSMThrottle_ESME", esme));
}

void MetricEvents::submitNoRoute(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("smppSubmitSMNoRoute");
  u.counterIncrement(esmeSeries("smppSubmitSMNoRoute_ESME", esme));
}

void MetricEvents::concatenatedPartReceived(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("smppSubmitSMConcatenated");
  u.counterIncrement("smppSubmitSMConcatenatedTotal");
  u.counterIncrement(esmeSeries("smppSubmitSMConcatenated_ESME", esme));
}

void MetricEvents::concatenatedTrackingReset(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("smppSubmitSMConcatenatedReset");
  u.counterIncrement(esmeSeries("smppSubmitSMConcatenatedReset_ESME", esme));
}

void MetricEvents::submitSentUpstream(std::string_view esme, std::string_view target,
                                      uint64_t smscid) {
  char bind[4];
  const unsigned instance = static_cast<unsigned>(smscid & 0xff);
  int n = 0;
  if (instance >= 100) {
    bind[n++] = static_cast<char>('0' + instance / 100);
  }
  if (instance >= 10) {
    bind[n++] = static_cast<char>('0' + instance / 10 % 10);
  }
  bind[n++] = static_cast<char>('0' + instance % 10);
  Update u(registry_);
  u.counterIncrement(esmeSmscSeries("smppSubmitSM", esme, target));
  u.counterIncrement(smscSeries("smppSubmitSM_SMSC", target));
  u.counterIncrement(
      series("smppSubmitSM_SMSC_Bind", {{"smsc", target}, {"bind", std::string_view(bind, n)}}));
  u.rateIncrement("smppSubmitSMRateTotal");
  u.rateIncrement(esmeSmscSeries("smppSubmitSMRate", esme, target));
  u.rateIncrement(smscSeries("smppSubmitSMRate_SMSC", target));
}

void MetricEvents::submitSendUpstreamFailed(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("sockets_smpp_UP_SubmitSM_sendFail");
  u.counterIncrement(smscSeries("sockets_smpp_UP_SubmitSM_sendFail_SMSC", target));
  u.counterIncrement("smppSubmitSMSendFail");
  u.counterIncrement(smscSeries("smppSubmitSMSendFail_SMSC", target));
}

void MetricEvents::submitRespFromUpstream(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("smppSubmitSMResp");
  u.counterIncrement("smppSubmitSMRespTotal");
  u.counterIncrement(smscSeries("smppSubmitSMResp_SMSC", target));
  u.rateIncrement("smppSubmitSMRespRate");
  u.rateIncrement("smppSubmitSMRespRate_SMSC_Total");
  u.rateIncrement(smscSeries("smppSubmitSMRespRate_SMSC", target));
}

void MetricEvents::submitRespSendFailed(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("sockets_smpp_DN_SubmitSMResp_sendFail");
  u.counterIncrement(esmeSeries("sockets_smpp_DN_SubmitSMResp_sendFail_ESME", esme));
}

void MetricEvents::deliverFromUpstream(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("smppDeliverSMTotal");
  u.counterIncrement(smscSeries("smppDeliverSM_SMSC", target));
  u.rateIncrement("smppDeliverSMRateTotal");
  u.rateIncrement(smscSeries("smppDeliverSMRate_SMSC", target));
}

void MetricEvents::deliverRoutedToEsme(std::string_view esme, std::string_view target) {
  Update u(registry_);
  u.counterIncrement(esmeSmscSeries("smppDeliverSM", esme, target));
  u.counterIncrement(esmeSeries("smppDeliverSM_ESME", esme));
  u.rateIncrement(esmeSmscSeries("smppDeliverSMRate", esme, target));
  u.rateIncrement(esmeSeries("smppDeliverSMRate_ESME", esme));
}

void MetricEvents::receiptReceived(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("smppDeliverSMDLR");
  u.counterIncrement(smscSeries("smppDeliverSMDLR_SMSC", target));
  u.rateIncrement("smppDeliverSMDLRRate");
  u.rateIncrement(smscSeries("smppDeliverSMDLRRate_SMSC", target));
}

void MetricEvents::receiptMessageIdUnknown(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("smppDLRMessageIDUnknown");
  u.counterIncrement(smscSeries("smppDLRMessageIDUnknown_SMSC", target));
}

void MetricEvents::moReceived(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("smppDeliverSMMOTotal");
  u.counterIncrement(smscSeries("smppDeliverSMMO_SMSC", target));
  u.rateIncrement("smppDeliverSMMORate");
  u.rateIncrement(smscSeries("smppDeliverSMMORate_SMSC", target));
}

void MetricEvents::moRoutedToEsme(std::string_view esme, std::string_view target) {
  Update u(registry_);
  u.counterIncrement(esmeSmscSeries("smppDeliverSMMO", esme, target));
  u.counterIncrement(esmeSeries("smppDeliverSMMO_ESME", esme));
}

void MetricEvents::moWithoutEsme(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("smppDeliverSMMOUnknownESME");
  u.counterIncrement(smscSeries("smppDeliverSMMOUnknownESME_SMSC", target));
}

void MetricEvents::deliverRespSendUpstreamFailed(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("sockets_smpp_UP_DeliverSMResp_sendFail");
  u.counterIncrement(smscSeries("sockets_smpp_UP_DeliverSMResp_sendFail_SMSC", target));
}

void MetricEvents::deliverSendToEsmeFailed(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("sockets_smpp_DN_DeliverSM_sendFail");
  u.counterIncrement(esmeSeries("sockets_smpp_DN_DeliverSM_sendFail_ESME", esme));
  u.counterIncrement("smppDeliverSMSendFail");
  u.counterIncrement(esmeSeries("smppDeliverSMSendFail_ESME", esme));
}

void MetricEvents::deliverRespFromEsme(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("smppDeliverSMResp");
  u.counterIncrement("smppDeliverSMRespTotal");
  u.counterIncrement(esmeSeries("smppDeliverSMResp_ESME", esme));
  u.rateIncrement("smppDeliverSMRespRate");
  u.rateIncrement(esmeSeries("smppDeliverSMRespRate_ESME", esme));
}

void MetricEvents::deliverQueueGrew() {
  Update(registry_).gaugeAdd("sysDeliverSMQueue_fifo_queue_size", 1);
}
void MetricEvents::deliverQueueShrank() {
  Update(registry_).gaugeAdd("sysDeliverSMQueue_fifo_queue_size", -1);
}

void MetricEvents::trackerSubmitMapSize(uint64_t size) {
  Update(registry_).gaugeSet("sysTracker_submitSMMap_size", static_cast<int64_t>(size));
}
void MetricEvents::trackerMessageIdMapSize(uint64_t size) {
  Update(registry_).gaugeSet("sysTracker_messageIDMap_size", static_cast<int64_t>(size));
}

MetricEvents& metricEvents() {
  static MetricEvents events(metricsRegistry());
  return events;
}

} // namespace quorvex
