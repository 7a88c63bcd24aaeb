// The upstream thread's way to the ESMEs: submit_sm_resp relayed on the
// ESME session found through the Tracker, deliver_sm bodies queued for the
// main loop to send.
#pragma once

#include <array>
#include <memory>

#include "upstream/DownstreamPort.h"

namespace quorvex {

class SMPPLoadBalancerSession;

class DownstreamRelay : public DownstreamPort {
public:
  // Upstream thread.
  bool relaySubmitSMResp(uint64_t esmeSessionId, uint32_t esmeSeqNo, uint32_t requestId,
                         uint32_t status, std::string_view messageId) override;
  // Any thread.
  void pushDeliverSM(const std::string& esmeSystemId, const uint8_t* body, size_t length) override;

private:
  // The session behind an id, through a small cache in front of the
  // Tracker: every response of a session would otherwise take the Tracker's
  // lock twice. Ids are never reused, so a cached entry is right for as long
  // as its session lives, and a dead one fails to lock. Null when gone.
  std::shared_ptr<SMPPLoadBalancerSession> session(uint64_t esmeSessionId);

  struct CachedSession {
    uint64_t id = 0;                                // session id, 0 = empty
    std::weak_ptr<SMPPLoadBalancerSession> session; // the Tracker's reference
  };
  std::array<CachedSession, 64> cache_; // by id modulo 64; upstream thread only
};

// The process-wide relay the application hands to the upstream manager.
DownstreamRelay& downstreamRelay();

} // namespace quorvex
