// The traffic path: submits down to the SMSCs, responses and deliveries
// back towards the ESMEs.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Log.h"
#include "cdr/SMPPCDRManager.h"
#include "metrics/MetricEvents.h"
#include "smpp/SubmitSMEncoder.h"
#include "tracker/SmscId.h"
#include "tracker/Tracker.h"
#include "upstream/DeliverSMView.h"
#include "upstream/ReceiptFields.h"
#include "upstream/SMPPUpstream.h"
#include "upstream/ShortMessageText.h"

namespace quorvex {
namespace {

// esm_class bits of an SMSC delivery receipt (0x04) or intermediate
// notification (0x20).
constexpr uint8_t kReceiptBits = 0x24;

// registered_delivery bits that ask the SMSC for a receipt (0x03) or an
// intermediate notification (0x10); only such submits need their id kept.
bool wantsReceipt(uint8_t registeredDelivery) { return (registeredDelivery & 0x13) != 0; }

bool recordingCDRs(SMPPCDRManager& cdr) { return cdr.mode() != CDRMode::NONE; }

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

} // namespace

bool SMPPUpstream::sendSubmitSM(const std::string& esmeSystemID, uint64_t esmeSessionID,
                                uint64_t smscid, uint64_t esmeSeqno,
                                const smpp::SubmitSMRecord& submit, uint32_t& seqnoOut,
                                std::string& smscName, SubmitListener* listener) {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  // The target's fallback owner comes from the configuration rebuild only:
  // naming the last submitter would hand receipts of a shared target to
  // whichever customer happened to submit last.
  auto it = slotIndex_.find(smscid);
  if (it == slotIndex_.end() || it->second->session == nullptr) {
    return false;
  }
  const BindSlot& slot = *it->second;
  SMPPSessionClient& session = *slot.session;
  const int state = session.bindState();
  if (state != smpp::kBoundTransceiver && state != smpp::kBoundTransmitter) {
    return false;
  }
  smscName = slot.targetName;
  // A bind whose SMSC is not taking its output takes no more work: the
  // submit goes to the next candidate instead of piling up here.
  if (session.connection().pendingOutput() > smpp::SessionConnection::kOutputHighWater) {
    return false;
  }
  const uint64_t now = context_.clock.nowMicros();
  if (!session.tpsWindowAdmits(now, slot.tpsLimit)) {
    return false;
  }
  seqnoOut = static_cast<uint32_t>(session.takeSequenceNumber());
  context_.tracker.addSubmitSM(esmeSessionID, esmeSeqno, smscid, seqnoOut, esmeSystemID);

  uint8_t* body = smpp::submitSMEncodeBuffer();
  const size_t length = smpp::encodeSubmitSM(submit, body, smpp::kMaxBodyLength);
  session.countSubmitInWindow();
  bool sent = false;
  if (length > 0) {
    // In the table before the write: a fast SMSC may answer before
    // sendPDU returns.
    session.outstandingSubmits().add(
        seqnoOut,
        SubmitOrigin{static_cast<uint32_t>(esmeSeqno), esmeSessionID, submit.command_id,
                     wantsReceipt(submit.registered_delivery),
                     listener != nullptr ? listener->beforeSend(smscid, seqnoOut, smscName)
                                         : nullptr},
        now);
    sent = session.sendPDU(seqnoOut, smpp::command::kSubmitSM, smpp::status::kOk, body, length);
    if (!sent) {
      if (auto dropped = session.outstandingSubmits().take(seqnoOut); dropped && dropped->cdr) {
        context_.cdr.discardInitialCDR(std::move(dropped->cdr));
      }
    }
  }
  if (!sent) {
    context_.metrics.submitSendUpstreamFailed(slot.targetName);
    return false;
  }
  context_.metrics.submitSentUpstream(esmeSystemID, slot.targetName, smscid);
  if (auditEnabled()) {
    // A destination that is not a number shows as its numeric prefix (or 0).
    const unsigned long long destination =
        std::strtoull(submit.destination_addr.c_str(), nullptr, 10);
    logAudit(nullptr, kLogClass, "sendSubmitSM",
             "sessionid=0x%llx seqno=%llu systemid=%s %s>%llu smsc=0x%llx (%s)", ull(esmeSessionID),
             ull(seqnoOut), esmeSystemID.c_str(), submit.source_addr.c_str(), destination,
             ull(smscid), slot.targetName.c_str());
  }
  return true;
}

void SMPPUpstream::processSubmitSMResp(SMPPSessionClient& session, uint32_t sequence,
                                       uint32_t status) {
  const uint64_t smscid = session.smscid();
  const std::string& target = session.targetName();
  if (auditEnabled()) {
    logAudit(this, kLogClass, "processSubmitSMResp",
             "esmeSession=%p sessionid=0x%llx seqno=%llu cmdstatus=%d",
             static_cast<void*>(&session), ull(smscid), ull(sequence), static_cast<int>(status));
  }
  context_.metrics.submitRespFromUpstream(target);

  const smpp::SessionConnection& connection = session.connection();
  const char* body = reinterpret_cast<const char*>(connection.body());
  const size_t bodyLength = static_cast<size_t>(connection.bodyLength());
  // The id ends at its NUL; the body of a well-formed response is the id
  // and that NUL.
  const std::string_view messageId =
      bodyLength > 1 ? std::string_view(body, strnlen(body, bodyLength - 1)) : std::string_view();

  std::optional<SubmitOrigin> submit = session.outstandingSubmits().take(sequence);
  if (!submit) {
    logApplication(LOG_WARNING, this, kLogClass, "processSubmitSMResp",
                   "Unable to parse submit_sm_resp from upstream %s %llu", target.c_str(),
                   ull(smscid));
    return;
  }
  if (status != smpp::status::kOk) {
    failSubmit(session, sequence, *submit, status);
    return;
  }
  const std::optional<SubmitSMOrigin> origin =
      context_.tracker.getSessionForSubmitSMResp(smscid, sequence);
  std::optional<std::string> esme = origin ? origin->systemId : std::nullopt;
  if (!esme) {
    esme = context_.tracker.getSessionSystemID(submit->esmeSession);
  }
  const std::string id(messageId);
  // The SMSC took the message whether or not its ESME is still connected:
  // the receipt will come, and must find its owner and its record.
  if (esme && submit->wantsReceipt) {
    context_.tracker.addMessageIDMapping(smscid, id, *esme);
  }
  logApplication(LOG_FINE, this, kLogClass, "processSubmitSMResp",
                 "submit_sm_resp %s 0x%llx seqno=%d cmdstatus=%d message_id %s", target.c_str(),
                 ull(smscid), static_cast<int>(sequence), 0, id.c_str());
  if (recordingCDRs(context_.cdr)) {
    context_.cdr.updateCDRWithMessageID(smscid, sequence, std::move(submit->cdr), id,
                                        submit->wantsReceipt);
  }
  DownstreamPort& port = *port_.load();
  if (!port.relaySubmitSMResp(submit->esmeSession, submit->esmeSequence, submit->esmeCommand,
                              smpp::status::kOk, id)) {
    if (!esme) {
      logApplication(LOG_WARNING, this, kLogClass, "processSubmitSMResp",
                     "Unknown ESME session ID %llu", ull(submit->esmeSession));
    }
    logApplication(LOG_WARNING, this, kLogClass, "processSubmitSMResp",
                   "Unable to pass submit_sm_resp to ESME %llu from upstream %s %llu",
                   ull(submit->esmeSession), target.c_str(), ull(smscid));
    context_.metrics.submitRespSendFailed(esme.value_or("**unknown**"));
  }
  checkUnknown(smscid, id);
}

void SMPPUpstream::failSubmit(SMPPSessionClient& session, uint32_t sequence, SubmitOrigin& submit,
                              uint32_t status) {
  const uint64_t smscid = session.smscid();
  const std::optional<SubmitSMOrigin> origin =
      context_.tracker.getSessionForSubmitSMResp(smscid, sequence);
  if (recordingCDRs(context_.cdr)) {
    context_.cdr.updateCDRWithSubmitFail(smscid, sequence, std::move(submit.cdr), status);
  }
  if (!port_.load()->relaySubmitSMResp(submit.esmeSession, submit.esmeSequence, submit.esmeCommand,
                                       status, {})) {
    context_.metrics.submitRespSendFailed(origin && origin->systemId ? *origin->systemId
                                                                     : std::string("**unknown**"));
  }
}

void SMPPUpstream::failOutstandingSubmits(SMPPSessionClient& session) {
  auto waiting = session.outstandingSubmits().takeAll();
  if (waiting.empty()) {
    return;
  }
  // Whether the SMSC took them is unknown: the ESME is told to try again
  // rather than left waiting for an answer that cannot come.
  for (auto& [sequence, submit] : waiting) {
    failSubmit(session, sequence, submit, smpp::status::kSystemError);
  }
  logApplication(LOG_WARNING, this, kLogClass, "failOutstandingSubmits",
                 "%zu submits in flight on %s 0x%llx answered 0x%08x", waiting.size(),
                 session.targetName().c_str(), ull(session.smscid()),
                 static_cast<unsigned>(smpp::status::kSystemError));
}

void SMPPUpstream::processDeliverSM(SMPPSessionClient& session, uint32_t sequence) {
  context_.metrics.deliverFromUpstream(session.targetName());
  deliverSMCount_.fetch_add(1, std::memory_order_relaxed);
  lastDeliverSM_.store(context_.clock.nowMicros(), std::memory_order_relaxed);

  const smpp::SessionConnection& connection = session.connection();
  DeliverSMView view;
  if (!decodeDeliverSM(connection.body(), static_cast<size_t>(connection.bodyLength()), view)) {
    // No response: the SMSC will retry.
    logApplication(LOG_SEVERE, this, kLogClass, "processDeliverSM",
                   "deliver_sm PARSE ISSUE session=%llu seqno=%d", ull(session.sessionId()),
                   static_cast<int>(sequence));
    return;
  }
  if ((view.esmClass & kReceiptBits) != 0) {
    processReceipt(session, sequence, view);
  } else {
    processMO(session, sequence, view);
  }
}

void SMPPUpstream::deliverReceipt(const std::string& esme, uint64_t smscid,
                                  const std::string& targetName, const std::string& messageId,
                                  int state, int error, const std::string& doneDate,
                                  const uint8_t* body, size_t length) {
  context_.metrics.deliverRoutedToEsme(esme, targetName);
  if (recordingCDRs(context_.cdr)) {
    context_.cdr.updateCDRWithDeliveryReceipt(smscid, targetName, messageId,
                                              static_cast<uint32_t>(state),
                                              static_cast<uint32_t>(error), doneDate);
  }
  port_.load()->pushDeliverSM(esme, body, length);
}

void SMPPUpstream::processReceipt(SMPPSessionClient& session, uint32_t sequence,
                                  const DeliverSMView& view) {
  const uint64_t smscid = session.smscid();
  const std::string& target = session.targetName();
  context_.metrics.receiptReceived(target);
  const ReceiptFields receipt = readReceipt(view);
  logApplication(LOG_FINE, this, kLogClass, "processDeliverSM",
                 "deliver_sm DLR session=0x%llx seqno=%d smsc_msg_id=%s state=%d error=%d",
                 ull(smscid), static_cast<int>(sequence), receipt.messageId.c_str(), receipt.state,
                 receipt.error);
  const smpp::SessionConnection& connection = session.connection();
  const uint8_t* body = connection.body();
  const size_t length = static_cast<size_t>(connection.bodyLength());
  const std::optional<std::string> esme =
      context_.tracker.getMessageIDMapping(smscid, receipt.messageId);
  if (esme) {
    deliverReceipt(*esme, smscid, target, receipt.messageId, receipt.state, receipt.error,
                   receipt.doneDate, body, length);
  } else {
    context_.metrics.receiptMessageIdUnknown(target);
    HeldReceipt held{std::vector<uint8_t>(body, body + length),
                     context_.clock.nowMicros(),
                     smscid,
                     target,
                     receipt.state,
                     receipt.error,
                     receipt.doneDate};
    const size_t size = unknown_.add(smscid, receipt.messageId, std::move(held));
    logApplication(LOG_INFO, this, kLogClass, "addUnknown", "size=%d smscid 0x%llx message_id %s",
                   static_cast<int>(size), ull(smscid), receipt.messageId.c_str());
  }
  sendDeliverSMResp(session, sequence, nullptr, 0);
}

void SMPPUpstream::processMO(SMPPSessionClient& session, uint32_t sequence,
                             const DeliverSMView& view) {
  const std::string& target = session.targetName();
  context_.metrics.moReceived(target);
  const std::string text =
      shortMessageText(view.shortMessage, view.smLength, view.esmClass, view.dataCoding);
  std::string esme;
  if (!text.empty()) {
    esme = moRouter_.lookup(text);
  }
  if (esme.empty()) {
    esme = moRouter_.lookup(view.destinationAddr);
  }
  if (esme.empty()) {
    context_.metrics.moWithoutEsme(target);
    sendDeliverSMResp(session, sequence, nullptr, 0);
    return;
  }
  context_.metrics.moRoutedToEsme(esme, target);
  const smpp::SessionConnection& connection = session.connection();
  port_.load()->pushDeliverSM(esme, connection.body(),
                              static_cast<size_t>(connection.bodyLength()));
  const uint8_t* echo = nullptr;
  size_t echoLength = 0;
  forEachTLV(view, [&](uint16_t tag, const uint8_t* value, size_t length) {
    if (tag == smpp::tag::kVendorEcho && length > 0 && echo == nullptr) {
      echo = value;
      echoLength = length;
    }
  });
  sendDeliverSMResp(session, sequence, echo, echoLength);
  if (auditEnabled()) {
    const std::string source(view.sourceAddr);
    const std::string destination(view.destinationAddr);
    logAudit(nullptr, kLogClass, "processDeliverSM",
             "esmeSystemID=(%s) [%d.%d]%s>[%d.%d]%s smsc=%s", esme.c_str(), view.sourceTon,
             view.sourceNpi, source.c_str(), view.destTon, view.destNpi, destination.c_str(),
             target.c_str());
  }
}

void SMPPUpstream::sendDeliverSMResp(SMPPSessionClient& session, uint32_t sequence,
                                     const uint8_t* echo, size_t echoLength) {
  // An empty message_id, then the vendor echo TLV when there is one.
  thread_local uint8_t body[smpp::kMaxBodyLength];
  size_t length = 0;
  body[length++] = 0;
  if (echo != nullptr) {
    smpp::encodeTLV(body, sizeof(body), length, smpp::tag::kVendorEcho, echo, echoLength);
  }
  if (!session.sendPDU(sequence, smpp::command::kDeliverSMResp, smpp::status::kOk, body, length)) {
    context_.metrics.deliverRespSendUpstreamFailed(session.targetName());
  }
}

void SMPPUpstream::checkUnknown(uint64_t smscid, const std::string& messageId) {
  // Receipts without an id were held under an empty one; an empty response
  // id must not claim them.
  if (messageId.empty()) {
    return;
  }
  std::optional<HeldReceipt> held = unknown_.take(smscid, messageId);
  if (!held) {
    return;
  }
  std::printf("FOUND %llu %s\n", ull(smscid), messageId.c_str());
  std::fflush(stdout);
  logApplication(LOG_INFO, this, kLogClass, "checkUnknown",
                 "submit_sm_resp smscid 0x%llx message_id %s", ull(smscid), messageId.c_str());
  // The owner was recorded a moment ago; the look-up consumes that mapping
  // as the receipt would have.
  const std::optional<std::string> esme = context_.tracker.getMessageIDMapping(smscid, messageId);
  if (!esme) {
    return;
  }
  deliverReceipt(*esme, held->smscid, held->targetName, messageId, held->state, held->error,
                 held->doneDate, held->body.data(), held->body.size());
}

void SMPPUpstream::expireHeldReceipts(uint64_t now) {
  const size_t dropped = unknown_.expire(now, heldMaxAge_.load(std::memory_order_relaxed));
  if (dropped > 0) {
    logApplication(LOG_INFO, this, kLogClass, "expireHeldReceipts",
                   "dropped=%d size=%d held receipts past the CDR cleanup interval",
                   static_cast<int>(dropped), static_cast<int>(unknown_.size()));
  }
}

} // namespace quorvex
