#include "loadgen/EsmeClient.h"

#include "common/BufferedSocket.h"
#include "smpp/CString.h"
#include "smpp/SMPPConstants.h"

namespace quorvex::tools {

EsmeClient::EsmeClient(ClientObserver& observer, int descriptor,
                       std::unique_ptr<smpp::SMPPSocket> stream)
    : observer_(observer), descriptor_(descriptor) {
  connection_.attach(stream ? std::make_unique<BufferedSocket>(std::move(stream))
                            : std::make_unique<BufferedSocket>(descriptor),
                     descriptor, true);
}

void EsmeClient::sendBind(bool transceiver, const std::string& systemId,
                          const std::string& password, const std::string& systemType) {
  uint8_t body[64];
  size_t n = 0;
  smpp::appendCString(body, sizeof(body), n, systemId);
  smpp::appendCString(body, sizeof(body), n, password);
  smpp::appendCString(body, sizeof(body), n, systemType);
  body[n++] = smpp::kInterfaceVersion34;
  body[n++] = 0; // addr_ton
  body[n++] = 0; // addr_npi
  body[n++] = 0; // address_range
  connection_.sendE(nextSequence(),
                    transceiver ? smpp::command::kBindTransceiver : smpp::command::kBindTransmitter,
                    smpp::status::kOk, body, n);
  state_ = State::kBinding;
}

void EsmeClient::sendSubmit(uint32_t commandId, const std::vector<uint8_t>& body,
                            uint64_t nowMicros) {
  const uint32_t sequence = nextSequence();
  inFlight_[sequence] = nowMicros;
  connection_.sendE(sequence, commandId, smpp::status::kOk, body.data(), body.size());
}

void EsmeClient::sendUnbind() {
  if (state_ == State::kClosed) {
    return;
  }
  connection_.sendE(nextSequence(), smpp::command::kUnbind, smpp::status::kOk, nullptr, 0);
  state_ = State::kUnbinding;
}

void EsmeClient::flush() {
  auto* socket = static_cast<BufferedSocket*>(connection_.socket());
  if (socket != nullptr && !socket->flush()) {
    close();
  }
}

size_t EsmeClient::pendingOutput() {
  auto* socket = static_cast<BufferedSocket*>(connection_.socket());
  return socket == nullptr ? 0 : socket->pendingOctets();
}

void EsmeClient::onReadable(int) {
  if (state_ == State::kClosed) {
    return;
  }
  while (connection_.readPDU()) {
    dispatch();
    if (state_ == State::kClosed) {
      return;
    }
  }
  if (connection_.dead()) {
    close();
  }
}

void EsmeClient::dispatch() {
  const smpp::PDUHeader& header = connection_.header();
  const uint8_t* body = connection_.body();
  const size_t length = static_cast<size_t>(connection_.bodyLength());
  switch (header.command_id) {
  case smpp::command::kBindTransceiverResp:
  case smpp::command::kBindTransmitterResp:
    state_ = header.command_status == smpp::status::kOk ? State::kBound : State::kConnected;
    observer_.bindAnswered(*this, header.command_status);
    return;
  case smpp::command::kSubmitSMResp:
  case smpp::command::kDataSMResp:
  case smpp::command::kGenericNack: {
    const auto found = inFlight_.find(header.sequence_number);
    if (found == inFlight_.end()) {
      return; // not ours (or a nack of something else)
    }
    const uint64_t sent = found->second;
    inFlight_.erase(found);
    std::string messageId;
    size_t index = 0;
    if (header.command_status == smpp::status::kOk) {
      smpp::readCString(body, length, index, messageId, smpp::limit::kMessageId);
    }
    observer_.submitAnswered(*this, header.command_status, messageId, sent);
    return;
  }
  case smpp::command::kDeliverSM: {
    const uint8_t empty = 0;
    connection_.sendE(header.sequence_number, smpp::command::kDeliverSMResp, smpp::status::kOk,
                      &empty, 1);
    observer_.delivered(*this, body, length);
    return;
  }
  case smpp::command::kEnquireLink:
    connection_.sendE(header.sequence_number, smpp::command::kEnquireLinkResp, smpp::status::kOk,
                      nullptr, 0);
    return;
  case smpp::command::kUnbind:
    connection_.sendE(header.sequence_number, smpp::command::kUnbindResp, smpp::status::kOk,
                      nullptr, 0);
    flush();
    close();
    return;
  case smpp::command::kUnbindResp:
    close();
    return;
  default:
    return;
  }
}

void EsmeClient::close() {
  if (state_ == State::kClosed) {
    return;
  }
  state_ = State::kClosed;
  observer_.closing(*this);
  connection_.close();
}

} // namespace quorvex::tools
