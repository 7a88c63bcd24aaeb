#include "downstream/SMPPLoadBalancerSession.h"

#include <cerrno>
#include <cstdlib>

#include "app/Log.h"
#include "cdr/SMPPCDRManager.h"
#include "config/TarnConfiguration.h"
#include "downstream/BindChecks.h"
#include "downstream/DeliverSMQueue.h"
#include "downstream/ESMERegistry.h"
#include "downstream/PasswordVerifier.h"
#include "downstream/SimulatedReceipt.h"
#include "metrics/MetricEvents.h"
#include "smpp/SMPPSocketUnencrypted.h"
#include "tracker/Tracker.h"
#include "upstream/SMPPUpstream.h"

namespace quorvex {
namespace {

// µs from accept to the bind; set once at start-up, before any session.
std::atomic<uint64_t> bindTimeoutMicros{SMPPLoadBalancerSession::kBindTimeoutMicros};

// Room for a receipt body: addresses, the receipt text and three TLVs.
constexpr size_t kReceiptCapacity = 512;

// The compiled ESME rule tables; the main thread is their only user.
ESMERouteCache& esmeRoutes() {
  static ESMERouteCache cache;
  return cache;
}

// Opens the call-detail record before the submit_sm is written: a fast SMSC
// may answer before sendSubmitSM has even returned.
class CDROpener : public SubmitListener {
public:
  CDROpener(const smpp::SubmitSMRecord& record, const std::string& esme, const std::string& ip)
      : record_(record), esme_(esme), ip_(ip) {}
  OpenCDR beforeSend(uint64_t smscid, uint32_t seqnoOut, const std::string& smscName) override {
    return SMPPCDRManager::instance().queueSubmitEvent(record_, esme_, ip_, smscName, smscid,
                                                       seqnoOut);
  }

private:
  const smpp::SubmitSMRecord& record_; // the submit being sent
  const std::string& esme_;            // ESME system id
  const std::string& ip_;              // ESME peer address
};

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
  setClosingTime(clock().nowMicros() + bindTimeoutMicros.load(std::memory_order_relaxed));
  setOwner(owner);
  routes_ = ESMERouteCache::empty();
  metricEvents().downstreamSessionCreated();
}

void SMPPLoadBalancerSession::setBindTimeout(uint64_t micros) {
  bindTimeoutMicros.store(micros, std::memory_order_relaxed);
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
  } else if (!passwordVerifier().remembered(systemId, auth.passwordHash, password)) {
    // Hashed on the verifier's thread: the main loop goes on serving the
    // other sessions, this one reads nothing until onPasswordVerdict.
    pendingHash_ = auth.passwordHash;
    passwordVerifier().submit(connection().descriptor(), sessionId(), systemId, auth.passwordHash,
                              password);
    return smpp::kBindPending;
  }
  return authoriseAccount(peerIp, systemId);
}

void SMPPLoadBalancerSession::onPasswordVerdict(bool match) {
  const std::string& systemId = bindSystemId_;
  const char* sid = systemId.c_str();
  const char* ip = peerIp().c_str();
  // The account may have changed while the hash was checked.
  const ESMEAuth auth = ESMERegistry().getESMEAuth(peerIp(), systemId);
  int decision = smpp::kBindRefuse;
  if (!auth.bindingEnabled) {
    logApplication(LOG_INFO, this, kLogClass, "onBindAuthorisation",
                   "Binding attempt rejected. Binding disabled for ESME %s IP %s", sid, ip);
    decision = refuseBind();
  } else if (!match || auth.passwordHash != pendingHash_) {
    logApplication(LOG_INFO, this, kLogClass, "onBindAuthorisation",
                   "Binding attempt rejected. Password hash mismatch for ESME %s IP %s", sid, ip);
    decision = refuseBind();
  } else {
    decision = authoriseAccount(peerIp(), systemId);
  }
  pendingHash_.clear();
  answerPendingBind(clock().nowMicros(), decision);
}

