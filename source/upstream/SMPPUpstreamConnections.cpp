// Connection manager of the upstream thread: connection passes with
// back-off, asynchronous connect, bind, reading and dispatch, removal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/Log.h"
#include "cdr/SMPPCDRManager.h"
#include "metrics/MetricEvents.h"
#include "tracker/SmscId.h"
#include "upstream/SMPPUpstream.h"

namespace quorvex {
namespace {

constexpr uint64_t kMicrosPerSecond = 1000000ULL;
// Connection passes run at most this often...
constexpr uint64_t kPassMicros = 100000;
// ...and each attempt started pushes the next pass back by this much.
constexpr uint64_t kAttemptPaceMicros = 1000000;
// A bind response must arrive within this long of the connect.
constexpr uint64_t kBindDeadlineMicros = 30 * kMicrosPerSecond;

// Delay before the next attempt, by attempts made since the last connect.
uint64_t backOffMicros(uint64_t attempts) {
  static constexpr uint64_t kSeconds[] = {3, 10, 15, 15, 30};
  const uint64_t seconds = attempts < 5 ? kSeconds[attempts] : 45;
  return seconds * kMicrosPerSecond;
}

// Opens a non-blocking socket and starts connecting it; -1 (errno set) when
// the socket or the connect fails.
int startConnect(const in_addr& host, uint32_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  int on = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr = host;
  // Output leaves in whole batches once per pass; Nagle would only hold a
  // batch back for the SMSC's delayed acknowledgement.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  if (::ioctl(fd, FIONBIO, &on) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 &&
      errno != EINPROGRESS) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

} // namespace

void SMPPUpstream::logConnectionDetails(SMPPSessionClient& session, const char* function,
                                        const char* format) {
  // Every format passed here is a literal with these five conversions.
  logApplication(LOG_INFO, this, kLogClass, function, format, session.targetName().c_str(),
                 static_cast<unsigned long long>(session.smscid()), session.host().c_str(),
                 static_cast<int>(session.port()), session.systemId().c_str());
}

void SMPPUpstream::makeConnections() {
  const uint64_t now = context_.clock.nowMicros();
  if (now < nextPass_ || now < nextConnect_) {
    return;
  }
  // Counted from now: a pass clock left behind (at start, after a stall)
  // would otherwise run a pass on every iteration until it caught up.
  nextPass_ = now + kPassMicros;
  std::vector<BindSlot> due;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    // With every slot connected (or down) no pass is due until one frees.
    nextConnect_ = ~0ULL;
    for (auto& [smscid, slot] : slots_) {
      if (slot.adminDown || slot.sessionActive) {
        continue;
      }
      if (now < slot.nextAttempt) {
        nextConnect_ = std::min(nextConnect_, slot.nextAttempt);
        continue;
      }
      slot.nextAttempt = now + backOffMicros(slot.attempts);
      ++slot.attempts;
      slot.sessionActive = true;
      nextConnect_ = std::min(nextConnect_, slot.nextAttempt);
      nextPass_ += kAttemptPaceMicros;
      due.push_back(slot);
    }
  }
  for (const BindSlot& slot : due) {
    connectSlot(slot);
  }
}

void SMPPUpstream::connectSlot(const BindSlot& slot) {
  auto session = std::make_unique<SMPPSessionClient>(this, slot, context_.clock);
  logConnectionDetails(*session, "makeConnections", "Pre-connecting to %s 0x%llx (%s:%d/%s)");
  in_addr address{};
  if (!HostResolver::numeric(slot.host, address)) {
    // A name: resolved by the resolver's thread, connected when it answers.
    resolver_.resolve(slot.smscid, slot.host);
    resolving_[slot.smscid] = std::move(session);
    return;
  }
  connectResolved(std::move(session), &address, 0);
}

