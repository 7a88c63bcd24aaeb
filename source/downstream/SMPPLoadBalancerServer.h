// The downstream SMPP server: the listening socket, admission of new
// connections, every ESME session, and the main thread's loop that reads
// sessions, runs their timers and delivers their queued deliver_sm PDUs.
//
// Everything is driven by smpp::EventLoop: readiness for the sockets, one
// timer per session for its deadlines (bind, keep-alive, closing), a wake-up
// when deliver_sm bodies are queued, and output flushed once per pass. A
// pass costs nothing per idle session, and an idle gateway sleeps.
//
// Flow control: a session with more than SessionConnection::kOutputHighWater
// octets unsent is not read (its requests would only add responses it does
// not take) and gets no deliveries; both resume once it drains.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "downstream/ConnectionAdmission.h"
#include "downstream/IPWhitelist.h"
#include "downstream/PasswordVerifier.h"
#include "downstream/SMPPLoadBalancerSession.h"
#include "smpp/EntityControlMaster.h"
#include "smpp/EventLoop.h"
#include "smpp/SMPPSocketTls.h"
#include "smpp/TlsContext.h"

namespace quorvex {

class SMPPLoadBalancerServer : public smpp::EntityControlMaster, private smpp::EventHandler {
public:
  static constexpr const char* kLogClass = "SMPPServer";
  static constexpr const char* kWhitelistFileName = "ipwhitelist.conf";
  // A reconnect storm (every ESME at once after a restart) must fit in the
  // accept queue: the kernel caps it at net.core.somaxconn.
  static constexpr int kListenBacklog = SOMAXCONN;

  SMPPLoadBalancerServer();
  ~SMPPLoadBalancerServer() override;
  SMPPLoadBalancerServer(const SMPPLoadBalancerServer&) = delete;
  SMPPLoadBalancerServer& operator=(const SMPPLoadBalancerServer&) = delete;

  // The listener loop on the main thread, until stopRequested is set or
  // the readiness wait fails. No admin listener exists: `adminPort` is unused.
  // Without `deliverPass` queued deliver_sm bodies stay queued.
  void run(int port, int adminPort, bool deliverPass);
  // A non-blocking listening socket on `port`, or -1.
  int dolisten(int port);

  // A second listener on `port` whose connections speak TLS with
  // `context` (not owned; outlives run()). Call before run().
  void setTlsListener(int port, const smpp::TlsContext* context) {
    tlsPort_ = port;
    tls_ = context;
  }
  // How long a TLS handshake may take before the connection is closed.
  void setHandshakeTimeout(uint64_t micros) { handshakeMicros_ = micros; }

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
  size_t clientConnections() const { return clientCount_; }

  // Main thread only: runs every session's checks now.
  void triggerTimedCheck() override;
  // Any thread.
  void notifyEvent_ESMEBindAttemptNotReceived(const std::string& address) override;
  void addWhitelistIP(const std::string& address) override { whitelist_.add(address); }

private:
  using SessionPtr = std::shared_ptr<SMPPLoadBalancerSession>;
  // Least recently used first: the serial of the session's last delivery
  // (for a session that never delivered, its descriptor, which sorts before
  // any serial), then the descriptor.
  using ReceiverKey = std::pair<uint64_t, int>;

  // One accepted connection: its session, its deadline timer and its place
  // in the delivery index.
  struct Client : smpp::TimerHandler {
    Client(SMPPLoadBalancerServer* server, int fd, SessionPtr session)
        : server(server), fd(fd), session(std::move(session)), timer(this), handshakeTimer(this) {}
    void onTimer(smpp::Timer& fired) override {
      if (&fired == &handshakeTimer) {
        server->onHandshakeTimeout(fd);
      } else {
        server->onSessionTimer(fd);
      }
    }

