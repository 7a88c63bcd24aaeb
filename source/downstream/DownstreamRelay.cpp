#include "downstream/DownstreamRelay.h"

#include <string>

#include "downstream/DeliverSMQueue.h"
#include "downstream/SMPPLoadBalancerSession.h"
#include "smpp/SMPPConstants.h"
#include "tracker/Tracker.h"

namespace quorvex {

bool DownstreamRelay::esmeSessionOpen(uint64_t esmeSessionId) {
  const std::shared_ptr<SMPPLoadBalancerSession> session =
      tracker().getSession(esmeSessionId).lock();
  return session != nullptr && !session->connection().dead();
}

bool DownstreamRelay::relaySubmitSMResp(uint64_t esmeSessionId, uint32_t esmeSeqNo, uint32_t status,
                                        std::string_view messageId) {
  // The locked reference keeps the session alive while this thread writes;
  // a session the main loop removed meanwhile has its connection closed,
  // so the send fails instead of reaching a reused descriptor.
  const std::shared_ptr<SMPPLoadBalancerSession> session =
      tracker().getSession(esmeSessionId).lock();
  if (session == nullptr) {
    return false;
  }
  return session->handleESMESubmitSMResponse(status == smpp::status::kOk, smpp::command::kSubmitSM,
                                             esmeSeqNo, std::string(messageId), status);
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
