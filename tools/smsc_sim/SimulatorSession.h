// One ESME connection of the simulator: the library's server dispatcher
// with the simulator's decisions behind its hooks, driven by readiness.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "smpp/EventLoop.h"
#include "smpp/SMPPSessionServer.h"

namespace quorvex::tools {

class SimulatorSession;

// What a session asks of the simulator that owns it.
class SessionOwner {
public:
  virtual ~SessionOwner() = default;
  // BindDecision for a bind request.
  virtual int authorise(SimulatorSession& session, const std::string& systemId,
                        const std::string& password, uint32_t bindCommandId) = 0;
  // SubmitDecision for a decoded submit_sm or data_sm.
  virtual int submit(SimulatorSession& session, const smpp::SubmitSMRecord& record,
                     uint32_t commandId, uint32_t sequenceNumber, std::string& messageId,
                     uint32_t& status) = 0;
  virtual void deliverResponded(SimulatorSession& session, uint32_t status) = 0;
  virtual void unbound(SimulatorSession& session) = 0;
  // The session has ended (peer gone, dropped, framing error).
  virtual void finished(SimulatorSession& session) = 0;
};

class SimulatorSession : public smpp::SMPPSessionServer, public smpp::EventHandler {
public:
  // Takes ownership of the connected descriptor.
  // Over `stream` (a TLS one) when given, else plain TCP on `descriptor`.
  SimulatorSession(SessionOwner& owner, int descriptor, const std::string& peerIp, int peerPort,
                   std::unique_ptr<smpp::SMPPSocket> stream = nullptr);

  void onReadable(int fd) override;

  int onBindAuthorisation(uint64_t now, const std::string& peerIp, uint8_t interfaceVersion,
                          const std::string& systemId, const std::string& password,
                          const std::string& systemType, uint32_t bindCommandId,
                          const char* responseSystemId, uint32_t sequenceNumber) override;
  void onUnbind() override;
  int onSubmitSM(const std::string& systemId, const smpp::SubmitSMRecord& record,
                 uint32_t commandId, uint32_t sequenceNumber, std::string& messageId,
                 uint32_t& status) override;
  bool onDeliverSMResp(uint32_t commandStatus, const std::string& messageId,
                       uint32_t sequenceNumber) override;

  // Sends a deliver_sm with a sequence number of this session's own.
  bool sendDeliver(const std::vector<uint8_t>& body);
  // Writes queued output; false once the connection is broken.
  bool flush();
  size_t pendingOutput();
  int descriptor() const { return descriptor_; }
  // Bound as receiver or transceiver and still usable.
  bool canReceive();
  bool usable();

  uint64_t submitsSeen = 0; // submits received on this connection (for --drop-after)
  bool paused = false;      // not watched while its output backlog drains

private:
  SessionOwner& owner_; // the simulator
  int descriptor_;      // the connected socket, closed with the session
};

} // namespace quorvex::tools
