#include "smsc_sim/SimulatorSession.h"

#include "common/BufferedSocket.h"

namespace quorvex::tools {

SimulatorSession::SimulatorSession(SessionOwner& owner, int descriptor, const std::string& peerIp,
                                   int peerPort, std::unique_ptr<smpp::SMPPSocket> stream)
    : owner_(owner), descriptor_(descriptor) {
  connection().attach(stream ? std::make_unique<BufferedSocket>(std::move(stream))
                             : std::make_unique<BufferedSocket>(descriptor),
                      descriptor, true);
  setPeer(peerIp, peerPort);
  // The simulator never probes its peers; it only answers their probes.
  setEnquireLinkInterval(0);
}

void SimulatorSession::onReadable(int) {
  if (run()) {
    owner_.finished(*this);
  }
}

int SimulatorSession::onBindAuthorisation(uint64_t, const std::string&, uint8_t,
                                          const std::string& systemId, const std::string& password,
                                          const std::string&, uint32_t bindCommandId, const char*,
                                          uint32_t) {
  return owner_.authorise(*this, systemId, password, bindCommandId);
}

void SimulatorSession::onUnbind() { owner_.unbound(*this); }

int SimulatorSession::onSubmitSM(const std::string&, const smpp::SubmitSMRecord& record,
                                 uint32_t commandId, uint32_t sequenceNumber,
                                 std::string& messageId, uint32_t& status) {
  return owner_.submit(*this, record, commandId, sequenceNumber, messageId, status);
}

bool SimulatorSession::onDeliverSMResp(uint32_t commandStatus, const std::string&, uint32_t) {
  owner_.deliverResponded(*this, commandStatus);
  return true;
}

bool SimulatorSession::sendDeliver(const std::vector<uint8_t>& body) {
  return sendPDU(static_cast<uint32_t>(takeSequenceNumber()), smpp::command::kDeliverSM,
                 smpp::status::kOk, body.data(), body.size());
}

bool SimulatorSession::flush() {
  auto* socket = static_cast<BufferedSocket*>(connection().socket());
  return socket != nullptr && socket->flush();
}

size_t SimulatorSession::pendingOutput() {
  auto* socket = static_cast<BufferedSocket*>(connection().socket());
  return socket == nullptr ? 0 : socket->pendingOctets();
}

bool SimulatorSession::usable() { return !connection().dead() && connection().socket() != nullptr; }

bool SimulatorSession::canReceive() {
  return usable() &&
         (bindState() == smpp::kBoundTransceiver || bindState() == smpp::kBoundReceiver);
}

} // namespace quorvex::tools
