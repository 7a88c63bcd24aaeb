#include "app/UpstreamStatus.h"

#include "upstream/SMPPUpstream.h"

namespace quorvex {

std::map<uint64_t, BindStatus> UpstreamStatus::bindStatuses() {
  std::map<uint64_t, BindStatus> statuses;
  smppUpstream().inspect([&statuses](const std::map<uint64_t, BindSlot>& slots, const auto&) {
    for (const auto& [smscid, slot] : slots) {
      BindStatus& status = statuses[smscid];
      status.bindType = slot.bindType;
      status.adminDown = slot.adminDown;
      const SMPPSessionClient* session = slot.session;
      if (session != nullptr && session->smscid() == smscid) {
        status.hasSession = true;
        status.connected = session->connectionState() == kConnectionConnected;
        status.bindState = session->bindState();
        status.host = session->host();
        status.port = session->port();
        status.systemId = slot.systemId;
      } else {
        status.host = slot.host;
        status.port = slot.port;
        status.systemId = slot.systemId;
      }
    }
  });
  return statuses;
}

} // namespace quorvex
