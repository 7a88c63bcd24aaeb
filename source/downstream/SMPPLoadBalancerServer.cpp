#include "downstream/SMPPLoadBalancerServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/Log.h"
#include "app/Process.h"
#include "downstream/DeliverSMQueue.h"
#include "downstream/PasswordVerifier.h"
#include "downstream/RouteTableCache.h"
#include "smpp/SMPPSocketTls.h"
#include "tracker/Tracker.h"

namespace quorvex {

SMPPLoadBalancerServer::SMPPLoadBalancerServer()
    : whitelist_(this), admission_(this), loop_(std::make_unique<smpp::EventLoop>()) {}

// Sessions are destroyed when run() ends; nothing here touches other
// process-wide objects, which may be gone by now.
SMPPLoadBalancerServer::~SMPPLoadBalancerServer() = default;

void SMPPLoadBalancerServer::setMaxConnectionsPerIP(int limit) {
  maxPerIP_ = limit;
  admission_.setMaxConnectionsPerAddress(limit < 0 ? 0 : static_cast<uint32_t>(limit));
}

int SMPPLoadBalancerServer::dolisten(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    std::perror("ERROR opening socket");
    return -1;
  }
  int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0) {
    std::perror("setsockopt() failed");
    ::close(fd);
    std::exit(255);
  }
  if (::ioctl(fd, FIONBIO, &on) < 0) {
    std::perror("ioctl() failed");
    ::close(fd);
    std::exit(255);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0) {
    std::perror("ERROR on binding");
    ::close(fd);
    return -1;
  }
  const int r = ::listen(fd, kListenBacklog);
  logApplication(LOG_INFO, this, kLogClass, "dolisten", "r=%d listensockfd=%d", r, fd);
  return fd;
}

void SMPPLoadBalancerServer::run(int port, int, bool deliverPass) {
  installSignalHandlers();
  setStopWakeDescriptor(loop_->wakeDescriptor());
  delivering_ = deliverPass;
  if (deliverPass) {
    deliverSMQueue().setWakeLoop(loop_.get());
  }
  passwordVerifier().setWakeLoop(loop_.get());
  // Compiled before any ESME can bind: a long global list would otherwise
  // hold the first submit for as long as the compilation takes.
  globalRouteCache().current();
  port_ = port;
  if (port != 0) {
    listenFd_ = dolisten(port);
    if (listenFd_ < 0) {
      std::perror("Failed to listen on SMPP port");
      return;
    }
    logApplication(LOG_INFO, this, kLogClass, "run",
                   "Listening for SMPP on port %d (listensockfdSMPP=%d)", port, listenFd_);
    logApplication(LOG_INFO, this, kLogClass, "run", "Max connections per IP address: %d",
                   maxPerIP_);
    {
      std::lock_guard<std::mutex> lock(whitelist_.mutex());
      for (const std::string& entry : whitelist_.entries()) {
        logApplication(LOG_INFO, this, kLogClass, "run", "IP whitelist (do not block): [%s]",
                       entry.c_str());
      }
    }
    loop_->add(listenFd_, this);
  } else {
    // An operator may run the gateway for its admin API and upstream binds
    // alone.
    logApplication(LOG_INFO, this, kLogClass, "run", "No SMPP listener: smpp.port is 0");
  }
  if (tlsPort_ != 0 && tls_ != nullptr) {
    tlsListenFd_ = dolisten(tlsPort_);
    if (tlsListenFd_ < 0) {
      std::perror("Failed to listen on SMPP TLS port");
      stopRequested = 1;
    } else {
      logApplication(LOG_INFO, this, kLogClass, "run",
                     "Listening for SMPP over TLS on port %d (listensockfd=%d)", tlsPort_,
                     tlsListenFd_);
      loop_->add(tlsListenFd_, this);
    }
  }
  // Bodies queued before the loop started (none in practice) go out now.
  deliverReady();
  while (stopRequested == 0) {
    // Sleeps until a descriptor, a deadline or a wake-up needs the thread.
    if (loop_->poll(-1) < 0) {
      // Saved first: printing may change errno, and a wait interrupted by a
      // stop and continue (a debugger, kill -STOP) must not end the service.
      const int error = errno;
      std::perror("  select() failed");
      if (error == EINTR) {
        continue;
      }
      break;
    }
    applyVerdicts();
    deliverReady();
  }
  passwordVerifier().setWakeLoop(nullptr);
  setStopWakeDescriptor(-1);
  deliverSMQueue().setWakeLoop(nullptr);
  for (int* fd : {&listenFd_, &tlsListenFd_}) {
    if (*fd >= 0) {
      loop_->remove(*fd);
      ::close(*fd);
      *fd = -1;
    }
  }
  for (int fd = 0; fd <= highest_; ++fd) {
    if (clients_[fd] != nullptr) {
      closeDescriptor(fd);
    }
  }
  highest_ = -1;
  for (int closed : {port, tlsPort_}) {
    if (closed != 0) {
      logApplication(LOG_INFO, this, kLogClass, "run", "No longer listening on port %d", closed);
    }
  }
}