void SMPPUpstream::takeResolutions() {
  resolved_.clear();
  resolver_.takeResults(resolved_);
  for (const HostResolver::Result& result : resolved_) {
    auto pending = resolving_.find(result.key);
    if (pending == resolving_.end()) {
      continue;
    }
    std::unique_ptr<SMPPSessionClient> session = std::move(pending->second);
    resolving_.erase(pending);
    bool wanted = false;
    {
      // The configuration may have changed while the name was resolved.
      std::lock_guard<std::mutex> lock(sessionsMutex_);
      auto slot = slots_.find(result.key);
      if (slot != slots_.end() && slot->second.session == nullptr) {
        wanted = !slot->second.adminDown;
        slot->second.sessionActive = wanted;
        nextConnect_ = 0;
      }
    }
    if (wanted) {
      connectResolved(std::move(session), result.ok ? &result.address : nullptr, result.error);
    }
  }
}

void SMPPUpstream::connectResolved(std::unique_ptr<SMPPSessionClient> session,
                                   const in_addr* address, int resolveError) {
  const uint64_t smscid = session->smscid();
  const int fd = address != nullptr ? startConnect(*address, session->port()) : -1;
  if (fd < 0) {
    const int error = address != nullptr ? errno : resolveError;
    context_.metrics.upstreamBindResult(false);
    logApplication(LOG_INFO, this, kLogClass, "makeConnections",
                   "Unable to connect %s 0x%llx errno=%d (%s:%d/%s)", session->targetName().c_str(),
                   static_cast<unsigned long long>(smscid), error, session->host().c_str(),
                   static_cast<int>(session->port()), session->systemId().c_str());
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    slots_[smscid].sessionActive = false;
    return;
  }
  std::string tlsError;
  const smpp::TlsContext* tls =
      session->tls() ? tlsContext(session->tlsCaFile(), session->tlsVerify(), tlsError) : nullptr;
  if (session->tls() && tls == nullptr) {
    tlsError = "TLS set-up failed: " + tlsError;
  } else if (!session->attachSocket(fd, tls)) {
    tlsError = "TLS set-up failed: " + smpp::TlsContext::takeErrorText("no TLS session");
  }
  if (!tlsError.empty()) {
    ::close(fd);
    context_.metrics.upstreamBindResult(false);
    logApplication(LOG_INFO, this, kLogClass, "makeConnections",
                   "Unable to connect %s 0x%llx (%s:%d/%s): %s", session->targetName().c_str(),
                   static_cast<unsigned long long>(smscid), session->host().c_str(),
                   static_cast<int>(session->port()), session->systemId().c_str(),
                   tlsError.c_str());
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    slots_[smscid].sessionActive = false;
    return;
  }
  session->setConnectionState(kConnectionConnecting);
  context_.metrics.upstreamConnectAttempt();
  logConnectionDetails(*session, "makeConnections", "Connecting to %s 0x%llx (%s:%d/%s)");

  std::lock_guard<std::mutex> lock(sessionsMutex_);
  if (!eventLoop_.add(fd, this)) {
    // Cannot be watched: treated like a failed connect, retried later.
    context_.metrics.upstreamBindResult(false);
    logConnectionDetails(*session, "makeConnections", "Unable to connect %s 0x%llx (%s:%d/%s)");
    slots_[smscid].sessionActive = false;
    return;
  }
  if (descriptors_.size() <= static_cast<size_t>(fd)) {
    descriptors_.resize(static_cast<size_t>(fd) + 1, nullptr);
  }
  descriptors_[static_cast<size_t>(fd)] = session.get();
  session->setWatchedDescriptor(fd);
  // The connect's outcome shows as write readiness; output then flushes
  // through this loop.
  eventLoop_.setWriting(fd, true);
  session->connection().bindLoop(&eventLoop_);
  ++socketCount_;
  slots_[smscid].session = session.get();
  // Counted here, where removal will find the session in the list.
  context_.metrics.upstreamSessionOpened(session->targetName(), session->bindType());
  sessions_.push_back(std::move(session));
}

const smpp::TlsContext* SMPPUpstream::tlsContext(const std::string& caFile, bool verify,
                                                 std::string& error) {
  std::unique_ptr<smpp::TlsContext>& context = tlsContexts_[(verify ? "v:" : "n:") + caFile];
  if (context == nullptr) {
    context = smpp::TlsContext::client(caFile, verify, error);
  }
  return context.get();
}

