#include "smpp/SMPPSessionServer.h"

#include "app/Log.h"
#include "smpp/CString.h"
#include "smpp/ResponseBodies.h"
#include "smpp/SubmitSMParser.h"

namespace quorvex::smpp {

bool SMPPSessionServer::run() {
  const uint64_t now = clock().nowMicros();
  if (closingTime() != 0 && now >= closingTime()) {
    return true;
  }
  SessionConnection& conn = connection();
  if (conn.dead() || conn.descriptor() == -1) {
    return true;
  }
  pdusRead_ = 0;
  if (pendingBind_) {
    return false; // nothing is read before the bind is answered
  }
  // A refused bind refuses the binds that came with it in the same read,
  // also when the refusal waited for a verdict: so one read cannot carry
  // many password guesses.
  if (!resumingBind_) {
    bindAllowed_ = true;
  }
  resumingBind_ = false;
  const uint64_t readsBefore = conn.reads();
  for (;;) {
    // One socket read per pass; what else waits is reported again.
    const bool delivered = conn.readPDU(conn.reads() == readsBefore);
    if (delivered) {
      ++pdusRead_;
      noteReceivedPDU(conn.header());
    }
    if (bufferStateLogging()) {
      logBufferState();
    }
    if (!delivered) {
      return conn.dead() || conn.descriptor() == -1;
    }
    if (conn.dead()) {
      logApplication(LOG_INFO, this, kServerLogClass, "run", "Socket is dead");
      return true;
    }
    setLastActivityTime(now);
    if (!dispatch(now)) {
      return false;
    }
  }
}

bool SMPPSessionServer::dispatch(uint64_t now) {
  const PDUHeader header = connection().header();
  switch (header.command_id) {
  case command::kBindReceiver:
  case command::kBindTransmitter:
  case command::kBindTransceiver:
    handleBind(now, header);
    return !pendingBind_;
  case command::kQuerySM:
    handleQuery(header);
    return true;
  case command::kSubmitSM:
  case command::kDataSM:
    return handleSubmit(now, header);
  case command::kUnbind:
    if (bindState() == kUnbound) {
      answer(header, status::kInvalidBindState);
      return true;
    }
    onUnbind();
    answer(header, status::kOk);
    setBindState(kUnbound);
    return true;
  case command::kCancelSM:
    handleCancel(header);
    return true;
  case command::kEnquireLink:
    answer(header, status::kOk);
    return true;
  case command::kEnquireLinkResp:
    setEnquireSentTime(0);
    return true;
  case command::kDeliverSMResp:
    onDeliverSMResp(header.command_status, std::string(), header.sequence_number);
    return true;
  case command::kDataSMResp:
    onDataSMResp(header.command_status, std::string(), header.sequence_number);
    return true;
  default:
    // Every request gets one answer, or the peer loses a window slot for
    // good; responses, and the two requests SMPP defines without one, do not.
    if ((header.command_id & kResponseBit) == 0 && header.command_id != command::kOutbind &&
        header.command_id != command::kAlertNotification) {
      answer(header, command::kGenericNack, status::kInvalidCommandId);
    }
    return true;
  }
}

void SMPPSessionServer::handleBind(uint64_t now, const PDUHeader& header) {
  if (bindState() != kUnbound) {
    answer(header, status::kAlreadyBound);
    return;
  }
  const uint8_t* body = connection().body();
  const size_t length = static_cast<size_t>(connection().bodyLength());
  size_t index = 0;
  std::string systemId;
  std::string password;
  std::string systemType;
  if (!readCString(body, length, index, systemId, limit::kSystemId) ||
      !readCString(body, length, index, password, limit::kPassword) ||
      !readCString(body, length, index, systemType, limit::kSystemType) || index >= length) {
    refuseBind(header);
    return;
  }
  const uint8_t version = body[index];
  if ((header.command_id == command::kBindTransceiver && version < kInterfaceVersion34) ||
      !bindAllowed_) {
    refuseBind(header);
    return;
  }
  const int decision =
      onBindAuthorisation(now, peerIp(), version, systemId, password, systemType, header.command_id,
                          kGatewaySystemId, header.sequence_number);
  if (decision == kBindAnswered) {
    return;
  }
  if (decision == kBindPending) {
    pendingBind_ = PendingBind{header, version, systemId};
    return;
  }
  finishBind(now, header, version, systemId, decision);
}

void SMPPSessionServer::answerPendingBind(uint64_t now, int decision) {
  if (!pendingBind_) {
    return;
  }
  const PendingBind pending = std::move(*pendingBind_);
  pendingBind_.reset();
  resumingBind_ = true;
  finishBind(now, pending.header, pending.version, pending.systemId, decision);
}

void SMPPSessionServer::finishBind(uint64_t now, const PDUHeader& header, uint8_t version,
                                   const std::string& systemId, int decision) {
  if (decision != kBindAccept) {
    refuseBind(header);
    return;
  }
  setBindTime(now);
  setClosingTime(0);
  const uint8_t negotiated = negotiateInterfaceVersion(version);
  setSystemId(systemId);
  uint8_t response[kResponseBodyCapacity];
  const size_t n = buildBindResponseBody(response, sizeof(response), kGatewaySystemId, negotiated);
  sendPDU(header.sequence_number, header.command_id | kResponseBit, status::kOk, response, n);
  setBindState(header.command_id == command::kBindTransceiver   ? kBoundTransceiver
               : header.command_id == command::kBindTransmitter ? kBoundTransmitter
                                                                : kBoundReceiver);
  setInterfaceVersion(negotiated);
}

void SMPPSessionServer::refuseBind(const PDUHeader& header) {
  answer(header, status::kBindFailed);
  setBindState(kUnbound);
  bindAllowed_ = false;
}

void SMPPSessionServer::handleQuery(const PDUHeader& header) {
  if (bindState() == kUnbound) {
    answer(header, status::kInvalidBindState);
    return;
  }
  size_t index = 0;
  std::string messageId;
  std::string finalDate;
  uint8_t messageState = 0;
  uint8_t errorCode = 0;
  if (!readCString(connection().body(), connection().bodyLength(), index, messageId,
                   limit::kMessageId) ||
      !onQuerySM(systemId(), messageId, finalDate, messageState, errorCode)) {
    answer(header, status::kQueryFailed);
    return;
  }
  uint8_t response[kResponseBodyCapacity];
  const size_t n = buildQueryResponseBody(response, sizeof(response), messageId, finalDate,
                                          messageState, errorCode);
  if (n == 0) {
    answer(header, status::kQueryFailed);
    return;
  }
  sendPDU(header.sequence_number, command::kQuerySMResp, status::kOk, response, n);
}

void SMPPSessionServer::handleCancel(const PDUHeader& header) {
  if (bindState() == kUnbound) {
    answer(header, status::kInvalidBindState);
    return;
  }
  const uint8_t* body = connection().body();
  const size_t length = static_cast<size_t>(connection().bodyLength());
  size_t index = 0;
  std::string serviceType;
  std::string messageId;
  const bool cancelled = readCString(body, length, index, serviceType, limit::kServiceType) &&
                         readCString(body, length, index, messageId, limit::kMessageId) &&
                         onCancelSM(systemId(), messageId);
  answer(header, cancelled ? status::kOk : status::kCancelFailed);
}

bool SMPPSessionServer::handleSubmit(uint64_t now, const PDUHeader& header) {
  const uint32_t responseId = submitResponseCommandId(header.command_id);
  if (bindState() == kUnbound || bindState() == kBoundReceiver) {
    onSubmitRefused(systemId());
    answer(header, responseId, status::kInvalidBindState);
    return true;
  }
  submitSMStats().record(now);
  if (header.command_id == command::kDataSM && interfaceVersion() < kInterfaceVersion34) {
    answer(header, command::kGenericNack, status::kInvalidCommandId);
    return false;
  }
  SubmitSMRecord record;
  uint32_t parseStatus = status::kSubmitFailed;
  if (!parseSubmitSM(header.command_id, connection().body(), connection().bodyLength(), record,
                     true, parseStatus, now)) {
    onSubmitRefused(systemId());
    answer(header, responseId, parseStatus);
    return true;
  }
  std::string messageId;
  uint32_t outStatus = status::kSubmitFailed;
  const int decision = onSubmitSM(systemId(), record, header.command_id, header.sequence_number,
                                  messageId, outStatus);
  if (decision != kSubmitAnswerLater) {
    handleESMESubmitSMResponse(decision == kSubmitAccepted, header.command_id,
                               header.sequence_number, messageId, outStatus);
  }
  return true;
}

bool SMPPSessionServer::handleESMESubmitSMResponse(bool accepted, uint32_t requestCommandId,
                                                   uint32_t sequenceNumber,
                                                   std::string_view messageId,
                                                   uint32_t commandStatus) {
  const uint32_t responseId = submitResponseCommandId(requestCommandId);
  bool sent;
  if (accepted) {
    // A message id longer than SMPP allows is cut rather than sent unterminated.
    uint8_t response[limit::kMessageId];
    const std::string_view id = messageId.substr(0, limit::kMessageId - 1);
    const size_t n = buildSubmitResponseBody(response, sizeof(response), id);
    sent = sendPDU(sequenceNumber, responseId, status::kOk, response, n);
  } else {
    sent = sendPDU(sequenceNumber, responseId, commandStatus, nullptr, 0);
  }
  logApplication(LOG_FINE, this, kServerLogClass, "handleESMESubmitSMResponse", "sendE() = %d",
                 sent ? 1 : 0);
  return sent;
}

void SMPPSessionServer::answer(const PDUHeader& request, uint32_t commandStatus) {
  answer(request, request.command_id | kResponseBit, commandStatus);
}

void SMPPSessionServer::answer(const PDUHeader& request, uint32_t responseId,
                               uint32_t commandStatus) {
  sendPDU(request.sequence_number, responseId, commandStatus, nullptr, 0);
}

int SMPPSessionServer::onBindAuthorisation(uint64_t, const std::string&, uint8_t,
                                           const std::string&, const std::string&,
                                           const std::string&, uint32_t, const char*, uint32_t) {
  // Without an account registry nobody may bind.
  return kBindRefuse;
}

bool SMPPSessionServer::onQuerySM(const std::string&, const std::string&, std::string&, uint8_t&,
                                  uint8_t&) {
  return false;
}

bool SMPPSessionServer::onCancelSM(const std::string&, const std::string&) { return false; }

int SMPPSessionServer::onSubmitSM(const std::string&, const SubmitSMRecord&, uint32_t, uint32_t,
                                  std::string&, uint32_t& status) {
  status = status::kSubmitFailed;
  return kSubmitRefused;
}

bool SMPPSessionServer::onDeliverSMResp(uint32_t, const std::string&, uint32_t) { return true; }

bool SMPPSessionServer::onDataSMResp(uint32_t, const std::string&, uint32_t) { return true; }

} // namespace quorvex::smpp