    SMPPLoadBalancerServer* server; // owner
    int fd;                         // the connection's descriptor
    SessionPtr session;             // the ESME session
    smpp::Timer timer;              // the session's next deadline
    smpp::Timer handshakeTimer;     // the TLS handshake's deadline, while it runs
    bool handshaking = false;       // TLS connection whose handshake has not completed
    uint64_t admitted = 0;          // admission serial: lower is older
    bool paused = false;            // reading stopped for unsent output
    bool verifying = false;         // reading stopped while its bind's password is checked
    bool receiver = false;          // listed in receivers_ under receiverId
    std::string receiverId;         // system id it is listed under
    ReceiverKey receiverKey;        // its key there
  };
  enum class Delivery { kSent, kEmpty, kBlocked };

  void onReadable(int descriptor) override;
  void onWritable(int descriptor) override;
  void onSessionTimer(int descriptor);
  void onHandshakeTimeout(int descriptor);
  // Moves a TLS connection's handshake on; the session runs once it is done.
  void continueHandshake(Client& client);

  // Runs the session over what it has to read; closes it when it ends.
  void runSession(Client& client);
  // Answers the binds whose password verdicts have arrived.
  void applyVerdicts();
  // Read interest on while neither flow control nor a verdict holds it.
  void applyReading(Client& client);
  void acceptConnections(int listenFd);
  void admit(int descriptor, const std::string& address, int port, long pending, uint64_t now,
             bool tls);
  // The descriptor of the longest-open connection that has not bound; -1
  // when every connection is bound.
  int oldestUnboundDescriptor() const;
  // After the session ran: delivery index, flow control, deadline timer.
  void afterActivity(Client& client);
  void armCheck(Client& client);
  void updateFlow(Client& client);
  void syncReceiver(Client& client);
  void unlistReceiver(Client& client);
  // Delivers queued bodies of every ESME that has some, one PDU per ESME
  // per round, until each queue is empty or its sessions are all full.
  void deliverReady();
  Delivery deliverOne(const std::string& systemId, uint64_t now);
  void forceClose(int descriptor);
  // removeSession, stop watching, close the descriptor.
  void closeDescriptor(int descriptor);
  Client* clientAt(int descriptor) const;
  SMPPLoadBalancerSession* sessionAt(int descriptor) const;

  int port_ = 0;                          // SMPP port, 0 = none
  int listenFd_ = -1;                     // listening socket, -1 = none
  int tlsPort_ = 0;                       // SMPP over TLS port, 0 = none
  int tlsListenFd_ = -1;                  // its listening socket, -1 = none
  const smpp::TlsContext* tls_ = nullptr; // certificate and key of the TLS port
  // µs a TLS handshake may take
  uint64_t handshakeMicros_ = smpp::SMPPSocketTls::kHandshakeMicros;
  std::vector<std::unique_ptr<Client>> clients_; // by descriptor; null = none
  int highest_ = -1;                             // highest descriptor with a session, -1 = none
  size_t clientCount_ = 0;                       // client connections open
  int maxPerIP_ = 20;                            // live connections per address
  IPWhitelist whitelist_;                        // addresses never blocked
  ConnectionAdmission admission_;                // limits and blocks of new connections
  std::unique_ptr<smpp::EventLoop> loop_; // readiness, timers and wake-ups of the main thread
  bool delivering_ = false;               // queued deliver_sm bodies are sent
  // Per ESME: its bound RX/TRX sessions, least recently used first.
  std::unordered_map<std::string, std::set<ReceiverKey>> receivers_;
  std::set<std::string> deliverable_; // ESMEs to deliver for in this pass
  std::set<std::string> waiting_;     // ESMEs with bodies and no session able to take one
  std::vector<std::string> ready_;    // scratch for DeliverSMQueue::takeReady
  std::vector<PasswordVerifier::Verdict> verdicts_; // scratch for PasswordVerifier::takeVerdicts
  uint64_t deliverSerial_ = 1ULL << 32;             // last delivery's serial; above any descriptor
  uint64_t admitSerial_ = 0;                        // last admitted connection's serial
};

// The process-wide downstream server.
SMPPLoadBalancerServer& loadBalancerServer();

} // namespace quorvex