void SMPPLoadBalancerServer::onReadable(int descriptor) {
  if (descriptor == listenFd_ || descriptor == tlsListenFd_) {
    acceptConnections(descriptor);
    return;
  }
  Client* client = clientAt(descriptor);
  if (client == nullptr) {
    logApplication(LOG_WARNING, this, kLogClass, "run", "Descriptor readable but no session - %d",
                   descriptor);
    return;
  }
  if (client->handshaking) {
    continueHandshake(*client);
    return;
  }
  if (client->verifying) {
    // Read interest is off: this is an error or hang-up, and a peer that
    // has gone needs no answer to its bind.
    logApplication(LOG_FINE, this, kLogClass, "run", "Closing connection - %d", descriptor);
    closeDescriptor(descriptor);
    return;
  }
  runSession(*client);
}

void SMPPLoadBalancerServer::runSession(Client& client) {
  SMPPLoadBalancerSession& session = *client.session;
  bool close = session.run();
  // A pass the dispatcher ended early leaves whole PDUs in the read buffer
  // (or in the TLS layer), where no readiness event will ever report them:
  // they are handled now.
  while (!close && session.pdusRead() > 0 && session.connection().inputWaiting()) {
    close = session.run();
  }
  if (close) {
    logApplication(LOG_FINE, this, kLogClass, "run", "Closing connection - %d", client.fd);
    closeDescriptor(client.fd);
    return;
  }
  if (session.bindPending() && !client.verifying) {
    client.verifying = true;
    applyReading(client);
  }
  afterActivity(client);
}

void SMPPLoadBalancerServer::applyVerdicts() {
  passwordVerifier().takeVerdicts(verdicts_);
  for (const PasswordVerifier::Verdict& verdict : verdicts_) {
    Client* client = clientAt(verdict.descriptor);
    // The session may have closed, and its descriptor been reused, meanwhile.
    if (client == nullptr || client->session->sessionId() != verdict.sessionId ||
        !client->session->bindPending()) {
      continue;
    }
    client->session->onPasswordVerdict(verdict.match);
    client->verifying = false;
    applyReading(*client);
    // Requests that arrived behind the bind were left in the read buffer.
    runSession(*client);
  }
  verdicts_.clear();
}

void SMPPLoadBalancerServer::applyReading(Client& client) {
  loop_->setReading(client.fd, !client.paused && !client.verifying);
}

void SMPPLoadBalancerServer::acceptConnections(int listenFd) {
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    const int fd = ::accept(listenFd, reinterpret_cast<sockaddr*>(&peer), &length);
    if (fd < 0) {
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        return;
      }
      std::perror("  accept() failed (SMPP)");
      // A peer that gave up before we accepted must not stop the service.
      if (error == EINTR || error == ECONNABORTED) {
        continue;
      }
      if (error != EMFILE) {
        stopRequested = 1;
      }
      return;
    }
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
    int pending = 0;
    ::ioctl(fd, FIONREAD, &pending);
    admit(fd, text, ntohs(peer.sin_port), pending, nowMicros(), listenFd == tlsListenFd_);
  }
}

