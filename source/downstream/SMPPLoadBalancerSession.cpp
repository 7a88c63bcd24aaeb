#include "downstream/SMPPLoadBalancerSession.h"

#include <cerrno>
#include <cstdlib>

#include "app/Log.h"
#include "downstream/BindChecks.h"
#include "downstream/DeliverSMQueue.h"
#include "downstream/ESMERegistry.h"
#include "downstream/SimulatedReceipt.h"
#include "metrics/MetricEvents.h"
#include "smpp/SMPPSocketUnencrypted.h"
#include "tracker/Tracker.h"

namespace quorvex {
namespace {

// Room for a receipt body: addresses, the receipt text and three TLVs.
constexpr size_t kReceiptCapacity = 512;

// The compiled rule tables; the main thread is their only user.
GlobalRouteCache& globalRoutes() {
  static GlobalRouteCache cache;
  return cache;
}
ESMERouteCache& esmeRoutes() {
  static ESMERouteCache cache;
  return cache;
}

// destination_addr as strtoull reads it; false when no digit converts or
// the value is out of range.
bool numericDestination(const std::string& text, uint64_t& number) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(begin, &end, 10);
  if (end == begin || errno == ERANGE) {
    return false;
  }
  number = value;
  return true;
}

} // namespace

std::shared_ptr<SMPPLoadBalancerSession>
SMPPLoadBalancerSession::create(int descriptor, const std::string& peerIp, int peerPort,
                                smpp::EntityControlMaster* owner) {
  auto session = std::make_shared<SMPPLoadBalancerSession>(descriptor, peerIp, peerPort, owner);
  tracker().addSession(session->sessionId(), session);
  return session;
}

SMPPLoadBalancerSession::SMPPLoadBalancerSession(int descriptor, const std::string& peerIp,
                                                 int peerPort, smpp::EntityControlMaster* owner)
    : SMPPSessionServer(owner) {
  // The listener owns the descriptor and closes it.
  connection().attach(std::make_unique<smpp::SMPPSocketUnencrypted>(descriptor), descriptor, false);
  setPeer(peerIp, peerPort);
  setClosingTime(clock().nowMicros() + kBindTimeoutMicros);
  setOwner(owner);
  routes_ = esmeRoutes().get(std::string(), {});
  metricEvents().downstreamSessionCreated();
}

SMPPLoadBalancerSession::~SMPPLoadBalancerSession() { metricEvents().downstreamSessionDestroyed(); }

int SMPPLoadBalancerSession::refuseBind() {
  metricEvents().downstreamBindAttempt(false);
  return smpp::kBindRefuse;
}

int SMPPLoadBalancerSession::onBindAuthorisation(uint64_t, const std::string& peerIp, uint8_t,
                                                 const std::string& systemId,
                                                 const std::string& password, const std::string&,
                                                 uint32_t bindCommandId, const char*,
                                                 uint32_t sequenceNumber) {
  const char* sid = systemId.c_str();
  const char* ip = peerIp.c_str();
  logApplication(LOG_INFO, this, kLogClass, "onBindAuthorisation",
                 "Bind request from ESME %s IP %s", sid, ip);
  bindRequested_ = true;
  bindCommandId_ = bindCommandId;
  bindSequence_ = sequenceNumber;
  bindSystemId_ = systemId;
  setSystemId(systemId);

  ESMERegistry registry;
  const ESMEAuth auth = registry.getESMEAuth(peerIp, systemId);
  if (!auth.bindingEnabled) {
    logApplication(LOG_INFO, this, kLogClass, "onBindAuthorisation",
                   "Binding attempt rejected. Binding disabled for ESME %s IP %s", sid, ip);
    return refuseBind();
  }
  if (auth.passwordHash.empty()) {
    if (!auth.password.empty() && auth.password != password) {
      logApplication(LOG_INFO, this, kLogClass, "onBindAuthorisation",
                     "Binding attempt rejected. Password incorrect for ESME %s IP %s", sid, ip);
      return refuseBind();
    }
  } else if (!checkPasswordHash(password, auth.passwordHash)) {
    logApplication(LOG_INFO, this, kLogClass, "onBindAuthorisation",
                   "Binding attempt rejected. Password hash mismatch for ESME %s IP %s", sid, ip);
    return refuseBind();
  }
  if (!ipAllowed(peerIp, registry.getESMEAllowedIPs(peerIp, systemId))) {
    logApplication(LOG_INFO, this, kLogClass, "onBindAuthorisation",
                   "Binding attempt rejected. IP address %s not in allowed IPs for ESME %s", ip,
                   sid);
    return refuseBind();
  }
  routes_ = esmeRoutes().get(systemId, registry.getESMERoutes(peerIp, systemId));
  tpsLimit_ = registry.getESMETPSLimit(peerIp, systemId);
  scopedKey_ = ESMERegistry::scopedKey(peerIp, systemId);
  const std::string targetSet = registry.getESMETargetSet(peerIp, systemId);
  logApplication(LOG_INFO, this, kLogClass, "onBindAuthorisation",
                 "Using shared target set \"%s\" for ESME %s", targetSet.c_str(), sid);
  tracker().setSessionSystemID(sessionId(), systemId);
  metricEvents().downstreamBindAttempt(true);
  return smpp::kBindAccept;
}