int SMPPLoadBalancerSession::authoriseAccount(const std::string& peerIp,
                                              const std::string& systemId) {
  const char* sid = systemId.c_str();
  const char* ip = peerIp.c_str();
  ESMERegistry registry;
  if (!ipAllowed(peerIp, registry.getESMEAllowedIPs(peerIp, systemId))) {
    logApplication(LOG_INFO, this, kLogClass, "onBindAuthorisation",
                   "Binding attempt rejected. IP address %s not in allowed IPs for ESME %s", ip,
                   sid);
    return refuseBind();
  }
  routes_ = esmeRoutes().get(registry, peerIp, systemId,
                             configuration().configChangeStamp.load(std::memory_order_acquire));
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
  // Re-read only after a change: an admin change applies from the next
  // submit, and an unchanged configuration costs one atomic load, no lock.
  const uint64_t stamp = configuration().configChangeStamp.load(std::memory_order_acquire);
  if (stamp != settingsStamp_) {
    tpsLimit_ = ESMERegistry().getSubmitSettings(systemId, scopedKey_, targetSet_);
    globalRoutes_ = globalRouteCache().current();
    settingsStamp_ = stamp;
  }
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
  const std::string& targetSet = routes_->route(record, globalRoutes_->route(record, targetSet_));
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
  const smpp::ConcatenationInfo concat = smpp::getConcatenationInfo(record);
  if (concat.concatenated) {
    metricEvents().concatenatedPartReceived(systemId());
  }
  if (targetSet == kSimulatedTargetSet) {
    return submitToSimulator(record, messageId);
  }
  return submitUpstream(sequenceNumber, destination, targetSet, record, concat);
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

int SMPPLoadBalancerSession::submitUpstream(uint32_t sequenceNumber, uint64_t destination,
                                            const std::string& targetSet,
                                            const smpp::SubmitSMRecord& record,
                                            const smpp::ConcatenationInfo& concat) {
  SMPPUpstream& upstream = smppUpstream();
  int attempts = upstream.submitPoolSize(targetSet);
  const bool recording = SMPPCDRManager::instance().mode() != CDRMode::NONE;
  CDROpener opener(record, systemId(), peerIp());
  const uint64_t key = destination ^ sessionId() ^ concat.reference;
  if (attempts > 0 && concat.concatenated && concatenation_.count(key) != 0) {
    ++attempts; // the part's own SMSC first, then every bound one of the pool
  }
  for (; attempts > 0; --attempts) {
    uint64_t smscid = 0;
    auto route = concat.concatenated ? concatenation_.find(key) : concatenation_.end();
    if (route != concatenation_.end()) {
      // Every part of one message goes to the SMSC that took the first.
      smscid = route->second.smscId;
      if (--route->second.remaining <= 1) {
        concatenation_.erase(route);
      }
    } else {
      smscid = upstream.nextSMSCFromSubmitPool(targetSet);
      if (concat.concatenated) {
        concatenation_[key] = ConcatenationRoute{smscid, concat.total};
      }
    }
    uint32_t upstreamSequence = 0;
    if (smscid != 0 &&
        upstream.sendSubmitSM(systemId(), sessionId(), smscid, sequenceNumber, record,
                              upstreamSequence, smscName_, recording ? &opener : nullptr)) {
      return smpp::kSubmitAnswerLater;
    }
    // A failed part starts its message afresh on the next SMSC of the pool.
    if (concat.concatenated && concatenation_.erase(key) != 0) {
      metricEvents().concatenatedTrackingReset(systemId());
    }
  }
  return smpp::kSubmitRefused;
}

bool SMPPLoadBalancerSession::onDeliverSMResp(uint32_t, const std::string&, uint32_t) {
  // Sent deliver_sm PDUs are not tracked: the response is only counted.
  metricEvents().deliverRespFromEsme(systemId());
  return true;
}

bool SMPPLoadBalancerSession::deliver(uint64_t now, bool& sweep, bool& sent) {
  if (deliverOne(now) == DeliverOutcome::kSent) {
    sweep = true;
    sent = true;
  }
  return false;
}

SMPPLoadBalancerSession::DeliverOutcome SMPPLoadBalancerSession::deliverOne(uint64_t now) {
  if (!deliverSMQueue().pop(systemId(), deliverBody_)) {
    return DeliverOutcome::kEmpty;
  }
  const uint32_t sequence = static_cast<uint32_t>(takeSequenceNumber());
  lastDeliverTime_.store(now, std::memory_order_relaxed);
  deliverCount_.fetch_add(1, std::memory_order_relaxed);
  if (sendPDU(sequence, smpp::command::kDeliverSM, smpp::status::kOk, deliverBody_.data(),
              deliverBody_.size())) {
    return DeliverOutcome::kSent;
  }
  // Dropped, not re-queued: the SMSC was acknowledged long ago. Only a dead
  // connection gets here; a slow one is skipped before the pop.
  metricEvents().deliverSendToEsmeFailed(systemId());
  return DeliverOutcome::kFailed;
}

} // namespace quorvex
