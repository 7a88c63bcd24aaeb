// The upstream manager: bind slots and weighted submit pools built from the
// target sets, the upstream thread that keeps the client binds open and
// reads every PDU the SMSCs send, and the traffic path between the ESME
// side and the SMSCs.
//
// Threads: the upstream thread runs the connection passes, reading,
// dispatch, submit_sm_resp relay and deliver_sm processing. The main thread
// calls sendSubmitSM and the pool operations. Lock order: sessions mutex ->
// pool mutex -> configuration mutex; sessions mutex -> Tracker mutex or CDR
// state lock; metrics and log innermost.
//
// Sources: SMPPUpstream.cpp (thread and iteration), SMPPUpstreamPools.cpp
// (slots, pools, rebuilds), SMPPUpstreamConnections.cpp (connect, bind,
// read, remove), SMPPUpstreamTraffic.cpp (submit, responses, deliveries).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "config/TarnConfiguration.h"
#include "smpp/Clock.h"
#include "smpp/EntityControlMaster.h"
#include "smpp/EventLoop.h"
#include "smpp/PDUHeader.h"
#include "smpp/SubmitSMRecord.h"
#include "upstream/BindSlot.h"
#include "upstream/DownstreamPort.h"
#include "upstream/HostResolver.h"
#include "upstream/MORouter.h"
#include "upstream/SMPPSessionClient.h"
#include "upstream/SubmitPool.h"
#include "upstream/UnknownReceipts.h"