bool SMPPUpstream::checkAsyncConnect(SMPPSessionClient& session) {
  if (session.handshakeDeadline() != 0) {
    return continueHandshake(session);
  }
  const int fd = session.watchedDescriptor();
  int error = 0;
  socklen_t length = sizeof(error);
  if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return false;
  }
  if (error != 0) {
    closeSession(session);
    session.setConnectionState(kConnectionClosed);
    handleAsyncConnectOutcome(session, false);
    return false;
  }
  sockaddr_storage peer{};
  socklen_t peerLength = sizeof(peer);
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
    return false; // still in progress
  }
  if (session.tlsSocket() != nullptr) {
    // Connected once TLS is, within the handshake's own deadline.
    const uint64_t deadline = context_.clock.nowMicros() + handshakeMicros_;
    session.setHandshakeDeadline(deadline);
    nextSweep_ = std::min(nextSweep_, deadline);
    return continueHandshake(session);
  }
  session.setConnectionState(kConnectionConnected);
  handleAsyncConnectOutcome(session, true);
  return true;
}

bool SMPPUpstream::continueHandshake(SMPPSessionClient& session) {
  smpp::SMPPSocketTls* tls = session.tlsSocket();
  const int fd = session.watchedDescriptor();
  smpp::SMPPSocketTls::Step step = smpp::SMPPSocketTls::Step::kFailed;
  std::string reason = "no TLS session";
  if (tls != nullptr) {
    step = tls->handshake();
    reason = tls->failure();
    if (step != smpp::SMPPSocketTls::Step::kDone && step != smpp::SMPPSocketTls::Step::kFailed &&
        context_.clock.nowMicros() >= session.handshakeDeadline()) {
      step = smpp::SMPPSocketTls::Step::kFailed;
      reason = "the handshake did not complete in time";
    }
  }
  switch (step) {
  case smpp::SMPPSocketTls::Step::kWantRead:
  case smpp::SMPPSocketTls::Step::kWantWrite:
    smpp::SMPPSocketTls::watchFor(eventLoop_, fd, step);
    return false;
  case smpp::SMPPSocketTls::Step::kFailed:
    // A failed connect like any other, with OpenSSL's reason first.
    logApplication(LOG_INFO, this, kLogClass, "handleAsyncConnectOutcome",
                   "TLS handshake failed %s 0x%llx (%s:%d/%s): %s", session.targetName().c_str(),
                   static_cast<unsigned long long>(session.smscid()), session.host().c_str(),
                   static_cast<int>(session.port()), session.systemId().c_str(), reason.c_str());
    closeSession(session);
    session.setConnectionState(kConnectionClosed);
    handleAsyncConnectOutcome(session, false);
    return false;
  case smpp::SMPPSocketTls::Step::kDone:
    break;
  }
  session.setHandshakeDeadline(0);
  smpp::SMPPSocketTls::watchFor(eventLoop_, fd, step);
  logApplication(LOG_INFO, this, kLogClass, "handleAsyncConnectOutcome",
                 "TLS established %s 0x%llx (%s:%d/%s) %s", session.targetName().c_str(),
                 static_cast<unsigned long long>(session.smscid()), session.host().c_str(),
                 static_cast<int>(session.port()), session.systemId().c_str(),
                 tls->description().c_str());
  session.setConnectionState(kConnectionConnected);
  handleAsyncConnectOutcome(session, true);
  return true;
}

void SMPPUpstream::handleAsyncConnectOutcome(SMPPSessionClient& session, bool ok) {
  if (!ok) {
    context_.metrics.upstreamBindResult(false);
    logConnectionDetails(session, "handleAsyncConnectOutcome",
                         "Unable to connect %s 0x%llx (%s:%d/%s)");
    removeSession(session);
    return;
  }
  {
    // The next reconnect of this slot starts the ladder again at 3 s.
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    auto slot = slots_.find(session.smscid());
    if (slot != slots_.end()) {
      slot->second.attempts = 0;
    }
  }
  logConnectionDetails(session, "logConnectionDetails", "Connected %s 0x%llx (%s:%d/%s)");
  initiateBind(session);
}

