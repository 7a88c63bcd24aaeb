// The downstream SMPP server: the listening socket, admission of new
// connections, every ESME session, and the main thread's loop that reads
// sessions, runs their timers and delivers their queued deliver_sm PDUs.
//
// Readiness comes from smpp::EventLoop (epoll): unlike select it has no
// descriptor ceiling, so no descriptor number can overflow anything, and a
// pass costs nothing per idle session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "downstream/ConnectionAdmission.h"
#include "downstream/IPWhitelist.h"
#include "downstream/SMPPLoadBalancerSession.h"
#include "smpp/EntityControlMaster.h"
#include "smpp/EventLoop.h"

namespace quorvex {

class SMPPLoadBalancerServer : public smpp::EntityControlMaster, private smpp::EventHandler {
public:
  static constexpr const char* kLogClass = "SMPPServer";
  static constexpr const char* kWhitelistFileName = "ipwhitelist.conf";
  static constexpr uint64_t kReceiverRebuildMicros = 250000;
  static constexpr int kListenBacklog = 64;

  SMPPLoadBalancerServer();
  ~SMPPLoadBalancerServer() override;
  SMPPLoadBalancerServer(const SMPPLoadBalancerServer&) = delete;
  SMPPLoadBalancerServer& operator=(const SMPPLoadBalancerServer&) = delete;

  // The listener loop on the main thread, until stopRequested is set or
  // the readiness wait fails. No admin listener exists: `adminPort` is unused.
  void run(int port, int adminPort, bool deliverPass);
  // A non-blocking listening socket on `port`, or -1.
  int dolisten(int port);

  // Start-up settings.
  std::mutex& whitelistMutex() { return whitelist_.mutex(); }
  // The caller holds whitelistMutex().
  void setWhitelistFileName(const std::string& name) { whitelist_.setFileName(name); }
  // The caller holds whitelistMutex().
  void loadIPWhitelist() { whitelist_.load(); }
  void setWhitelistOnly(bool on) { admission_.setWhitelistOnly(on); }
  void setMaxConnectionsPerIP(int limit);

  // Forgets and destroys the session on `descriptor`; does not close it.
  void removeSession(int descriptor);
  size_t clientConnections() const { return clients_; }

  // Main thread only.
  void triggerTimedCheck() override;
  // Any thread.
  void notifyEvent_ESMEBindAttemptNotReceived(const std::string& address) override;
  void addWhitelistIP(const std::string& address) override { whitelist_.add(address); }

private:
  using SessionPtr = std::shared_ptr<SMPPLoadBalancerSession>;

  void onReadable(int descriptor) override;
  void acceptConnections();
  void admit(int descriptor, const std::string& address, int port, long pending, uint64_t now);
  void sweeps(uint64_t now, bool deliverPass);
  void rebuildReceivers(uint64_t now);
  // One PDU per ESME; true when any was sent.
  bool deliverRound(uint64_t now);
  void timedCheckSweep(bool& sweep);
  void forceClose(int descriptor);
  // removeSession, stop watching, close the descriptor.
  void closeDescriptor(int descriptor);
  SMPPLoadBalancerSession* sessionAt(int descriptor) const;

  int port_ = 0;                          // SMPP port, 0 = none
  int listenFd_ = -1;                     // listening socket, -1 = none
  std::vector<SessionPtr> sessions_;      // by descriptor; null = none
  int highest_ = -1;                      // highest descriptor with a session, -1 = none
  size_t clients_ = 0;                    // client connections open
  int maxPerIP_ = 20;                     // live connections per address
  IPWhitelist whitelist_;                 // addresses never blocked
  ConnectionAdmission admission_;         // limits and blocks of new connections
  std::unique_ptr<smpp::EventLoop> loop_; // readiness of the listener and the sessions
  // Per ESME: last-delivery key -> descriptor of its RX/TRX sessions; filled
  // in passes that rebuild it (every 250 ms) and empty otherwise.
  std::map<std::string, std::map<uint64_t, int>> receivers_;
  uint64_t lastRebuild_ = 0; // µs of the last receiver rebuild
};

// The process-wide downstream server.
SMPPLoadBalancerServer& loadBalancerServer();

} // namespace quorvex
