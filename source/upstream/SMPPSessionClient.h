// One client bind to an upstream SMSC: the session base plus the slot's
// parameters, the connection and bind states the upstream thread moves it
// through, the submits awaiting their responses and the per-bind TPS window.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "smpp/SMPPSession.h"
#include "smpp/SMPPSocketTls.h"
#include "smpp/TlsContext.h"
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

  // Puts a (connecting) socket descriptor under the connection, which then
  // owns it; with `tls` the stream is TLS, verified as that context says.
  // False (nothing attached) when the TLS layer cannot be made.
  bool attachSocket(int descriptor, const smpp::TlsContext* tls);
  // The TLS layer of a TLS bind's connection, null for a plain one.
  smpp::SMPPSocketTls* tlsSocket();
  // µs by which a started TLS handshake must complete; 0 when none runs.
  uint64_t handshakeDeadline() const { return handshakeDeadline_; }
  void setHandshakeDeadline(uint64_t at) { handshakeDeadline_ = at; }
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
  bool tls() const { return tls_; }
  bool tlsVerify() const { return tlsVerify_; }
  const std::string& tlsCaFile() const { return tlsCaFile_; }
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
  const bool tls_;                                      // the bind runs over TLS
  const bool tlsVerify_;                                // the SMSC's certificate is checked
  const std::string tlsCaFile_;                         // authorities, empty = system store
  uint64_t handshakeDeadline_ = 0;                      // µs, 0 = no TLS handshake running
  std::atomic<int> connectionState_{kConnectionClosed}; // UpstreamConnectionState
  int watchedDescriptor_ = -1;     // descriptor in the readiness loop, -1 = none
  uint64_t windowStart_ = 0;       // µs the TPS window began, 0 = none yet
  uint64_t submitsInWindow_ = 0;   // submits built in the window
  OutstandingSubmits outstanding_; // sequence -> ESME sequence, send time
};

} // namespace quorvex
