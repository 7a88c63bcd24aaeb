// The upstream thread's way to the ESMEs: submit_sm_resp relayed on the
// ESME session found through the Tracker, deliver_sm bodies queued for the
// main loop to send.
#pragma once

#include "upstream/DownstreamPort.h"

namespace quorvex {

class DownstreamRelay : public DownstreamPort {
public:
  bool esmeSessionOpen(uint64_t esmeSessionId) override;
  bool relaySubmitSMResp(uint64_t esmeSessionId, uint32_t esmeSeqNo, uint32_t status,
                         std::string_view messageId) override;
  void pushDeliverSM(const std::string& esmeSystemId, const uint8_t* body, size_t length) override;
};

// The process-wide relay the application hands to the upstream manager.
DownstreamRelay& downstreamRelay();

} // namespace quorvex