void SMPPLoadBalancerServer::admit(int descriptor, const std::string& address, int port,
                                   long pending, uint64_t now, bool tls) {
  ConnectionAttempt attempt;
  attempt.now = now;
  attempt.descriptor = descriptor;
  attempt.address = address;
  attempt.pending = pending;
  // At the cap, connections that never bound make room for newcomers (the
  // oldest first), so idle sockets cannot lock customers out; bound
  // sessions are never evicted.
  const int idle =
      clientCount_ >= ConnectionAdmission::kMaxClientConnections ? oldestUnboundDescriptor() : -1;
  attempt.clientConnections = clientCount_ - (idle >= 0 ? 1 : 0);
  {
    std::lock_guard<std::mutex> lock(whitelist_.mutex());
    whitelist_.load();
    attempt.whitelisted = whitelist_.contains(address);
  }
  if (admission_.decide(attempt) != Admission::kAdmit) {
    ::close(descriptor);
    return;
  }
  if (idle >= 0) {
    logApplication(LOG_INFO, this, kLogClass, "run",
                   "Client connection limit reached. Closing the oldest unbound connection - %d",
                   idle);
    closeDescriptor(idle);
  }
  logApplication(LOG_INFO, this, kLogClass, "run",
                 "New SMPP connection - %d [%s] [bytes to read=%d]", descriptor, address.c_str(),
                 static_cast<int>(pending));
  if (static_cast<size_t>(descriptor) >= clients_.size()) {
    clients_.resize(static_cast<size_t>(descriptor) + 1);
  }
  clients_[descriptor] = std::make_unique<Client>(
      this, descriptor, SMPPLoadBalancerSession::create(descriptor, address, port, this));
  clients_[descriptor]->admitted = ++admitSerial_;
  ++clientCount_;
  if (descriptor > highest_) {
    highest_ = descriptor;
  }
  if (!loop_->add(descriptor, this)) {
    std::perror("  epoll add failed (SMPP)");
    closeDescriptor(descriptor);
    return;
  }
  // Output leaves in whole batches once per pass; Nagle would only hold a
  // batch back for the peer's delayed acknowledgement.
  int on = 1;
  ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  Client& client = *clients_[descriptor];
  if (tls) {
    std::unique_ptr<smpp::SMPPSocketTls> socket = smpp::SMPPSocketTls::accepting(*tls_, descriptor);
    if (socket == nullptr) {
      logApplication(LOG_INFO, this, kLogClass, "run", "TLS handshake failed - %d [%s]: %s",
                     descriptor, address.c_str(),
                     smpp::TlsContext::takeErrorText("no TLS session").c_str());
      closeDescriptor(descriptor);
      return;
    }
    client.session->connection().attach(std::move(socket), descriptor, false);
    // Costs nothing while it waits: readiness moves it on, this timer ends it.
    client.handshaking = true;
    loop_->armTimer(client.handshakeTimer, handshakeMicros_);
  }
  client.session->connection().bindLoop(loop_.get());
  armCheck(client);
}

void SMPPLoadBalancerServer::continueHandshake(Client& client) {
  auto* socket = static_cast<smpp::SMPPSocketTls*>(client.session->connection().socket());
  const smpp::SMPPSocketTls::Step step = socket->handshake();
  switch (step) {
  case smpp::SMPPSocketTls::Step::kWantRead:
  case smpp::SMPPSocketTls::Step::kWantWrite:
    smpp::SMPPSocketTls::watchFor(*loop_, client.fd, step);
    return;
  case smpp::SMPPSocketTls::Step::kFailed:
    // Plain SMPP on this port ends here too ("wrong version number").
    logApplication(LOG_INFO, this, kLogClass, "run", "TLS handshake failed - %d [%s]: %s",
                   client.fd, client.session->peerIp().c_str(), socket->failure().c_str());
    closeDescriptor(client.fd);
    return;
  case smpp::SMPPSocketTls::Step::kDone:
    break;
  }
  client.handshaking = false;
  loop_->cancelTimer(client.handshakeTimer);
  smpp::SMPPSocketTls::watchFor(*loop_, client.fd, step);
  logApplication(LOG_FINE, this, kLogClass, "run", "TLS established - %d [%s] %s", client.fd,
                 client.session->peerIp().c_str(), socket->description().c_str());
  // A bind that came with the handshake's last flight is already read.
  runSession(client);
}

void SMPPLoadBalancerServer::onHandshakeTimeout(int descriptor) {
  Client* client = clientAt(descriptor);
  if (client == nullptr || !client->handshaking) {
    return;
  }
  logApplication(LOG_INFO, this, kLogClass, "run",
                 "TLS handshake not completed in %llu ms - %d [%s]",
                 static_cast<unsigned long long>(handshakeMicros_ / 1000), descriptor,
                 client->session->peerIp().c_str());
  closeDescriptor(descriptor);
}

