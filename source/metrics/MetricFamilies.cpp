#include "metrics/MetricFamilies.h"

namespace quorvex {
namespace {

enum Kind { kCounter, kGauge, kRate };

struct Family {
  Kind kind;        // counter, gauge, or rate (exposed as gauge)
  const char* name; // family name without the prefix
  bool labelled;    // only label-bearing series are exposed
  const char* help; // HELP text
};

// Registration order is exposition-neutral (families render sorted), but it is
// kept as the operators' documentation lists it.
const Family kFamilies[] = {
    {kCounter, "smppUpstreamBindAttemptTotal", false, "Number of bind attempts by the Quorvex."},
    {kCounter, "smppUpstreamBindAttempt", true,
     "Number of bind attempts by the Quorvex, labelled by result (success, fail)."},
    {kCounter, "smppDownstreamBindAttemptTotal", false,
     "Number of bind attempts to the Quorvex by downstream customers."},
    {kCounter, "smppDownstreamBindAttempt", true,
     "Number of bind attempts to the Quorvex by downstream customers, labelled by result (success, "
     "false)."},
    {kGauge, "downstreamSMPPSessions", false,
     "Number of current SMPP sessions from downstream customers to the Quorvex."},
    {kGauge, "upstreamSMPPSessions", false,
     "Number of current SMPP sessions from the Quorvex to upstream targets."},
    {kGauge, "upstreamSMPPSessions_SMSC", true,
     "Number of current SMPP sessions from the Quorvex to upstream targets, labelled by target."},
    {kGauge, "upstreamSMPPSessions_SMSC_Type", true,
     "Number of current SMPP sessions from the Quorvex to upstream targets, labelled by target and "
     "bind type."},
    {kGauge, "upstreamSMPPSessionsBound", false,
     "Number of current SMPP sessions in bound state from the Quorvex to upstream targets."},
    {kGauge, "upstreamSMPPSessionsBound_SMSC_Type", true,
     "Number of current SMPP sessions in bound state from the Quorvex to upstream targets, "
     "labelled by target and bind type."},
    {kGauge, "upstreamSMPPSessionsBound_SMSC", true,
     "Number of current SMPP sessions in bound state from the Quorvex to upstream targets, "
     "labelled by target."},
    {kGauge, "upstreamSMPPSessionsUnbound", false,
     "Number of current SMPP sessions in unbound state from the Quorvex to upstream targets."},
    {kGauge, "upstreamSMPPSessionsUnbound_SMSC", true,
     "Number of current SMPP sessions in unbound state from the Quorvex to upstream targets, "
     "labelled by target."},
    {kGauge, "upstreamSMPPSessionsUnbound_SMSC_Type", true,
     "Number of current SMPP sessions in unbound state from the Quorvex to upstream targets, "
     "labelled by target and bind type."},
    {kCounter, "smppSubmitSMResp", false,
     "Number of submit_sm_resp PDUs processed by the Quorvex (upstream to downstream)."},
    {kCounter, "smppSubmitSMRespTotal", false,
     "Number of submit_sm_resp PDUs processed by the Quorvex (upstream to downstream)."},
    {kCounter, "smppSubmitSMResp_SMSC", true,
     "Number of submit_sm_resp PDUs processed by the Quorvex (upstream to downstream), labelled by "
     "target."},
    {kRate, "smppSubmitSMRespRate", false,
     "Rate of submit_sm_resp PDUs per second processed by the Quorvex (from upstream)."},
    {kRate, "smppSubmitSMRespRate_SMSC_Total", false,
     "Rate of submit_sm_resp PDUs per second processed by the Quorvex (from upstream)."},
    {kRate, "smppSubmitSMRespRate_SMSC", true,
     "Rate of submit_sm_resp PDUs per second processed by the Quorvex (from upstream), labelled by "
     "target."},
    {kCounter, "smppSubmitSMTotal", false,
     "Number of submit_sm PDUs processed by the Quorvex (downstream to upstream)."},
    {kCounter, "smppSubmitSM", true,
     "Number of submit_sm PDUs processed by the Quorvex (downstream to upstream), labelled by ESME "
     "and target."},
    {kCounter, "smppSubmitSM_ESME", true,
     "Number of submit_sm PDUs processed by the Quorvex (downstream to upstream), labelled by "
     "ESME."},
    {kCounter, "smppSubmitSM_SMSC", true,
     "Number of submit_sm PDUs processed by the Quorvex (downstream to upstream), labelled by "
     "target."},
    {kCounter, "smppSubmitSM_SMSC_Bind", true,
     "Number of submit_sm PDUs processed by the Quorvex (downstream to upstream), labelled by "
     "target and bind instance."},
    {kRate, "smppSubmitSMRateTotal", false,
     "Rate of submit_sm PDUs per second processed by the Quorvex (from downstream)."},
    {kRate, "smppSubmitSMRate", true,
     "Rate of submit_sm PDUs per second processed by the Quorvex (from downstream), labelled by "
     "ESME and target."},
    {kRate, "smppSubmitSMRate_ESME", true,
     "Rate of submit_sm PDUs per second processed by the Quorvex (from downstream), labelled by "
     "ESME."},
    {kRate, "smppSubmitSMRate_SMSC", true,
     "Rate of submit_sm PDUs per second processed by the Quorvex (from downstream), labelled by "
     "target."},
    {kCounter, "smppSubmitSMThrottle", false, "Number of throttled submit_sm due to TPS limit."},
    {kCounter, "smppSubmitSMThrottle_ESME", true,
     "Number of throttled submit_sm due to TPS limit, labelled by ESME."},
    {kCounter, "smppSubmitSMConcatenatedTotal", false,
     "Number of submit_sm PDUs processed by the Quorvex that are part of a concatenated message "
     "(downstream to upstream)."},
    {kCounter, "smppSubmitSMConcatenated", false,
     "Number of submit_sm PDUs processed by the Quorvex that are part of a concatenated message "
     "(downstream to upstream)."},
    {kCounter, "smppSubmitSMConcatenated_ESME", true,
     "Number of submit_sm PDUs processed by the Quorvex that are part of a concatenated message "
     "(downstream to upstream), labelled by ESME."},
    {kCounter, "smppSubmitSMConcatenatedReset", false,
     "Number of submit_sm PDUs of concatenated message where SMSC tracking was reset due to target "
     "unavailability."},
    {kCounter, "smppSubmitSMConcatenatedReset_ESME", true,
     "Number of submit_sm PDUs of concatenated message where SMSC tracking was reset due to target "
     "unavailability, labelled by ESME."},
    {kCounter, "smppSubmitSMNoRoute", false,
     "Number of submit_sm PDUs that could not be routed by the Quorvex to upstream target."},
    {kCounter, "smppSubmitSMNoRoute_ESME", true,
     "Number of submit_sm PDUs that could not be routed by the Quorvex to upstream target, "
     "labelled by ESME."},
    {kCounter, "smppDeliverSMTotal", false,
     "Number of deliver_sm PDUs processed by the Quorvex (upstream to downstream)."},
    {kCounter, "smppDeliverSM", true,
     "Number of deliver_sm PDUs processed by the Quorvex (upstream to downstream), labelled by "
     "ESME and target."},
    {kCounter, "smppDeliverSM_ESME", true,
     "Number of deliver_sm PDUs processed by the Quorvex (upstream to downstream), labelled by "
     "ESME."},
    {kCounter, "smppDeliverSM_SMSC", true,
     "Number of deliver_sm PDUs processed by the Quorvex (upstream to downstream), labelled by "
     "target."},
    {kRate, "smppDeliverSMRateTotal", false,
     "Rate of deliver_sm PDUs per second processed by the Quorvex (from upstream)."},
    {kRate, "smppDeliverSMRate", true,
     "Rate of deliver_sm PDUs per second processed by the Quorvex (from upstream), labelled by "
     "ESME and target."},
    {kRate, "smppDeliverSMRate_ESME", true,
     "Rate of deliver_sm PDUs per second processed by the Quorvex (from upstream), labelled by "
     "ESME."},
    {kRate, "smppDeliverSMRate_SMSC", true,
     "Rate of deliver_sm PDUs per second processed by the Quorvex (from upstream), labelled by "
     "target."},
    {kCounter, "smppDeliverSMRespTotal", false,
     "Number of deliver_sm_resp PDUs processed by the Quorvex (downstream to upstream)."},
    {kCounter, "smppDeliverSMResp", false,
     "Number of deliver_sm_resp PDUs processed by the Quorvex (downstream to upstream)."},
    {kCounter, "smppDeliverSMResp_ESME", true,
     "Number of deliver_sm_resp PDUs processed by the Quorvex (downstream to upstream), labelled "
     "by ESME."},
    {kRate, "smppDeliverSMRespRate", false,
     "Rate of deliver_sm_resp PDUs per second processed by the Quorvex (from downstream)."},
    {kRate, "smppDeliverSMRespRate_ESME", true,
     "Rate of deliver_sm_resp PDUs per second processed by the Quorvex (from downstream), labelled "
     "by ESME."},
    {kCounter, "smppDeliverSMDLR", false, "Number of DLRs processed by the Quorvex."},
    {kCounter, "smppDeliverSMDLR_SMSC", true,
     "Number of DLRs processed by the Quorvex, labelled by target."},
    {kRate, "smppDeliverSMDLRRate", false,
     "Rate of deliver_sm DLR PDUs per second processed by the Quorvex (from upstream)."},
    {kRate, "smppDeliverSMDLRRate_SMSC", true,
     "Rate of deliver_sm DLR PDUs per second processed by the Quorvex (from upstream), labelled by "
     "target."},
    {kCounter, "smppDeliverSMMOTotal", false, "Number of MO SMS processed by the Quorvex."},
    {kCounter, "smppDeliverSMMO", true,
     "Number of MO SMS processed by the Quorvex, labelled by ESME and target."},
    {kCounter, "smppDeliverSMMO_ESME", true,
     "Number of MO SMS processed by the Quorvex, labelled by ESME."},
    {kCounter, "smppDeliverSMMO_SMSC", true,
     "Number of MO SMS processed by the Quorvex, labelled by target."},
    {kRate, "smppDeliverSMMORate", false,
     "Rate of deliver_sm MO PDUs per second processed by the Quorvex (from upstream)."},
    {kRate, "smppDeliverSMMORate_SMSC", true,
     "Rate of deliver_sm MO PDUs per second processed by the Quorvex (from upstream), labelled by "
     "target."},
    {kCounter, "sockets_smpp_DN_DeliverSM_sendFail", false,
     "Number of deliver_sm PDUs that failed to send (to downstream)."},
    {kCounter, "sockets_smpp_DN_DeliverSM_sendFail_ESME", true,
     "Number of deliver_sm PDUs that failed to send (to downstream), labelled by ESME."},
    {kCounter, "sockets_smpp_DN_SubmitSMResp_sendFail", false,
     "Number of submit_sm_resp PDUs that failed to send (to downstream)."},
    {kCounter, "sockets_smpp_DN_SubmitSMResp_sendFail_ESME", true,
     "Number of submit_sm_resp PDUs that failed to send (to downstream), labelled by ESME."},
    {kCounter, "sockets_smpp_UP_SubmitSM_sendFail", false,
     "Number of submit_sm PDUs that failed to send (to upstream)."},
    {kCounter, "sockets_smpp_UP_SubmitSM_sendFail_SMSC", true,
     "Number of submit_sm PDUs that failed to send (to upstream), labelled by target."},
    {kCounter, "smppSubmitSMSendFail", false,
     "Number of submit_sm PDUs that failed to send (downstream to upstream)."},
    {kCounter, "smppSubmitSMSendFail_SMSC", true,
     "Number of submit_sm PDUs that failed to send (downstream to upstream), labelled by target."},
    {kCounter, "smppDLRMessageIDUnknown", false,
     "Number of DLRs received where message ID is unknown (from upstream)."},
    {kCounter, "smppDLRMessageIDUnknown_SMSC", true,
     "Number of DLRs received where message ID is unknown (from upstream), labelled by target."},
    {kCounter, "sockets_smpp_UP_DeliverSMResp_sendFail", false,
     "Number of deliver_sm_resp PDUs that failed to send (to upstream)."},
    {kCounter, "sockets_smpp_UP_DeliverSMResp_sendFail_SMSC", true,
     "Number of deliver_sm_resp PDUs that failed to send (to upstream), labelled by target."},
    {kCounter, "smppDeliverSMMOUnknownESME", false,
     "Number of MO SMS where ESME cannot be determined from destination address."},
    {kCounter, "smppDeliverSMMOUnknownESME_SMSC", true,
     "Number of MO SMS where ESME cannot be determined from destination address, labelled by "
     "target."},
    {kCounter, "smppDeliverSMSendFail", false,
     "Number of deliver_sm PDUs that failed to send (upstream to downstream)."},
    {kCounter, "smppDeliverSMSendFail_ESME", true,
     "Number of deliver_sm PDUs that failed to send (upstream to downstream), labelled by ESME."},
    {kGauge, "sysDeliverSMQueue_fifo_queue_size", false,
     "Total number of DeliverSM PDUs queued for ESMEs."},
    {kGauge, "sysTracker_messageIDMap_size", false,
     "Total number of Tracker messageID map entries."},
    {kGauge, "sysTracker_submitSMMap_size", false, "Total number of Tracker submitSM map entries."},
};

} // namespace

void registerMetrics(MetricsRegistry& registry) {
  for (const Family& f : kFamilies) {
    switch (f.kind) {
    case kCounter:
      registry.registerCounter(f.name, f.help, f.labelled);
      break;
    case kGauge:
      registry.registerGauge(f.name, f.help, f.labelled);
      break;
    case kRate:
      registry.registerRate(f.name, f.help, f.labelled);
      break;
    }
  }
  registry.counterReset("smppDownstreamBindAttempt{result=\"success\"}");
  registry.counterReset("smppDownstreamBindAttempt{result=\"fail\"}");
}

} // namespace quorvex