void SMPPUpstream::initiateBind(SMPPSessionClient& session) {
  logApplication(LOG_INFO, this, kLogClass, "initiateBind", "%s %s 0x%llx (%s:%d/%s)",
                 bindTypeWord(session.bindType()), session.targetName().c_str(),
                 static_cast<unsigned long long>(session.smscid()), session.host().c_str(),
                 static_cast<int>(session.port()), session.systemId().c_str());
  session.setClosingTime(context_.clock.nowMicros() + kBindDeadlineMicros);
  nextSweep_ = 0; // the bind deadline joins the supervision
  if (session.bindState() == smpp::kUnbound && session.sendBind()) {
    session.setBindState(smpp::kBindRequested);
  }
}

void SMPPUpstream::processSessionActivity() {
  if (eventLoop_.poll(waitMillis(context_.clock.nowMicros())) < 0 && errno != EINTR) {
    std::perror("  select() failed.");
  }
}

int SMPPUpstream::waitMillis(uint64_t now) const {
  uint64_t due = nextSweep_;
  if (nextConnect_ != ~0ULL) {
    due = std::min(due, std::max(nextConnect_, nextPass_));
  }
  uint64_t millis = due == ~0ULL ? ~0ULL : due > now ? (due - now + 999) / 1000 : 0;
  if (readinessWaitMillis_ >= 0) {
    millis = std::min<uint64_t>(millis, static_cast<uint64_t>(readinessWaitMillis_));
  }
  return millis > 0x7fffffff ? -1 : static_cast<int>(millis);
}

void SMPPUpstream::onWritable(int fd) {
  SMPPSessionClient* session = static_cast<size_t>(fd) < descriptors_.size()
                                   ? descriptors_[static_cast<size_t>(fd)]
                                   : nullptr;
  if (session == nullptr) {
    return;
  }
  if (session->connectionState() == kConnectionConnecting) {
    // Settles the connect (and may remove the session); a connected one
    // has its bind queued and is flushed by its own request. A handshake
    // sets the write interest it needs itself.
    if (checkAsyncConnect(*session) && session->tlsSocket() == nullptr) {
      eventLoop_.setWriting(fd, false);
    }
    return;
  }
  const smpp::FlushResult result = session->connection().flush();
  if (result == smpp::FlushResult::kFailed) {
    logConnectionDetails(*session, "processSessionActivity", "Session dead %s 0x%llx (%s:%d/%s)");
    closeSession(*session);
    session->setConnectionState(kConnectionClosed);
    removeSession(*session);
    return;
  }
  eventLoop_.setWriting(fd, result == smpp::FlushResult::kPending);
}

void SMPPUpstream::onReadable(int fd) {
  SMPPSessionClient* session = static_cast<size_t>(fd) < descriptors_.size()
                                   ? descriptors_[static_cast<size_t>(fd)]
                                   : nullptr;
  if (session != nullptr && session->handshakeDeadline() != 0) {
    checkAsyncConnect(*session);
    return;
  }
  // A connecting socket is settled by the connect check, not read.
  if (session == nullptr || session->connectionState() != kConnectionConnected) {
    return;
  }
  readSession(*session);
}

void SMPPUpstream::readSession(SMPPSessionClient& session) {
  smpp::SessionConnection& connection = session.connection();
  // One socket read per readiness event, so one busy SMSC cannot hold the
  // loop; what else waits is reported again by the next wait.
  const uint64_t readsBefore = connection.reads();
  while (connection.readPDU(connection.reads() == readsBefore)) {
    const smpp::PDUHeader header = connection.header();
    const bool wasBound = session.bindState() >= smpp::kBoundTransceiver;
    session.noteReceivedPDU(header);
    if (header.command_status == smpp::status::kOk) {
      if (header.command_id == smpp::command::kBindTransmitterResp) {
        session.setBindState(smpp::kBoundTransmitter);
        pool_.setUsable(session.smscid(), true);
      } else if (header.command_id == smpp::command::kBindTransceiverResp) {
        session.setBindState(smpp::kBoundTransceiver);
        pool_.setUsable(session.smscid(), true);
      } else if (header.command_id == smpp::command::kBindReceiverResp) {
        session.setBindState(smpp::kBoundReceiver);
      }
    }
    if (!dispatch(session, header, wasBound)) {
      return; // the session is gone
    }
  }
  if (connection.dead()) {
    logConnectionDetails(session, "processSessionActivity", "Session dead %s 0x%llx (%s:%d/%s)");
    closeSession(session);
    session.setConnectionState(kConnectionClosed);
    removeSession(session);
  }
}