int SMPPLoadBalancerSession::onSubmitSM(const std::string& systemId,
                                        const smpp::SubmitSMRecord& record, uint32_t,
                                        uint32_t sequenceNumber, std::string& messageId,
                                        uint32_t& status) {
  metricEvents().submitReceived(systemId);
  if (bindState() != smpp::kBoundTransmitter && bindState() != smpp::kBoundTransceiver) {
    status = smpp::status::kInvalidBindState;
    return smpp::kSubmitRefused;
  }
  // Read per submit, so that an admin change applies from the next one.
  tpsLimit_ = ESMERegistry().getSubmitSettings(systemId, scopedKey_, targetSet_);
  const uint64_t now = clock().nowMicros();
  if (!throttle_.admit(now, tpsLimit_)) {
    throttledStats().record(now);
    status = smpp::status::kThrottled;
    metricEvents().submitThrottled(systemId);
    return smpp::kSubmitRefused;
  }
  uint64_t destination = 0;
  if (!numericDestination(record.destination_addr, destination)) {
    return smpp::kSubmitRefused;
  }
  // An ESME rule wins over a global one, which wins over the account's set.
  const RouteTablePtr global = globalRoutes().current();
  const std::string& targetSet = routes_->route(record, global->route(record, targetSet_));
  const int result = submitToTarget(sequenceNumber, destination, targetSet, record, messageId);
  if (result == smpp::kSubmitRefused) {
    metricEvents().submitNoRoute(systemId);
  }
  return result;
}

int SMPPLoadBalancerSession::submitToTarget(uint32_t sequenceNumber, uint64_t destination,
                                            const std::string& targetSet,
                                            const smpp::SubmitSMRecord& record,
                                            std::string& messageId) {
  if (smpp::getConcatenationInfo(record).concatenated) {
    metricEvents().concatenatedPartReceived(systemId());
  }
  if (targetSet == kSimulatedTargetSet) {
    return submitToSimulator(record, messageId);
  }
  return submitUpstream(sequenceNumber, destination, targetSet, record);
}

int SMPPLoadBalancerSession::submitToSimulator(const smpp::SubmitSMRecord& record,
                                               std::string& messageId) {
  makeSimulatedMessageId(messageId);
  if (record.registered_delivery != 0) {
    // Queued now, sent by a later deliver sweep: after the submit_sm_resp.
    uint8_t body[kReceiptCapacity];
    const size_t length =
        buildSimulatedReceipt(record, messageId, interfaceVersion(), body, sizeof(body));
    if (length != 0) {
      deliverSMQueue().push(systemId(), body, length);
    }
  }
  return smpp::kSubmitAccepted;
}

int SMPPLoadBalancerSession::submitUpstream(uint32_t, uint64_t, const std::string&,
                                            const smpp::SubmitSMRecord&) {
  // No upstream pool exists yet: every target set but the simulated one is
  // unroutable. The weighted pool loop (attempts over submitPoolSize,
  // concatenated parts pinned to one SMSC, sendSubmitSM, the CDR) goes here.
  return smpp::kSubmitRefused;
}

bool SMPPLoadBalancerSession::onDeliverSMResp(uint32_t, const std::string&, uint32_t) {
  // Sent deliver_sm PDUs are not tracked: the response is only counted.
  metricEvents().deliverRespFromEsme(systemId());
  return true;
}

bool SMPPLoadBalancerSession::deliver(uint64_t now, bool& sweep, bool& sent) {
  if (!deliverSMQueue().pop(systemId(), deliverBody_)) {
    return false;
  }
  const uint32_t sequence = static_cast<uint32_t>(takeSequenceNumber());
  lastDeliverTime_.store(now, std::memory_order_relaxed);
  deliverCount_.fetch_add(1, std::memory_order_relaxed);
  if (sendPDU(sequence, smpp::command::kDeliverSM, smpp::status::kOk, deliverBody_.data(),
              deliverBody_.size())) {
    sweep = true;
    sent = true;
  } else {
    // Dropped, not re-queued: the SMSC was acknowledged long ago.
    metricEvents().deliverSendToEsmeFailed(systemId());
  }
  return false;
}

} // namespace quorvex
