#include "downstream/DownstreamRelay.h"

#include <string>

#include "downstream/DeliverSMQueue.h"
#include "downstream/SMPPLoadBalancerSession.h"
#include "smpp/SMPPConstants.h"
#include "tracker/Tracker.h"

namespace quorvex {

std::shared_ptr<SMPPLoadBalancerSession> DownstreamRelay::session(uint64_t esmeSessionId) {
  CachedSession& slot = cache_[esmeSessionId % cache_.size()];
  if (slot.id == esmeSessionId) {
    if (std::shared_ptr<SMPPLoadBalancerSession> cached = slot.session.lock()) {
      return cached;
    }
  }
  slot.id = esmeSessionId;
  slot.session = tracker().getSession(esmeSessionId);
  return slot.session.lock();
}

bool DownstreamRelay::relaySubmitSMResp(uint64_t esmeSessionId, uint32_t esmeSeqNo,
                                        uint32_t requestId, uint32_t status,
                                        std::string_view messageId) {
  // The locked reference keeps the session alive while this thread writes;
  // a session the main loop removed meanwhile has its connection closed,
  // so the send fails instead of reaching a reused descriptor.
  const std::shared_ptr<SMPPLoadBalancerSession> found = session(esmeSessionId);
  if (found == nullptr) {
    return false;
  }
  return found->handleESMESubmitSMResponse(status == smpp::status::kOk, requestId, esmeSeqNo,
                                           messageId, status);
}

void DownstreamRelay::pushDeliverSM(const std::string& esmeSystemId, const uint8_t* body,
                                    size_t length) {
  deliverSMQueue().push(esmeSystemId, body, length);
}

DownstreamRelay& downstreamRelay() {
  static DownstreamRelay relay;
  return relay;
}

} // namespace quorvex
