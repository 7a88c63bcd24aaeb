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

std::string_view esmeName(std::string_view family, std::string_view esme) {
  return series(family, {{"esme", esme}});
}
std::string_view smscName(std::string_view family, std::string_view target) {
  return series(family, {{"smsc", target}});
}
std::string_view pairName(std::string_view family, std::string_view esme, std::string_view target) {
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

using Update = MetricsRegistry::Update;
using CounterRef = MetricsRegistry::CounterRef;
using RateRef = MetricsRegistry::RateRef;
using GaugeRef = MetricsRegistry::GaugeRef;

CounterRef resolve(Update& u, CounterRef, std::string_view name) { return u.counterRef(name); }
RateRef resolve(Update& u, RateRef, std::string_view name) { return u.rateRef(name); }
GaugeRef resolve(Update& u, GaugeRef, std::string_view name) { return u.gaugeRef(name); }
void increment(Update& u, CounterRef counter) { u.counterIncrement(counter); }
void increment(Update& u, RateRef rate) { u.rateIncrement(rate); }

// The series of `slot`, resolved from `name` at its first use. Two threads
// resolving at once store the same series.
template <class Ref> Ref resolved(Update& u, std::atomic<Ref>& slot, std::string_view name) {
  Ref ref = slot.load(std::memory_order_acquire);
  if (ref == nullptr) {
    ref = resolve(u, ref, name);
    slot.store(ref, std::memory_order_release);
  }
  return ref;
}
// Increments through `slot`; `name()` builds the series name only when the
// slot is still unresolved.
template <class Ref, class Name> void bump(Update& u, std::atomic<Ref>& slot, Name name) {
  Ref ref = slot.load(std::memory_order_acquire);
  increment(u, ref != nullptr ? ref : resolved(u, slot, name()));
}

} // namespace

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
  u.gaugeAdd(smscName("upstreamSMPPSessions_SMSC", target), delta);
  u.gaugeAdd(typeSeries("upstreamSMPPSessions_SMSC_Type", target, bindType), delta);
  u.gaugeAdd("upstreamSMPPSessionsUnbound", delta);
  u.gaugeAdd(smscName("upstreamSMPPSessionsUnbound_SMSC", target), delta);
  u.gaugeAdd(typeSeries("upstreamSMPPSessionsUnbound_SMSC_Type", target, bindType), delta);
}

void MetricEvents::upstreamBoundChange(std::string_view target, int bindType, int64_t delta) {
  Update u(registry_);
  u.gaugeAdd("upstreamSMPPSessionsBound", delta);
  u.gaugeAdd(smscName("upstreamSMPPSessionsBound_SMSC", target), delta);
  u.gaugeAdd(typeSeries("upstreamSMPPSessionsBound_SMSC_Type", target, bindType), delta);
  u.gaugeAdd("upstreamSMPPSessionsUnbound", -delta);
  u.gaugeAdd(smscName("upstreamSMPPSessionsUnbound_SMSC", target), -delta);
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
    u.counterReset(smscName(family, target));
  }
  for (const char* family : kRates) {
    u.rateReset(smscName(family, target));
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
  EsmeSeries& e = esmeSeries(u, esme);
  bump(u, totals_.submitTotal, [] { return "smppSubmitSMTotal"; });
  bump(u, e.submit, [&] { return esmeName("smppSubmitSM_ESME", esme); });
  bump(u, e.submitRate, [&] { return esmeName("smppSubmitSMRate_ESME", esme); });
}

void MetricEvents::submitThrottled(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("smppSubmitSMThrottle");
  u.counterIncrement(esmeName("smppSubmitSMThrottle_ESME", esme));
}

void MetricEvents::submitNoRoute(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("smppSubmitSMNoRoute");
  u.counterIncrement(esmeName("smppSubmitSMNoRoute_ESME", esme));
}

void MetricEvents::concatenatedPartReceived(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("smppSubmitSMConcatenated");
  u.counterIncrement("smppSubmitSMConcatenatedTotal");
  u.counterIncrement(esmeName("smppSubmitSMConcatenated_ESME", esme));
}

void MetricEvents::concatenatedTrackingReset(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("smppSubmitSMConcatenatedReset");
  u.counterIncrement(esmeName("smppSubmitSMConcatenatedReset_ESME", esme));
}

