// The SMPP session base: identity, bind state, timers, keep-alive and
// response timeout, statistics and diagnostics. The owner drives it through
// the virtual operations: run() when the descriptor is readable, timedCheck()
// on every sweep, deliver() on the deliver sweep.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "smpp/Clock.h"
#include "smpp/SMPPConstants.h"
#include "smpp/Session.h"
#include "smpp/SessionConnection.h"

namespace quorvex::smpp {

class EntityControlMaster;

// Time and count of the last event of one kind; written by several threads.
struct StatPair {
  std::atomic<uint64_t> time{0};  // µs of the last event, 0 = none yet
  std::atomic<uint64_t> count{0}; // events so far

  void record(uint64_t now) {
    time.exchange(now, std::memory_order_relaxed);
    count.fetch_add(1, std::memory_order_relaxed);
  }
};

class SMPPSession : public Session {
public:
  explicit SMPPSession(EntityControlMaster* owner = nullptr, const Clock& clock = systemClock());
  ~SMPPSession() override;

  // Periodic supervision; true tells the owner to close and delete the session.
  virtual bool timedCheck(bool& sweep);
  // Reads and handles every available PDU; true means close the session.
  virtual bool run() { return false; }
  // Called after every readiness wait for classes that need it.
  virtual bool poll() { return false; }
  // Fallback of deliver(); no class needs it yet.
  virtual bool idle() { return false; }
  // Deliver sweep: may send one queued PDU and then sets `sweep` and `sent`.
  // True tells the owner to close the session.
  virtual bool deliver(uint64_t now, bool& sweep, bool& sent);
  virtual void printStats();
  // Last step of timedCheck(); true means close the session.
  virtual bool periodicCheck(uint64_t now, bool& sweep);

  // µs from `now` until timedCheck() may next have something to do (a
  // deadline of the closing time, the keep-alive, the oldest outstanding
  // request or stalled output); kNoCheck when nothing is pending. Owners
  // arm one timer with it instead of sweeping every session.
  virtual uint64_t nextCheckDelay(uint64_t now);
  static constexpr uint64_t kNoCheck = ~0ULL;
  static constexpr uint64_t kMaxSequence = 0x7FFFFFFF; // highest SMPP sequence number

  // Counts the PDU and sends it; submit_sm and deliver_sm update their
  // statistics pair and last-sent time. Safe from any thread.
  bool sendPDU(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
               const uint8_t* body, size_t bodyLength);
  // Writes what the kernel takes of the queued output, then closes the
  // descriptor if owned, marks the connection dead and drops the socket.
  void closeConnection() { connection_.close(); }
  void logBufferState();

  // The per-PDU buffer-state line of run() costs a system call even when the
  // log threshold drops it, so it is written only while this is on; turn it
  // on when the threshold admits FINE lines. Off by default.
  static void setBufferStateLogging(bool on) { bufferStateLogging_.store(on); }
  static bool bufferStateLogging() { return bufferStateLogging_.load(std::memory_order_relaxed); }

  // Receive bookkeeping shared by both directions: enquire_link_resp clears
  // the probe, submit_sm_resp counts, every PDU refreshes the activity time.
  void noteReceivedPDU(const PDUHeader& header);

  // Requests whose responses timedCheck() waits for (by sequence number).
  void addOutstandingRequest(uint64_t sequenceNumber, uint64_t sentMicros);
  void removeOutstandingRequest(uint64_t sequenceNumber);

  // The sequence number for the next PDU this session originates.
  // 1..0x7FFFFFFF, then 1 again: SMPP allows no other sequence numbers.
  uint64_t takeSequenceNumber() {
    return (nextSequence_.fetch_add(1, std::memory_order_relaxed) - 1) % kMaxSequence + 1;
  }
  void setNextSequenceNumber(uint64_t next) { nextSequence_.store(next); }
  uint64_t nextSequenceNumber() const { return nextSequence_.load(); }

  SessionConnection& connection() { return connection_; }
  const Clock& clock() const { return clock_; }
  EntityControlMaster* owner() const { return owner_; }
  void setOwner(EntityControlMaster* owner) { owner_ = owner; }

  const std::string& systemId() const { return systemId_; }
  void setSystemId(const std::string& systemId) { systemId_ = systemId; }
  const std::string& peerIp() const { return peerIp_; }
  int peerPort() const { return peerPort_; }
  void setPeer(const std::string& ip, int port) {
    peerIp_ = ip;
    peerPort_ = port;
  }