namespace quorvex {

class MetricEvents;
class SMPPCDRManager;
class TarnConfiguration;
struct ConfTarget;
class Tracker;
struct DeliverSMView;

// The process-wide services the upstream manager works with.
struct UpstreamContext {
  TarnConfiguration& config; // targets, ESMEs, MO numbers, change stamp
  Tracker& tracker;          // submit and message-id correlation
  SMPPCDRManager& cdr;       // CDR updates and per-target clean-up
  MetricEvents& metrics;     // event counters and gauges
  const smpp::Clock& clock;  // every timer and time stamp
};

// Told about one submit_sm before its write, under the upstream sessions
// mutex (so it takes no lock of its own).
class SubmitListener {
public:
  virtual ~SubmitListener() = default;
  // The upstream sequence number is known; the PDU is about to be written.
  // The record returned (may be null) travels with the submit and is
  // completed by its response, or dropped if the write fails.
  virtual OpenCDR beforeSend(uint64_t smscid, uint32_t seqnoOut, const std::string& smscName) = 0;
};

class SMPPUpstream : public smpp::EntityControlMaster,
                     private smpp::EventHandler,
                     private ConfigurationObserver {
public:
  static constexpr const char* kLogClass = "SMPPUpstream";

  explicit SMPPUpstream(UpstreamContext context);
  // Stops the thread if running, then closes every session without unbind.
  ~SMPPUpstream() override;
  SMPPUpstream(const SMPPUpstream&) = delete;
  SMPPUpstream& operator=(const SMPPUpstream&) = delete;

  // Installs the downstream side; call before start(). Not owned.
  void setDownstreamPort(DownstreamPort* port);

  // Thread control (start-up and shutdown).
  void start();
  // Stops and joins the thread, then closes and removes every session.
  void stop();

  // Slots and pools.
  // Rebuilds slots and pools from the configuration; `configurationChange`
  // adds the unused-bind pass (false for the start-up variant).
  void reinitUpstreamBinds(bool configurationChange);
  void addSMSCToTargetSetSubmitPool(const std::string& targetSetId, const std::string& targetName,
                                    uint64_t smscid, int weight);
  void clearTargetSetSubmitPool(const std::string& targetSetId);
  // Tickets of bound binds in the set; 0 for no queue, an unknown set or
  // submits disabled.
  int submitPoolSize(const std::string& targetSetId);
  // Next bound candidate of the set's rotation; 0 when there is none.
  uint64_t nextSMSCFromSubmitPool(const std::string& targetSetId);
  void identifyUnusedSMSCEntries();

  // Traffic. Main thread: places one submit on the candidate bind; false when
  // it has no bound TX/TRX session, its TPS window is full or sending fails.
  // `listener`, when given, hears of the submit before it is written, so
  // that whatever it records exists before the SMSC can answer.
  bool sendSubmitSM(const std::string& esmeSystemID, uint64_t esmeSessionID, uint64_t smscid,
                    uint64_t esmeSeqno, const smpp::SubmitSMRecord& submit, uint32_t& seqnoOut,
                    std::string& smscName, SubmitListener* listener = nullptr);
  // Upstream thread, with the PDU body in the session's body buffer.
  void processSubmitSMResp(SMPPSessionClient& session, uint32_t sequence, uint32_t status);
  // Answers the ESME of one submit with `status` and closes its record.
  void failSubmit(SMPPSessionClient& session, uint32_t sequence, SubmitOrigin& submit,
                  uint32_t status);
  // A bind that ends answers every submit still waiting on it.
  void failOutstandingSubmits(SMPPSessionClient& session);
  void processDeliverSM(SMPPSessionClient& session, uint32_t sequence);
  // A receipt held for {target of smscid, messageId} is delivered now.
  void checkUnknown(uint64_t smscid, const std::string& messageId);

  // One iteration of the upstream thread (tests drive it directly).
  void upstreamRun();
  // Start-up initialisation of the thread body.
  void initialise();

  // Observation (status report, tests). `f(slots, sessions)` runs under the
  // sessions mutex.
  template <class F> void inspect(F f) {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    f(static_cast<const std::map<uint64_t, BindSlot>&>(slots_),
      static_cast<const std::vector<std::unique_ptr<SMPPSessionClient>>&>(sessions_));
  }
  SubmitPool& submitPool() { return pool_; }
  uint64_t deliverSMCount() const { return deliverSMCount_.load(std::memory_order_relaxed); }
  uint64_t lastDeliverSMTime() const { return lastDeliverSM_.load(std::memory_order_relaxed); }
  uint64_t boundSessionCount() const { return boundCount_.load(std::memory_order_relaxed); }
  size_t heldReceiptCount() { return unknown_.size(); }
  uint64_t droppedHeldReceipts() { return unknown_.dropped(); }

  // The client TLS context for a CA file and verification mode, built on
  // first use and kept (so its files are read once); null with `error`
  // when it cannot be built. Start-up calls it for the configured targets
  // before start(); afterwards only the upstream thread does.
  const smpp::TlsContext* tlsContext(const std::string& caFile, bool verify, std::string& error);

  // How long a TLS handshake may take after the connect; before start().
  void setHandshakeTimeout(uint64_t micros) { handshakeMicros_ = micros; }

  // Longest wait of one pass in ms (-1: until a descriptor, a deadline or a
  // wake-up); tests bound it.
  void setReadinessWaitMillis(int millis) { readinessWaitMillis_ = millis; }

private:
  void removeAllSessions();
  // Pools (SMPPUpstreamPools.cpp); sessions mutex held.
  void reinitLocked(bool configurationChange);
  void identifyUnusedLocked();
  void updateSlot(BindSlot& slot, const ConfTarget& target, int bindType);
  BindSlot& createSlot(uint64_t smscid, const ConfTarget& target, int bindType);

  // Connections (SMPPUpstreamConnections.cpp).
  void makeConnections();
  void connectSlot(const BindSlot& slot);
  // Connects a session whose address is known; a null address failed to
  // resolve with `resolveError`.
  void connectResolved(std::unique_ptr<SMPPSessionClient> session, const in_addr* address,
                       int resolveError);
  // Continues the connections whose names the resolver has answered.
  void takeResolutions();
  // True once connected; false while connecting or when the session was
  // removed (destroyed).
  bool checkAsyncConnect(SMPPSessionClient& session);
  // Moves a TLS bind's handshake on; true once it completed and the bind
  // went out, false while it waits or when it failed (session removed).
  bool continueHandshake(SMPPSessionClient& session);
  void handleAsyncConnectOutcome(SMPPSessionClient& session, bool ok);
  // Logs `format` (five conversions: target, smscid, host, port, system id).
  void logConnectionDetails(SMPPSessionClient& session, const char* function, const char* format);
  void initiateBind(SMPPSessionClient& session);
  void processSessionActivity();
  // The supervision pass over every session, when one of them is due.
  void superviseSessions(uint64_t now);
  // ms until the next connection pass or session deadline, within the cap.
  int waitMillis(uint64_t now) const;
  void onReadable(int fd) override;
  void onWritable(int fd) override;
  void configurationChanged() override { eventLoop_.wake(); }
  void readSession(SMPPSessionClient& session);
  // False: stop reading the session (it may have been removed).
  bool dispatch(SMPPSessionClient& session, const smpp::PDUHeader& header, bool wasBound);
  bool handleBindResponse(SMPPSessionClient& session, uint32_t status, bool wasBound);
  // Closes the socket and stops watching it; the session stays listed.
  void closeSession(SMPPSessionClient& session);
  // Takes the sessions mutex and removes.
  void removeSession(SMPPSessionClient& session);
  void removeUpstreamSession(SMPPSessionClient& session); // sessions mutex held

  // Traffic helpers (SMPPUpstreamTraffic.cpp).
  void processReceipt(SMPPSessionClient& session, uint32_t sequence, const DeliverSMView& view);
  void processMO(SMPPSessionClient& session, uint32_t sequence, const DeliverSMView& view);
  void sendDeliverSMResp(SMPPSessionClient& session, uint32_t sequence, const uint8_t* echo,
                         size_t echoLength);
  // Counts, completes the CDR and queues the receipt for its ESME.
  void deliverReceipt(const std::string& esme, uint64_t smscid, const std::string& targetName,
                      const std::string& messageId, int state, int error,
                      const std::string& doneDate, const uint8_t* body, size_t length);
  void expireHeldReceipts(uint64_t now);

  void threadBody();

  UpstreamContext context_;           // services used
  UnwiredDownstreamPort unwired_;     // port until one is installed
  std::atomic<DownstreamPort*> port_; // the downstream side

  std::mutex sessionsMutex_;                                 // guards slots_ and sessions_
  std::map<uint64_t, BindSlot> slots_;                       // smscid -> slot, ascending
  std::unordered_map<uint64_t, BindSlot*> slotIndex_;        // smscid -> slot, for each submit
  std::vector<std::unique_ptr<SMPPSessionClient>> sessions_; // creation order
  // Used by the upstream thread only (and the destructor after it ended).
  std::vector<SMPPSessionClient*> descriptors_;          // descriptor -> session
  size_t socketCount_ = 0;                               // descriptors watched
  smpp::EventLoop eventLoop_;                            // readiness of upstream descriptors
  HostResolver resolver_{[this] { eventLoop_.wake(); }}; // names, off this thread
  // Sessions waiting for their SMSC's name to resolve, by smscid.
  std::map<uint64_t, std::unique_ptr<SMPPSessionClient>> resolving_;
  std::vector<HostResolver::Result> resolved_; // scratch for takeResolutions
  // Client TLS contexts by verification mode and CA file.
  std::map<std::string, std::unique_ptr<smpp::TlsContext>> tlsContexts_;

  SubmitPool pool_;                                          // the weighted submit pools
  MORouter moRouter_;                                        // MO number look-up (upstream thread)
  UnknownReceipts unknown_;                                  // receipts awaiting their message id
  std::atomic<uint64_t> heldMaxAge_{24ULL * 3600 * 1000000}; // µs a receipt is held

  uint64_t changeStampSeen_ = 0; // configChangeStamp at the last rebuild
  uint64_t nextPass_ = 0;        // µs of the next connection pass
  uint64_t nextConnect_ = 0;     // µs a slot is next due to connect; ~0 = none waits
  uint64_t nextSweep_ = 0;       // µs the supervision pass is next due
  uint64_t speedStart_ = 0;      // µs the speed-check interval began
  uint32_t speedCount_ = 0;      // iterations in that interval
  int readinessWaitMillis_ = -1; // longest wait of one pass, -1 = none
  uint64_t handshakeMicros_ = smpp::SMPPSocketTls::kHandshakeMicros; // µs a TLS handshake may take

  std::atomic<uint64_t> deliverSMCount_{0}; // deliver_sm received
  std::atomic<uint64_t> lastDeliverSM_{0};  // µs of the last deliver_sm
  std::atomic<uint64_t> boundCount_{0};     // successful bind responses

  std::atomic<bool> stop_{false}; // set by stop()
  std::thread thread_;            // the upstream thread
};

// The process-wide upstream manager on the process-wide services.
SMPPUpstream& smppUpstream();

} // namespace quorvex