void SMPPLoadBalancerServer::onWritable(int descriptor) {
  Client* client = clientAt(descriptor);
  if (client == nullptr) {
    return;
  }
  if (client->handshaking) {
    continueHandshake(*client);
    return;
  }
  const smpp::FlushResult result = client->session->connection().flush();
  if (result == smpp::FlushResult::kFailed) {
    logApplication(LOG_FINE, this, kLogClass, "run", "Closing connection - %d", descriptor);
    closeDescriptor(descriptor);
    return;
  }
  // Write interest only while the kernel refuses output: a level-triggered
  // EPOLLOUT on an idle socket would wake the loop forever.
  loop_->setWriting(descriptor, result == smpp::FlushResult::kPending);
  updateFlow(*client);
  armCheck(*client);
}

void SMPPLoadBalancerServer::onSessionTimer(int descriptor) {
  Client* client = clientAt(descriptor);
  if (client == nullptr) {
    return;
  }
  bool sweep = false;
  if (client->session->timedCheck(sweep)) {
    forceClose(descriptor);
    return;
  }
  armCheck(*client);
}

void SMPPLoadBalancerServer::afterActivity(Client& client) {
  syncReceiver(client);
  updateFlow(client);
  armCheck(client);
}

void SMPPLoadBalancerServer::armCheck(Client& client) {
  const uint64_t delay = client.session->nextCheckDelay(nowMicros());
  if (delay == smpp::SMPPSession::kNoCheck) {
    loop_->cancelTimer(client.timer);
    return;
  }
  // Only ever brought forward here: a deadline that moved later (activity
  // postponed the keep-alive) is found when the timer fires, which then
  // re-arms. So the common case costs one comparison, no heap operation.
  if (!client.timer.armed() ||
      smpp::EventLoop::monotonicMicros() + delay < client.timer.deadline()) {
    loop_->armTimer(client.timer, delay);
  }
}

void SMPPLoadBalancerServer::updateFlow(Client& client) {
  const size_t pending = client.session->connection().pendingOutput();
  if (!client.paused && pending > smpp::SessionConnection::kOutputHighWater) {
    client.paused = true;
    applyReading(client);
  } else if (client.paused && pending < smpp::SessionConnection::kOutputLowWater) {
    client.paused = false;
    applyReading(client);
    if (client.receiver && waiting_.erase(client.receiverId) != 0) {
      deliverable_.insert(client.receiverId);
    }
  }
}

void SMPPLoadBalancerServer::syncReceiver(Client& client) {
  const SMPPLoadBalancerSession& session = *client.session;
  const int state = session.bindState();
  const bool receiver = !session.systemId().empty() &&
                        (state == smpp::kBoundTransceiver || state == smpp::kBoundReceiver);
  if (receiver == client.receiver) {
    return;
  }
  if (!receiver) {
    unlistReceiver(client);
    return;
  }
  client.receiver = true;
  client.receiverId = session.systemId();
  client.receiverKey = {static_cast<uint64_t>(client.fd), client.fd};
  receivers_[client.receiverId].insert(client.receiverKey);
  // Bodies queued while the ESME had no receiver go out now.
  if (delivering_) {
    waiting_.erase(client.receiverId);
    deliverable_.insert(client.receiverId);
  }
}

void SMPPLoadBalancerServer::unlistReceiver(Client& client) {
  if (!client.receiver) {
    return;
  }
  const auto it = receivers_.find(client.receiverId);
  if (it != receivers_.end()) {
    it->second.erase(client.receiverKey);
    if (it->second.empty()) {
      receivers_.erase(it);
    }
  }
  client.receiver = false;
}

void SMPPLoadBalancerServer::deliverReady() {
  if (!delivering_) {
    return;
  }
  deliverSMQueue().takeReady(ready_);
  for (std::string& systemId : ready_) {
    waiting_.erase(systemId);
    deliverable_.insert(std::move(systemId));
  }
  ready_.clear();
  const uint64_t now = nowMicros();
  // One PDU per ESME per round, so one busy ESME cannot starve the others.
  while (!deliverable_.empty()) {
    for (auto it = deliverable_.begin(); it != deliverable_.end();) {
      const Delivery outcome = deliverOne(*it, now);
      if (outcome == Delivery::kSent) {
        ++it;
        continue;
      }
      if (outcome == Delivery::kBlocked) {
        waiting_.insert(*it);
      }
      it = deliverable_.erase(it);
    }
  }
}

