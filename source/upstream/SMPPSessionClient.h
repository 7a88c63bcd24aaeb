// One client bind to an upstream SMSC: the session base plus the slot's
// parameters, the connection and bind states the upstream thread moves it
// through, the submits awaiting their responses and the per-bind TPS window.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "smpp/SMPPSession.h"
#include "upstream/BindSlot.h"
#include "upstream/OutstandingSubmits.h"

namespace quorvex {

// Connection states of an upstream session.
enum UpstreamConnectionState : int {
  kConnectionClosed = 0,
  kConnectionConnecting = 1,
  kConnectionConnected = 2,
};

class SMPPSessionClient : public smpp::SMPPSession {
public:
  // Copies the slot's parameters; the session has no socket yet.
  SMPPSessionClient(smpp::EntityControlMaster* owner, const BindSlot& slot,
                    const smpp::Clock& clock);
  // The connection closes an attached socket and frees the buffers.
  ~SMPPSessionClient() override;

  bool poll() override { return false; }
  // The response timeout of the submits sent on this session.
  bool periodicCheck(uint64_t now, bool& sweep) override;
  // The base deadlines and the oldest outstanding submit's timeout.
  uint64_t nextCheckDelay(uint64_t now) override;

  // Takes ownership of a (connecting) socket descriptor.
  void attachSocket(int descriptor);
  // The descriptor watched for this session, -1 once it is no longer watched.
  int watchedDescriptor() const { return watchedDescriptor_; }
  void setWatchedDescriptor(int descriptor) { watchedDescriptor_ = descriptor; }

  // Sends the bind request of the slot's bind type; true when written.
  bool sendBind();
  bool sendUnbind() { return sendRequest(smpp::command::kUnbind); }

  // Per-bind TPS window (main thread, under the upstream sessions mutex):
  // false when `limit` submits already went out in the current second.
  bool tpsWindowAdmits(uint64_t now, uint32_t limit);
  void countSubmitInWindow() { ++submitsInWindow_; }

  OutstandingSubmits& outstandingSubmits() { return outstanding_; }

  uint64_t smscid() const { return smscid_; }
  const std::string& targetName() const { return targetName_; }
  const std::string& host() const { return host_; }
  uint32_t port() const { return port_; }
  const std::string& password() const { return password_; }
  const std::string& systemType() const { return systemType_; }
  int bindType() const { return bindType_; }
  int connectionState() const { return connectionState_.load(std::memory_order_relaxed); }
  void setConnectionState(int state) { connectionState_.store(state, std::memory_order_relaxed); }

private:
  static constexpr const char* kLogClass = "SMPPSessionClient";

  const uint64_t smscid_;                               // identity of the bind
  const std::string targetName_;                        // configured target name
  const std::string host_;                              // SMSC host
  const uint32_t port_;                                 // SMSC port
  const std::string password_;                          // bind password
  const std::string systemType_;                        // bind system_type
  const int bindType_;                                  // UpstreamBindType
  std::atomic<int> connectionState_{kConnectionClosed}; // UpstreamConnectionState
  int watchedDescriptor_ = -1;     // descriptor in the readiness loop, -1 = none
  uint64_t windowStart_ = 0;       // µs the TPS window began, 0 = none yet
  uint64_t submitsInWindow_ = 0;   // submits built in the window
  OutstandingSubmits outstanding_; // sequence -> ESME sequence, send time
};

} // namespace quorvex
