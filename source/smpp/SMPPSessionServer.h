// A session whose peer binds to the gateway: the request dispatcher and the
// bind state machine. Decisions that need accounts, routes or upstream
// capacity are virtual hooks; the ESME session overrides them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "smpp/SMPPSession.h"
#include "smpp/SubmitSMRecord.h"

namespace quorvex::smpp {

// Results of onBindAuthorisation.
enum BindDecision : int {
  kBindRefuse = 0,
  kBindAccept = 1,
  kBindAnswered = 2, // the hook has answered the peer itself
  kBindPending = 3,  // the verdict comes later: answerPendingBind() answers
};

// Results of onSubmitSM.
enum SubmitDecision : int {
  kSubmitRefused = 0,
  kSubmitAccepted = 1,    // message id known now; answered at once
  kSubmitAnswerLater = 2, // the upstream side answers when the SMSC does
};

class SMPPSessionServer : public SMPPSession {
public:
  using SMPPSession::SMPPSession;

  // Handles every complete PDU buffered; true means close the session.
  bool run() override;

  // Authorises a bind; BindDecision.
  virtual int onBindAuthorisation(uint64_t now, const std::string& peerIp, uint8_t interfaceVersion,
                                  const std::string& systemId, const std::string& password,
                                  const std::string& systemType, uint32_t bindCommandId,
                                  const char* responseSystemId, uint32_t sequenceNumber);
  virtual void onUnbind() {}
  // Fills the query_sm_resp fields; false answers ESME_RQUERYFAIL.
  virtual bool onQuerySM(const std::string& systemId, const std::string& messageId,
                         std::string& finalDate, uint8_t& messageState, uint8_t& errorCode);
  // False answers ESME_RCANCELFAIL.
  virtual bool onCancelSM(const std::string& systemId, const std::string& messageId);
  // A submit was refused before onSubmitSM (bind state or decoding).
  virtual void onSubmitRefused(const std::string& systemId) { (void)systemId; }
  // Decides a decoded submit; SubmitDecision. `messageId` and `status` are
  // the response fields for kSubmitAccepted and kSubmitRefused.
  virtual int onSubmitSM(const std::string& systemId, const SubmitSMRecord& record,
                         uint32_t commandId, uint32_t sequenceNumber, std::string& messageId,
                         uint32_t& status);
  virtual bool onDeliverSMResp(uint32_t commandStatus, const std::string& messageId,
                               uint32_t sequenceNumber);
  virtual bool onDataSMResp(uint32_t commandStatus, const std::string& messageId,
                            uint32_t sequenceNumber);

  // A bind waits for its verdict: nothing else is read meanwhile.
  bool bindPending() const { return pendingBind_.has_value(); }

  // Sends the response to a submit_sm or data_sm: status 0 with the message
  // id when accepted, else the status alone. Safe from any thread.
  bool handleESMESubmitSMResponse(bool accepted, uint32_t requestCommandId, uint32_t sequenceNumber,
                                  std::string_view messageId, uint32_t commandStatus);

protected:
  // Log class of the dispatcher's lines.
  static constexpr const char* kServerLogClass = "SMPPSessionServer";

  // Answers the bind that onBindAuthorisation left pending with the
  // BindDecision `decision` (kBindAccept or kBindRefuse).
  void answerPendingBind(uint64_t now, int decision);

private:
  // False stops the pass: the buffered PDUs wait for the next run().
  bool dispatch(uint64_t now);
  void handleBind(uint64_t now, const PDUHeader& header);
  // Answers a bind as onBindAuthorisation decided.
  void finishBind(uint64_t now, const PDUHeader& header, uint8_t version,
                  const std::string& systemId, int decision);
  void refuseBind(const PDUHeader& header);
  void handleQuery(const PDUHeader& header);
  void handleCancel(const PDUHeader& header);
  bool handleSubmit(uint64_t now, const PDUHeader& header);
  // Answers a request with a header-only response carrying `status`.
  void answer(const PDUHeader& request, uint32_t commandStatus);
  void answer(const PDUHeader& request, uint32_t responseId, uint32_t commandStatus);

  // A bind whose verdict is awaited.
  struct PendingBind {
    PDUHeader header;     // the bind request
    uint8_t version;      // its interface_version
    std::string systemId; // its system_id
  };

  bool bindAllowed_ = true;                // no bind has been refused in this pass of run()
  std::optional<PendingBind> pendingBind_; // set while a bind awaits its verdict
  bool resumingBind_ = false;              // the next run() continues the pending bind's read
};

} // namespace quorvex::smpp