void MetricEvents::submitSentUpstream(std::string_view esme, std::string_view target,
                                      uint64_t smscid) {
  Update u(registry_);
  SmscSeries& smsc = smscSeries(u, target);
  PairSeries& pair = pairSeries(u, esme, target);
  bump(u, pair.submit, [&] { return pairName("smppSubmitSM", esme, target); });
  bump(u, smsc.submit, [&] { return smscName("smppSubmitSM_SMSC", target); });
  bump(u, smsc.bind[smscid & 0xff], [&] {
    char digits[4];
    const unsigned instance = static_cast<unsigned>(smscid & 0xff);
    int n = 0;
    if (instance >= 100) {
      digits[n++] = static_cast<char>('0' + instance / 100);
    }
    if (instance >= 10) {
      digits[n++] = static_cast<char>('0' + instance / 10 % 10);
    }
    digits[n++] = static_cast<char>('0' + instance % 10);
    return series("smppSubmitSM_SMSC_Bind",
                  {{"smsc", target}, {"bind", std::string_view(digits, n)}});
  });
  bump(u, totals_.submitRateTotal, [] { return "smppSubmitSMRateTotal"; });
  bump(u, pair.submitRate, [&] { return pairName("smppSubmitSMRate", esme, target); });
  bump(u, smsc.submitRate, [&] { return smscName("smppSubmitSMRate_SMSC", target); });
}

void MetricEvents::submitSendUpstreamFailed(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("sockets_smpp_UP_SubmitSM_sendFail");
  u.counterIncrement(smscName("sockets_smpp_UP_SubmitSM_sendFail_SMSC", target));
  u.counterIncrement("smppSubmitSMSendFail");
  u.counterIncrement(smscName("smppSubmitSMSendFail_SMSC", target));
}

void MetricEvents::submitRespFromUpstream(std::string_view target) {
  Update u(registry_);
  SmscSeries& smsc = smscSeries(u, target);
  bump(u, totals_.submitResp, [] { return "smppSubmitSMResp"; });
  bump(u, totals_.submitRespTotal, [] { return "smppSubmitSMRespTotal"; });
  bump(u, smsc.submitResp, [&] { return smscName("smppSubmitSMResp_SMSC", target); });
  bump(u, totals_.submitRespRate, [] { return "smppSubmitSMRespRate"; });
  bump(u, totals_.submitRespRateTotal, [] { return "smppSubmitSMRespRate_SMSC_Total"; });
  bump(u, smsc.submitRespRate, [&] { return smscName("smppSubmitSMRespRate_SMSC", target); });
}

void MetricEvents::submitRespSendFailed(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("sockets_smpp_DN_SubmitSMResp_sendFail");
  u.counterIncrement(esmeName("sockets_smpp_DN_SubmitSMResp_sendFail_ESME", esme));
}

void MetricEvents::deliverFromUpstream(std::string_view target) {
  Update u(registry_);
  SmscSeries& smsc = smscSeries(u, target);
  bump(u, totals_.deliverTotal, [] { return "smppDeliverSMTotal"; });
  bump(u, smsc.deliver, [&] { return smscName("smppDeliverSM_SMSC", target); });
  bump(u, totals_.deliverRateTotal, [] { return "smppDeliverSMRateTotal"; });
  bump(u, smsc.deliverRate, [&] { return smscName("smppDeliverSMRate_SMSC", target); });
}

void MetricEvents::deliverRoutedToEsme(std::string_view esme, std::string_view target) {
  Update u(registry_);
  PairSeries& pair = pairSeries(u, esme, target);
  EsmeSeries& e = esmeSeries(u, esme);
  bump(u, pair.deliver, [&] { return pairName("smppDeliverSM", esme, target); });
  bump(u, e.deliver, [&] { return esmeName("smppDeliverSM_ESME", esme); });
  bump(u, pair.deliverRate, [&] { return pairName("smppDeliverSMRate", esme, target); });
  bump(u, e.deliverRate, [&] { return esmeName("smppDeliverSMRate_ESME", esme); });
}

void MetricEvents::receiptReceived(std::string_view target) {
  Update u(registry_);
  SmscSeries& smsc = smscSeries(u, target);
  bump(u, totals_.receipt, [] { return "smppDeliverSMDLR"; });
  bump(u, smsc.receipt, [&] { return smscName("smppDeliverSMDLR_SMSC", target); });
  bump(u, totals_.receiptRate, [] { return "smppDeliverSMDLRRate"; });
  bump(u, smsc.receiptRate, [&] { return smscName("smppDeliverSMDLRRate_SMSC", target); });
}

void MetricEvents::receiptMessageIdUnknown(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("smppDLRMessageIDUnknown");
  u.counterIncrement(smscName("smppDLRMessageIDUnknown_SMSC", target));
}

void MetricEvents::moReceived(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("smppDeliverSMMOTotal");
  u.counterIncrement(smscName("smppDeliverSMMO_SMSC", target));
  u.rateIncrement("smppDeliverSMMORate");
  u.rateIncrement(smscName("smppDeliverSMMORate_SMSC", target));
}

void MetricEvents::moRoutedToEsme(std::string_view esme, std::string_view target) {
  Update u(registry_);
  u.counterIncrement(pairName("smppDeliverSMMO", esme, target));
  u.counterIncrement(esmeName("smppDeliverSMMO_ESME", esme));
}

