// The session of one downstream ESME connection: bind authorisation against
// the ESME accounts, the TPS throttle, MT routing, submits to the target
// sets, and the delivery of queued deliver_sm PDUs.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "downstream/RouteTableCache.h"
#include "downstream/ThrottleWindow.h"
#include "smpp/EntityControlMaster.h"
#include "smpp/SMPPSessionServer.h"

namespace quorvex {

class SMPPLoadBalancerSession : public smpp::SMPPSessionServer {
public:
  static constexpr const char* kLogClass = "SMPPLoadBalancerSession";
  static constexpr uint64_t kBindTimeoutMicros = 20000000;
  // The bind deadline of sessions created from now on (tests shorten it).
  static void setBindTimeout(uint64_t micros);

  // Sessions are shared so that the Tracker's weak reference can keep one
  // alive while another thread answers on it; create() registers it there.
  static std::shared_ptr<SMPPLoadBalancerSession>
  create(int descriptor, const std::string& peerIp, int peerPort, smpp::EntityControlMaster* owner);

  SMPPLoadBalancerSession(int descriptor, const std::string& peerIp, int peerPort,
                          smpp::EntityControlMaster* owner);
  ~SMPPLoadBalancerSession() override;

  int onBindAuthorisation(uint64_t now, const std::string& peerIp, uint8_t interfaceVersion,
                          const std::string& systemId, const std::string& password,
                          const std::string& systemType, uint32_t bindCommandId,
                          const char* responseSystemId, uint32_t sequenceNumber) override;
  // The verifier's verdict on a bind left pending: answers it.
  void onPasswordVerdict(bool match);
  int onSubmitSM(const std::string& systemId, const smpp::SubmitSMRecord& record,
                 uint32_t commandId, uint32_t sequenceNumber, std::string& messageId,
                 uint32_t& status) override;
  bool onDeliverSMResp(uint32_t commandStatus, const std::string& messageId,
                       uint32_t sequenceNumber) override;
  // Sends one deliver_sm queued for this ESME; sets both flags when it did.
  bool deliver(uint64_t now, bool& sweep, bool& sent) override;
  enum class DeliverOutcome {
    kEmpty,  // nothing queued for the ESME
    kSent,   // one body went into the output buffer
    kFailed, // one body was popped and could not be sent (dropped, counted)
  };
  DeliverOutcome deliverOne(uint64_t now);

  // SubmitDecision of one routed submit: the simulated target answers at
  // once; every other target set goes upstream.
  int submitToTarget(uint32_t sequenceNumber, uint64_t destination, const std::string& targetSet,
                     const smpp::SubmitSMRecord& record, std::string& messageId);

  // µs of the last deliver_sm attempt, 0 = never; the key of the ESME's
  // least-recently-used delivery order.
  uint64_t lastDeliverTime() const { return lastDeliverTime_.load(std::memory_order_relaxed); }
  uint64_t deliverCount() const { return deliverCount_.load(std::memory_order_relaxed); }
  // A bind request reached authorisation on this connection.
  bool bindRequested() const { return bindRequested_; }
  const ThrottleWindow& throttle() const { return throttle_; }

private:
  int refuseBind();
  // The checks of a bind after its password: allowed addresses, then the
  // account's routes and limits; BindDecision.
  int authoriseAccount(const std::string& peerIp, const std::string& systemId);
  int submitToSimulator(const smpp::SubmitSMRecord& record, std::string& messageId);
  // The hand-over to an upstream SMSC of the target set's pool.
  int submitUpstream(uint32_t sequenceNumber, uint64_t destination, const std::string& targetSet,
                     const smpp::SubmitSMRecord& record, const smpp::ConcatenationInfo& concat);

  // Where the remaining parts of one concatenated message go.
  struct ConcatenationRoute {
    uint64_t smscId;    // bind chosen for the first part
    uint32_t remaining; // parts still expected, counting down to 1
  };

  uint32_t bindCommandId_ = 0;     // command id of the last bind request
  uint32_t bindSequence_ = 0;      // its sequence number
  std::string bindSystemId_;       // its system_id
  std::string scopedKey_;          // "[peer IP]system_id", the address-bound account key
  bool bindRequested_ = false;     // some bind reached onBindAuthorisation
  std::string pendingHash_;        // the hash a pending bind's password is checked against
  RouteTablePtr routes_;           // the ESME's own MT rules, compiled at bind
  uint16_t tpsLimit_ = 65535;      // submits per window, from the account
  ThrottleWindow throttle_;        // TPS window
  std::string targetSet_;          // the account's target set, reused per submit
  RouteTablePtr globalRoutes_;     // the global MT rules
  uint64_t settingsStamp_ = ~0ULL; // configChangeStamp tpsLimit_, targetSet_, globalRoutes_ read at
  std::vector<uint8_t> deliverBody_; // body being delivered
  // Key: numeric destination ^ session id ^ concatenation reference.
  std::map<uint64_t, ConcatenationRoute> concatenation_;
  std::string smscName_; // name of the bind the last submit went to, reused per submit
  std::atomic<uint64_t> lastDeliverTime_{0}; // µs of the last deliver attempt
  std::atomic<uint64_t> deliverCount_{0};    // deliver attempts
};

} // namespace quorvex