  int bindState() const { return bindState_.load(std::memory_order_relaxed); }
  void setBindState(int state) { bindState_.store(state, std::memory_order_relaxed); }
  // "TRX", "TX", "RX" or "-".
  const char* bindStateName() const;
  uint8_t interfaceVersion() const { return interfaceVersion_; }
  void setInterfaceVersion(uint8_t version) { interfaceVersion_ = version; }

  uint32_t enquireLinkInterval() const { return enquireLinkInterval_; }
  void setEnquireLinkInterval(uint32_t seconds) { enquireLinkInterval_ = seconds; }
  uint32_t responseTimeout() const { return responseTimeout_; }
  void setResponseTimeout(uint32_t seconds) { responseTimeout_ = seconds; }

  uint64_t enquireSentTime() const { return enquireSentTime_; }
  void setEnquireSentTime(uint64_t micros) { enquireSentTime_ = micros; }
  uint64_t closingTime() const { return closingTime_; }
  void setClosingTime(uint64_t micros) { closingTime_ = micros; }
  uint64_t lastActivityTime() const { return lastActivityTime_; }
  void setLastActivityTime(uint64_t micros) { lastActivityTime_ = micros; }
  uint64_t bindTime() const { return bindTime_; }
  void setBindTime(uint64_t micros) { bindTime_ = micros; }
  uint64_t lastSubmitSent() const { return lastSubmitSent_.load(std::memory_order_relaxed); }
  uint64_t lastDeliverSent() const { return lastDeliverSent_.load(std::memory_order_relaxed); }
  int pdusRead() const { return pdusRead_; }

  StatPair& submitSMStats() { return submitSM_; }
  StatPair& submitSMRespStats() { return submitSMResp_; }
  StatPair& deliverSMStats() { return deliverSM_; }
  StatPair& throttledStats() { return throttled_; }

protected:
  // Log class of the base operations.
  static constexpr const char* kLogClass = "SMPPSession";

  // Sends a header-only PDU with the next sequence number.
  bool sendRequest(uint32_t commandId);

  int pdusRead_ = 0; // PDUs read in the current pass of run()

private:
  bool responseMissing(uint64_t now);
  // Output the peer has not drained for the response timeout.
  bool outputStalled() const;

  static inline std::atomic<bool> bufferStateLogging_{false}; // run() logs buffer state

  SessionConnection connection_;                   // socket, framing reader, sender
  const Clock& clock_;                             // source of every timer reading
  uint32_t enquireLinkInterval_ = 120;             // s of silence before enquire_link; 0 = never
  uint32_t responseTimeout_ = 60;                  // s an outstanding request may wait
  std::mutex mutex_;                               // guards outstanding_
  std::map<uint64_t, uint64_t> outstanding_;       // sequence number -> µs sent
  EntityControlMaster* owner_;                     // creator of the session; may be null
  std::string systemId_;                           // peer's system_id (set by the bind)
  std::string peerIp_;                             // peer address, dotted
  int peerPort_ = 0;                               // peer TCP port
  std::atomic<uint64_t> nextSequence_{1};          // next sequence number originated here
  uint64_t enquireSentTime_ = 0;                   // µs the unanswered enquire_link went, 0 = none
  uint64_t closingTime_ = 0;                       // µs at which to close, 0 = not set
  uint64_t lastActivityTime_ = 0;                  // µs of the last PDU received, 0 = none
  uint64_t bindTime_ = 0;                          // µs of the accepted bind, 0 = unbound
  std::atomic<uint64_t> lastSubmitSent_{0};        // µs of the last submit_sm sent
  std::atomic<uint64_t> lastDeliverSent_{0};       // µs of the last deliver_sm sent
  std::atomic<int> bindState_{kUnbound};           // BindState
  uint8_t interfaceVersion_ = kInterfaceVersion34; // version negotiated at bind
  StatPair submitSM_;                              // submit_sm (server: received; client: sent)
  StatPair submitSMResp_;                          // submit_sm_resp received
  StatPair deliverSM_;                             // deliver_sm sent
  StatPair throttled_;                             // submits refused by the TPS limit
};

} // namespace quorvex::smpp
