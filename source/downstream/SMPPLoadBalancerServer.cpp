#include "downstream/SMPPLoadBalancerServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/Log.h"
#include "app/Process.h"
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
  }
  while (stopRequested == 0) {
    const uint64_t now = nowMicros();
    // Ready descriptors are handled inside poll(); the sweeps follow.
    if (loop_->poll(1) < 0) {
      std::perror("  select() failed");
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    sweeps(now, deliverPass);
  }
  if (listenFd_ >= 0) {
    loop_->remove(listenFd_);
    ::close(listenFd_);
    listenFd_ = -1;
  }
  for (int fd = 0; fd <= highest_; ++fd) {
    if (SessionPtr& session = sessions_[fd]) {
      loop_->remove(fd);
      session->closeConnection();
      ::close(fd);
      session.reset();
    }
  }
  highest_ = -1;
  if (port != 0) {
    logApplication(LOG_INFO, this, kLogClass, "run", "No longer listening on port %d", port);
  }
}

void SMPPLoadBalancerServer::onReadable(int descriptor) {
  if (descriptor == listenFd_) {
    acceptConnections();
    return;
  }
  SMPPLoadBalancerSession* session = sessionAt(descriptor);
  if (session == nullptr) {
    logApplication(LOG_WARNING, this, kLogClass, "run", "Descriptor readable but no session - %d",
                   descriptor);
    return;
  }
  if (session->run()) {
    logApplication(LOG_FINE, this, kLogClass, "run", "Closing connection - %d", descriptor);
    closeDescriptor(descriptor);
  }
}

void SMPPLoadBalancerServer::acceptConnections() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    const int fd = ::accept(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length);
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
    admit(fd, text, ntohs(peer.sin_port), pending, nowMicros());
  }
}

void SMPPLoadBalancerServer::admit(int descriptor, const std::string& address, int port,
                                   long pending, uint64_t now) {
  ConnectionAttempt attempt;
  attempt.now = now;
  attempt.descriptor = descriptor;
  attempt.address = address;
  attempt.pending = pending;
  attempt.clientConnections = clients_;
  {
    std::lock_guard<std::mutex> lock(whitelist_.mutex());
    whitelist_.load();
    attempt.whitelisted = whitelist_.contains(address);
  }
  if (admission_.decide(attempt) != Admission::kAdmit) {
    ::close(descriptor);
    return;
  }
  logApplication(LOG_INFO, this, kLogClass, "run",
                 "New SMPP connection - %d [%s] [bytes to read=%d]", descriptor, address.c_str(),
                 static_cast<int>(pending));
  if (static_cast<size_t>(descriptor) >= sessions_.size()) {
    sessions_.resize(static_cast<size_t>(descriptor) + 1);
  }
  sessions_[descriptor] = SMPPLoadBalancerSession::create(descriptor, address, port, this);
  ++clients_;
  if (descriptor > highest_) {
    highest_ = descriptor;
  }
  if (!loop_->add(descriptor, this)) {
    std::perror("  epoll add failed (SMPP)");
    closeDescriptor(descriptor);
  }
}

SMPPLoadBalancerSession* SMPPLoadBalancerServer::sessionAt(int descriptor) const {
  if (descriptor < 0 || static_cast<size_t>(descriptor) >= sessions_.size()) {
    return nullptr;
  }
  return sessions_[descriptor].get();
}

void SMPPLoadBalancerServer::removeSession(int descriptor) {
  SMPPLoadBalancerSession* session = sessionAt(descriptor);
  if (session == nullptr) {
    return;
  }
  // Another thread may still hold the session (a submit_sm_resp relay); it
  // must not write to the descriptor once that is closed and reused.
  session->closeConnection();
  --clients_;
  admission_.connectionClosed(session->peerIp());
  if (!session->bindRequested()) {
    notifyEvent_ESMEBindAttemptNotReceived(session->peerIp());
  }
  tracker().removeSession(session->sessionId());
  sessions_[descriptor].reset();
  while (highest_ >= 0 && sessions_[highest_] == nullptr) {
    --highest_;
  }
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

void SMPPLoadBalancerServer::sweeps(uint64_t now, bool deliverPass) {
  const bool deliver = deliverPass && now - lastRebuild_ >= kReceiverRebuildMicros;
  if (deliver) {
    lastRebuild_ = now;
    rebuildReceivers(now);
  }
  bool sweep;
  do {
    sweep = false;
    // Deliveries repeat until every ESME's queue is empty or unsendable;
    // the timers then run once, not once per delivered PDU.
    while (deliver && deliverRound(now)) {
    }
    timedCheckSweep(sweep);
  } while (sweep);
  receivers_.clear();
}

void SMPPLoadBalancerServer::rebuildReceivers(uint64_t) {
  receivers_.clear();
  uint64_t neverDelivered = 0;
  for (int fd = 0; fd <= highest_; ++fd) {
    const SMPPLoadBalancerSession* session = sessions_[fd].get();
    if (session == nullptr || session->systemId().empty() ||
        (session->bindState() != smpp::kBoundTransceiver &&
         session->bindState() != smpp::kBoundReceiver)) {
      continue;
    }
    // Sessions that never delivered come first, in descriptor order.
    const uint64_t last = session->lastDeliverTime();
    receivers_[session->systemId()][last != 0 ? last : neverDelivered++] = fd;
  }
}

bool SMPPLoadBalancerServer::deliverRound(uint64_t now) {
  bool delivered = false;
  for (auto& [systemId, byAge] : receivers_) {
    if (byAge.empty()) {
      continue;
    }
    const auto oldest = byAge.begin();
    const int fd = oldest->second;
    SMPPLoadBalancerSession* session = sessionAt(fd);
    if (session == nullptr) {
      byAge.erase(oldest); // closed earlier in this pass
      continue;
    }
    bool sweep = false;
    bool sent = false;
    if (session->deliver(now, sweep, sent)) {
      byAge.erase(oldest);
      forceClose(fd);
      continue;
    }
    if (sent) {
      delivered = true;
      // To the back: the ESME's next PDU goes to its least recently used session.
      byAge.erase(oldest);
      byAge[nowMicros()] = fd;
    }
  }
  return delivered;
}

void SMPPLoadBalancerServer::timedCheckSweep(bool& sweep) {
  for (int fd = 0; fd <= highest_; ++fd) {
    SMPPLoadBalancerSession* session = sessionAt(fd);
    if (session != nullptr && session->timedCheck(sweep)) {
      forceClose(fd);
    }
  }
}

void SMPPLoadBalancerServer::triggerTimedCheck() {
  bool sweep;
  do {
    sweep = false;
    timedCheckSweep(sweep);
  } while (sweep);
}

SMPPLoadBalancerServer& loadBalancerServer() {
  static SMPPLoadBalancerServer server;
  return server;
}

} // namespace quorvex
