// What the upstream side needs from the downstream side: relaying an SMSC's
// submit_sm_resp to the ESME session that sent the submit, and queueing
// deliver_sm bodies for an ESME. The application supplies the implementation
// (through the Tracker's session registry and the DeliverSMQueue), so the
// upstream library does not depend on the downstream one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvex {

class DownstreamPort {
public:
  virtual ~DownstreamPort() = default;

  // Answers the ESME's request `requestId` (submit_sm or data_sm) in kind on
  // its session with the ESME's own sequence number: status 0 carries
  // `messageId` and its NUL, any other status an empty body. True when the
  // PDU was written.
  virtual bool relaySubmitSMResp(uint64_t esmeSessionId, uint32_t esmeSeqNo, uint32_t requestId,
                                 uint32_t status, std::string_view messageId) = 0;

  // Queues deliver_sm body octets (no header) for the ESME; copies them.
  virtual void pushDeliverSM(const std::string& esmeSystemId, const uint8_t* body,
                             size_t length) = 0;
};

// Used until the application installs the real port: nothing reaches an
// ESME, and relays report failure.
class UnwiredDownstreamPort : public DownstreamPort {
public:
  bool relaySubmitSMResp(uint64_t, uint32_t, uint32_t, uint32_t, std::string_view) override {
    return false;
  }
  void pushDeliverSM(const std::string&, const uint8_t*, size_t) override {}
};

} // namespace quorvex