void MetricEvents::moWithoutEsme(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("smppDeliverSMMOUnknownESME");
  u.counterIncrement(smscName("smppDeliverSMMOUnknownESME_SMSC", target));
}

void MetricEvents::deliverRespSendUpstreamFailed(std::string_view target) {
  Update u(registry_);
  u.counterIncrement("sockets_smpp_UP_DeliverSMResp_sendFail");
  u.counterIncrement(smscName("sockets_smpp_UP_DeliverSMResp_sendFail_SMSC", target));
}

void MetricEvents::deliverSendToEsmeFailed(std::string_view esme) {
  Update u(registry_);
  u.counterIncrement("sockets_smpp_DN_DeliverSM_sendFail");
  u.counterIncrement(esmeName("sockets_smpp_DN_DeliverSM_sendFail_ESME", esme));
  u.counterIncrement("smppDeliverSMSendFail");
  u.counterIncrement(esmeName("smppDeliverSMSendFail_ESME", esme));
}

void MetricEvents::deliverRespFromEsme(std::string_view esme) {
  Update u(registry_);
  EsmeSeries& e = esmeSeries(u, esme);
  bump(u, totals_.deliverResp, [] { return "smppDeliverSMResp"; });
  bump(u, totals_.deliverRespTotal, [] { return "smppDeliverSMRespTotal"; });
  bump(u, e.deliverResp, [&] { return esmeName("smppDeliverSMResp_ESME", esme); });
  bump(u, totals_.deliverRespRate, [] { return "smppDeliverSMRespRate"; });
  bump(u, e.deliverRespRate, [&] { return esmeName("smppDeliverSMRespRate_ESME", esme); });
}

void MetricEvents::deliverQueueGrew() {
  Update u(registry_);
  u.gaugeAdd(resolved(u, totals_.deliverQueueSize, "sysDeliverSMQueue_fifo_queue_size"), 1);
}
void MetricEvents::deliverQueueShrank() {
  Update u(registry_);
  u.gaugeAdd(resolved(u, totals_.deliverQueueSize, "sysDeliverSMQueue_fifo_queue_size"), -1);
}

void MetricEvents::trackerSubmitMapSize(uint64_t size) {
  Update u(registry_);
  u.gaugeSet(resolved(u, totals_.submitMapSize, "sysTracker_submitSMMap_size"),
             static_cast<int64_t>(size));
}
void MetricEvents::trackerMessageIdMapSize(uint64_t size) {
  Update u(registry_);
  u.gaugeSet(resolved(u, totals_.messageIdMapSize, "sysTracker_messageIDMap_size"),
             static_cast<int64_t>(size));
}

// Totals and label tables only hold references resolved so far; each series
// is created by its first event, exactly as a by-name update would.
const MetricEvents::Totals& MetricEvents::totals(Update&) { return totals_; }

namespace {
std::atomic<uint64_t> instances{0}; // MetricEvents constructed so far
} // namespace

MetricEvents::MetricEvents(MetricsRegistry& registry)
    : registry_(registry), instance_(instances.fetch_add(1) + 1) {}

template <class V> V& MetricEvents::labelled(ByLabel<V>& map, std::string_view key) {
  // The instance number, not its address, tells a memo of a destroyed
  // instance (tests make many) from one of the live one.
  struct Memo {
    uint64_t instance = 0;     // the MetricEvents it came from
    const void* map = nullptr; // the table looked in
    std::string key;           // the label value
    V* value = nullptr;        // what it found
  };
  thread_local Memo memo;
  if (memo.instance == instance_ && memo.map == &map && memo.key == key) {
    return *memo.value;
  }
  V* value = nullptr;
  {
    std::shared_lock<std::shared_mutex> read(labelsMutex_);
    auto it = map.find(key);
    if (it != map.end()) {
      value = &it->second;
    }
  }
  if (value == nullptr) {
    std::unique_lock<std::shared_mutex> write(labelsMutex_);
    value = &map.try_emplace(std::string(key)).first->second;
  }
  memo.instance = instance_;
  memo.map = &map;
  memo.key.assign(key);
  memo.value = value;
  return *value;
}

MetricEvents::EsmeSeries& MetricEvents::esmeSeries(Update&, std::string_view esme) {
  return labelled(esmes_, esme);
}

MetricEvents::SmscSeries& MetricEvents::smscSeries(Update&, std::string_view target) {
  return labelled(smscs_, target);
}

MetricEvents::PairSeries& MetricEvents::pairSeries(Update&, std::string_view esme,
                                                   std::string_view target) {
  return labelled(labelled(pairs_, esme), target);
}

MetricEvents& metricEvents() {
  static MetricEvents events(metricsRegistry());
  return events;
}

} // namespace quorvex