bool SMPPUpstream::dispatch(SMPPSessionClient& session, const smpp::PDUHeader& header,
                            bool wasBound) {
  namespace command = smpp::command;
  switch (header.command_id) {
  case command::kEnquireLink:
    session.sendPDU(header.sequence_number, command::kEnquireLinkResp, smpp::status::kOk, nullptr,
                    0);
    return true;
  case command::kUnbind:
    // The SMSC closes the connection; the session is torn down then.
    session.sendPDU(header.sequence_number, command::kUnbindResp, smpp::status::kOk, nullptr, 0);
    return true;
  case command::kSubmitSMResp:
    processSubmitSMResp(session, header.sequence_number, header.command_status);
    return true;
  case command::kGenericNack:
    // A refused submit is answered at once with the SMSC's reason; a nack
    // of anything else changes nothing here.
    if (auto submit = session.outstandingSubmits().take(header.sequence_number)) {
      failSubmit(session, header.sequence_number, *submit,
                 header.command_status != smpp::status::kOk ? header.command_status
                                                            : smpp::status::kSystemError);
    }
    return true;
  case command::kDeliverSM:
    processDeliverSM(session, header.sequence_number);
    return true;
  case command::kBindReceiverResp:
  case command::kBindTransmitterResp:
  case command::kBindTransceiverResp:
    return handleBindResponse(session, header.command_status, wasBound);
  default:
    return true;
  }
}

bool SMPPUpstream::handleBindResponse(SMPPSessionClient& session, uint32_t status, bool wasBound) {
  session.setClosingTime(0);
  const char* format = status == smpp::status::kOk ? "Bind resp %s 0x%llx (%s:%d/%s) OK (%d)"
                                                   : "Bind resp %s 0x%llx (%s:%d/%s) NAK (%d)";
  logApplication(LOG_INFO, this, kLogClass, "handleBindResponse", format,
                 session.targetName().c_str(), static_cast<unsigned long long>(session.smscid()),
                 session.host().c_str(), static_cast<int>(session.port()),
                 session.systemId().c_str(), static_cast<int>(status));
  context_.metrics.upstreamBindResult(status == smpp::status::kOk);
  if (status != smpp::status::kOk) {
    closeSession(session);
    session.setConnectionState(kConnectionClosed);
    removeSession(session);
    return false;
  }
  // A repeated bind response must not count the session as bound twice.
  if (session.bindState() >= smpp::kBoundTransceiver && !wasBound) {
    context_.metrics.upstreamSessionBound(session.targetName(), session.bindType());
  }
  boundCount_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void SMPPUpstream::closeSession(SMPPSessionClient& session) {
  const int fd = session.watchedDescriptor();
  if (fd >= 0) {
    // Unwatched before the close, so a reused descriptor number is clean.
    eventLoop_.remove(fd);
    if (static_cast<size_t>(fd) < descriptors_.size()) {
      descriptors_[static_cast<size_t>(fd)] = nullptr;
    }
    session.setWatchedDescriptor(-1);
    --socketCount_;
  }
  session.closeConnection();
}

void SMPPUpstream::removeSession(SMPPSessionClient& session) {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  removeUpstreamSession(session);
}

void SMPPUpstream::removeUpstreamSession(SMPPSessionClient& session) {
  closeSession(session);
  const uint64_t smscid = session.smscid();
  auto slot = slots_.find(smscid);
  nextConnect_ = 0; // the slot is free: the next connection pass reconnects it
  if (slot != slots_.end()) {
    slot->second.sessionActive = false;
    if (slot->second.session == &session) {
      pool_.setUsable(smscid, false);
      slot->second.session = nullptr;
      slot->second.nextSequence = session.nextSequenceNumber();
    }
  }
  failOutstandingSubmits(session);
  context_.cdr.cleanupPendingCDRsForSMSC(smscid);
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if (it->get() != &session) {
      continue;
    }
    if (session.bindState() >= smpp::kBoundTransceiver) {
      context_.metrics.upstreamBoundSessionEnded(session.targetName(), session.bindType());
    }
    context_.metrics.upstreamSessionClosed(session.targetName(), session.bindType());
    sessions_.erase(it);
    return;
  }
}

} // namespace quorvex