SMPPLoadBalancerServer::Delivery SMPPLoadBalancerServer::deliverOne(const std::string& systemId,
                                                                    uint64_t now) {
  const auto found = receivers_.find(systemId);
  if (found == receivers_.end()) {
    return deliverSMQueue().size(systemId) == 0 ? Delivery::kEmpty : Delivery::kBlocked;
  }
  std::set<ReceiverKey>& byAge = found->second;
  for (auto it = byAge.begin(); it != byAge.end(); ++it) {
    // Listed sessions are open: removal unlists them first.
    Client* client = clientAt(it->second);
    // Output another thread appended since the last check may have passed
    // the mark: paused now, its drain offers this ESME again.
    updateFlow(*client);
    if (client->paused) {
      continue; // the next least recently used one may have room
    }
    const SMPPLoadBalancerSession::DeliverOutcome outcome = client->session->deliverOne(now);
    if (outcome == SMPPLoadBalancerSession::DeliverOutcome::kEmpty) {
      return Delivery::kEmpty;
    }
    // To the back: the ESME's next PDU goes to its least recently used
    // session. The node is reused, so this allocates nothing.
    auto node = byAge.extract(it);
    node.value() = {++deliverSerial_, client->fd};
    client->receiverKey = node.value();
    byAge.insert(std::move(node));
    updateFlow(*client);
    return Delivery::kSent;
  }
  return Delivery::kBlocked;
}

SMPPLoadBalancerServer::Client* SMPPLoadBalancerServer::clientAt(int descriptor) const {
  if (descriptor < 0 || static_cast<size_t>(descriptor) >= clients_.size()) {
    return nullptr;
  }
  return clients_[descriptor].get();
}

SMPPLoadBalancerSession* SMPPLoadBalancerServer::sessionAt(int descriptor) const {
  const Client* client = clientAt(descriptor);
  return client != nullptr ? client->session.get() : nullptr;
}

void SMPPLoadBalancerServer::removeSession(int descriptor) {
  Client* client = clientAt(descriptor);
  if (client == nullptr) {
    return;
  }
  SMPPLoadBalancerSession* session = client->session.get();
  loop_->cancelTimer(client->timer);
  loop_->cancelTimer(client->handshakeTimer);
  unlistReceiver(*client);
  // Another thread may still hold the session (a submit_sm_resp relay); it
  // must not write to the descriptor once that is closed and reused.
  session->closeConnection();
  --clientCount_;
  admission_.connectionClosed(session->peerIp());
  if (!session->bindRequested()) {
    notifyEvent_ESMEBindAttemptNotReceived(session->peerIp());
  }
  if (session->bindPending()) {
    // Nobody waits for that verdict: the worker's time goes to live binds.
    passwordVerifier().cancel(session->sessionId());
  }
  tracker().removeSession(session->sessionId());
  clients_[descriptor].reset();
  while (highest_ >= 0 && clients_[highest_] == nullptr) {
    --highest_;
  }
}

int SMPPLoadBalancerServer::oldestUnboundDescriptor() const {
  // A walk over the connections, at the cap only: cheaper than keeping an
  // age index up to date on every bind.
  int oldest = -1;
  uint64_t oldestSerial = 0;
  for (int fd = 0; fd <= highest_; ++fd) {
    const Client* client = clients_[static_cast<size_t>(fd)].get();
    if (client != nullptr && client->session->bindState() == smpp::kUnbound &&
        (oldest < 0 || client->admitted < oldestSerial)) {
      oldest = fd;
      oldestSerial = client->admitted;
    }
  }
  return oldest;
}

void SMPPLoadBalancerServer::closeDescriptor(int descriptor) {
  removeSession(descriptor);
  loop_->remove(descriptor);
  ::close(descriptor);
}

void SMPPLoadBalancerServer::forceClose(int descriptor) {
  SMPPLoadBalancerSession* session = sessionAt(descriptor);
  logApplication(LOG_INFO, this, kLogClass, "run",
                 "Force close on connection - %d (max_sd=%d) %p (SMPPSession)%p", descriptor,
                 highest_, static_cast<void*>(session), static_cast<void*>(session));
  closeDescriptor(descriptor);
}

void SMPPLoadBalancerServer::notifyEvent_ESMEBindAttemptNotReceived(const std::string& address) {
  admission_.noteBindless(address);
}

void SMPPLoadBalancerServer::triggerTimedCheck() {
  for (int fd = 0; fd <= highest_; ++fd) {
    if (clientAt(fd) != nullptr) {
      onSessionTimer(fd);
    }
  }
}

SMPPLoadBalancerServer& loadBalancerServer() {
  static SMPPLoadBalancerServer server;
  return server;
}

} // namespace quorvex
