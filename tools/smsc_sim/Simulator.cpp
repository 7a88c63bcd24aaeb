#include "smsc_sim/Simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "app/Log.h"
#include "common/Network.h"
#include "common/StopSignal.h"
#include "smsc_sim/DeliverBodies.h"

namespace quorvex::tools {
namespace {

// Receipts kept while no receiver is bound; beyond this they are dropped.
constexpr size_t kMaxWaitingReceipts = 100000;
// Above this much unsent output a session is not read until it drains.
constexpr size_t kPauseOutputOctets = 8U << 20;
// Longest wait of the loop when idle, so "quit" and signals are seen soon.
constexpr int kIdlePollMillis = 200;
// How long one accepted connection's TLS handshake may hold the simulator.
constexpr int kHandshakeMillis = 2000;

} // namespace

std::string formatCounts(const SimulatorCounts& c, size_t receiptsWaiting) {
  char line[512];
  std::snprintf(
      line, sizeof(line),
      "smsc-sim counts connections=%llu binds=%llu bind_refusals=%llu submits=%llu "
      "data_sm=%llu submit_errors=%llu receipts=%llu receipts_waiting=%zu "
      "receipts_dropped=%llu mo=%llu deliver_resps=%llu unbinds=%llu drops=%llu",
      static_cast<unsigned long long>(c.connections), static_cast<unsigned long long>(c.binds),
      static_cast<unsigned long long>(c.bindRefusals), static_cast<unsigned long long>(c.submits),
      static_cast<unsigned long long>(c.dataSM), static_cast<unsigned long long>(c.submitErrors),
      static_cast<unsigned long long>(c.receipts), receiptsWaiting,
      static_cast<unsigned long long>(c.receiptsDropped), static_cast<unsigned long long>(c.mo),
      static_cast<unsigned long long>(c.deliverResps), static_cast<unsigned long long>(c.unbinds),
      static_cast<unsigned long long>(c.drops));
  return line;
}

Simulator::Simulator(const SimulatorOptions& options)
    : options_(options), nextId_(options.firstId) {}

Simulator::~Simulator() {
  for (auto& [id, session] : sessions_) {
    loop_.remove(session->descriptor());
  }
  sessions_.clear();
  if (listener_ >= 0) {
    ::close(listener_);
  }
}

bool Simulator::start(std::string& error) {
  if (!loop_.valid()) {
    error = "cannot create the event loop";
    return false;
  }
  // Standard input as a control channel when it can be watched (a pipe or a
  // terminal; /dev/null and plain files cannot, and then there is none).
  // Watched before listening, so a closed descriptor 0 reused by the
  // listener is never taken for the control input.
  if (loop_.add(STDIN_FILENO, this)) {
    control_ = std::make_unique<LineReader>(STDIN_FILENO);
  }
  if (options_.tls) {
    tls_ = smpp::TlsContext::server(options_.certFile, options_.keyFile, error);
    if (tls_ == nullptr) {
      return false;
    }
  }
  listener_ = listenTcp(options_.host, options_.port, error);
  if (listener_ < 0) {
    return false;
  }
  if (!loop_.add(listener_, this)) {
    error = "cannot watch the listening socket";
    return false;
  }
  printLine("smsc-sim listening port=" + std::to_string(localPort(listener_)));
  return true;
}

int Simulator::run() {
  while (!quit_ && !stopSignalled()) {
    const int ready = loop_.poll(pollTimeout(nowMicros()));
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "smsc-sim: event loop failed: errno %d\n", errno);
      break;
    }
    fireDueReceipts(nowMicros());
    if (receiverBound_) {
      receiverBound_ = false;
      retryWaitingReceipts();
    }
    flushAll();
    closeFinishedSessions();
  }
  flushAll();
  printLine(formatCounts(counts_, waiting_.size() + scheduled_.size()));
  printLine("smsc-sim stopped");
  return 0;
}

int Simulator::pollTimeout(uint64_t now) const {
  for (const auto& [id, session] : sessions_) {
    if (session->paused || session->pendingOutput() > 0) {
      return 1;
    }
  }
  if (!finished_.empty()) {
    return 0;
  }
  if (!scheduled_.empty()) {
    const uint64_t due = scheduled_.front().dueMicros;
    if (due <= now) {
      return 0;
    }
    const uint64_t millis = (due - now + 999) / 1000;
    return millis < kIdlePollMillis ? static_cast<int>(millis) : kIdlePollMillis;
  }
  return kIdlePollMillis;
}

void Simulator::onReadable(int fd) {
  if (fd == listener_) {
    acceptConnections();
  } else if (control_ && fd == control_->descriptor()) {
    readControl();
  }
}

void Simulator::acceptConnections() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      return;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    char ip[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof(ip));
    std::unique_ptr<smpp::SMPPSocket> stream;
    if (tls_ != nullptr) {
      std::string error;
      stream = handshakeTls(smpp::SMPPSocketTls::accepting(*tls_, fd), kHandshakeMillis, error);
      if (stream == nullptr) {
        printLine("smsc-sim tls refused " + std::string(ip) + ": " + error);
        ::close(fd);
        continue;
      }
    }
    auto session =
        std::make_unique<SimulatorSession>(*this, fd, ip, ntohs(peer.sin_port), std::move(stream));
    if (!loop_.add(fd, session.get())) {
      continue; // the session's destructor closes the descriptor
    }
    ++counts_.connections;
    SimulatorSession& added = *session;
    sessions_[session->sessionId()] = std::move(session);
    // A bind that came with the handshake's last flight is already read
    // into the TLS layer: no readiness event will report it.
    if (added.connection().socket()->holdsInput()) {
      added.onReadable(fd);
    }
  }
}

int Simulator::authorise(SimulatorSession&, const std::string& systemId,
                         const std::string& password, uint32_t bindCommandId) {
  if (options_.refuseBinds || (!options_.password.empty() && password != options_.password)) {
    ++counts_.bindRefusals;
    printLine("smsc-sim bind refused system_id=" + systemId);
    return smpp::kBindRefuse;
  }
  ++counts_.binds;
  const char* type = bindCommandId == smpp::command::kBindTransceiver   ? "TRX"
                     : bindCommandId == smpp::command::kBindTransmitter ? "TX"
                                                                        : "RX";
  if (bindCommandId != smpp::command::kBindTransmitter) {
    receiverBound_ = true;
  }
  printLine("smsc-sim bind system_id=" + systemId + " type=" + type);
  return smpp::kBindAccept;
}

int Simulator::submit(SimulatorSession& session, const smpp::SubmitSMRecord& record,
                      uint32_t commandId, uint32_t sequenceNumber, std::string& messageId,
                      uint32_t& status) {
  ++counts_.submits;
  if (commandId == smpp::command::kDataSM) {
    ++counts_.dataSM;
  }
  const bool drop = options_.dropAfter != 0 && ++session.submitsSeen == options_.dropAfter;
  if (!drop && options_.silent.count(record.destination_addr) != 0) {
    return smpp::kSubmitAnswerLater; // never answered: a window slot held for good
  }
  if (const auto nack = options_.nacks.find(record.destination_addr);
      nack != options_.nacks.end()) {
    ++counts_.submitErrors;
    session.sendPDU(sequenceNumber, smpp::command::kGenericNack, nack->second, nullptr, 0);
    return smpp::kSubmitAnswerLater;
  }
  const auto failure = options_.failures.find(record.destination_addr);
  const bool accepted = failure == options_.failures.end();
  if (accepted) {
    const uint64_t number = nextId_++;
    messageId = formatMessageId(number, options_.idForm);
    const bool wanted = options_.receipts != ReceiptForm::kNone &&
                        (options_.receiptsAlways || (record.registered_delivery & 0x03) != 0);
    if (wanted) {
      PendingReceipt receipt;
      receipt.submitterId = session.sessionId();
      receipt.systemId = session.systemId();
      receipt.body =
          buildReceiptBody(record, formatMessageId(number, options_.receiptIdForm),
                           options_.receiptState, options_.receiptError, options_.receipts);
      if (options_.receiptBeforeResponse) {
        routeReceipt(std::move(receipt), true);
      } else {
        // Fired after this pass, so the response is queued first.
        receipt.dueMicros = nowMicros() + options_.receiptDelayMillis * 1000;
        scheduled_.push_back(std::move(receipt));
      }
    }
  } else {
    ++counts_.submitErrors;
    status = failure->second;
  }
  if (!drop) {
    return accepted ? smpp::kSubmitAccepted : smpp::kSubmitRefused;
  }
  // Answer, then end the connection before any further PDU is read.
  session.handleESMESubmitSMResponse(accepted, commandId, sequenceNumber, messageId, status);
  session.connection().markDead();
  ++counts_.drops;
  return smpp::kSubmitAnswerLater;
}

void Simulator::deliverResponded(SimulatorSession&, uint32_t) { ++counts_.deliverResps; }

void Simulator::unbound(SimulatorSession&) { ++counts_.unbinds; }

void Simulator::finished(SimulatorSession& session) { finished_.push_back(session.sessionId()); }

SimulatorSession* Simulator::receiverFor(const std::string& systemId, uint64_t submitterId) {
  SimulatorSession* submitter = nullptr;
  std::vector<SimulatorSession*> others;
  for (auto& [id, session] : sessions_) {
    if (!session->canReceive() || session->systemId() != systemId) {
      continue;
    }
    if (id == submitterId) {
      submitter = session.get();
    } else {
      others.push_back(session.get());
    }
  }
  SimulatorSession* other = others.empty() ? nullptr : others[roundRobin_++ % others.size()];
  if (options_.receiptOnOtherBind) {
    return other != nullptr ? other : submitter;
  }
  return submitter != nullptr ? submitter : other;
}

void Simulator::routeReceipt(PendingReceipt&& receipt, bool flushNow) {
  SimulatorSession* receiver = receiverFor(receipt.systemId, receipt.submitterId);
  if (receiver == nullptr) {
    if (waiting_.size() >= kMaxWaitingReceipts) {
      ++counts_.receiptsDropped;
      return;
    }
    waiting_.push_back(std::move(receipt));
    return;
  }
  if (receiver->sendDeliver(receipt.body)) {
    ++counts_.receipts;
  }
  if (flushNow) {
    receiver->flush();
  }
}

void Simulator::fireDueReceipts(uint64_t now) {
  while (!scheduled_.empty() && scheduled_.front().dueMicros <= now) {
    PendingReceipt receipt = std::move(scheduled_.front());
    scheduled_.pop_front();
    routeReceipt(std::move(receipt), false);
  }
}

void Simulator::retryWaitingReceipts() {
  std::deque<PendingReceipt> retry;
  retry.swap(waiting_);
  for (auto& receipt : retry) {
    routeReceipt(std::move(receipt), false);
  }
}

void Simulator::flushAll() {
  for (auto& [id, session] : sessions_) {
    if (session->pendingOutput() == 0) {
      continue;
    }
    if (!session->flush()) {
      session->connection().markDead();
      finished_.push_back(id);
      continue;
    }
    // A peer that does not read its responses is not read either.
    const size_t pending = session->pendingOutput();
    if (!session->paused && pending > kPauseOutputOctets) {
      loop_.remove(session->descriptor());
      session->paused = true;
    } else if (session->paused && pending < kPauseOutputOctets / 2) {
      loop_.add(session->descriptor(), session.get());
      session->paused = false;
    }
  }
}

void Simulator::closeFinishedSessions() {
  for (const uint64_t id : finished_) {
    auto found = sessions_.find(id);
    if (found == sessions_.end()) {
      continue;
    }
    SimulatorSession& session = *found->second;
    // Best effort: what the kernel takes now (a dropped connection's last
    // response), then the close.
    session.flush();
    loop_.remove(session.descriptor());
    session.closeConnection();
    sessions_.erase(found);
  }
  finished_.clear();
}

void Simulator::readControl() {
  std::vector<std::string> lines;
  if (!control_->readLines(lines)) {
    // End of input: no more commands, but keep serving.
    loop_.remove(control_->descriptor());
  }
  for (const std::string& line : lines) {
    handleCommand(line);
  }
}

void Simulator::handleCommand(const std::string& line) {
  const std::vector<std::string> parts = splitCommand(line, 3);
  if (parts.empty()) {
    return;
  }
  if (parts[0] == "mo" || parts[0] == "mo-ucs2") {
    sendMO(parts, parts[0] == "mo-ucs2");
  } else if (parts[0] == "stats") {
    printLine(formatCounts(counts_, waiting_.size() + scheduled_.size()));
  } else if (parts[0] == "quit") {
    quit_ = true;
  } else {
    printLine("smsc-sim unknown command: " + parts[0]);
  }
}

void Simulator::sendMO(const std::vector<std::string>& parts, bool ucs2) {
  if (parts.size() < 4) {
    printLine("smsc-sim mo failed: usage " + parts[0] + " SRC DST TEXT");
    return;
  }
  std::vector<uint8_t> message(parts[3].begin(), parts[3].end());
  if (ucs2 && !utf8ToUcs2(parts[3], message)) {
    printLine("smsc-sim mo failed: text is not valid UTF-8");
    return;
  }
  std::vector<uint8_t> body;
  if (!buildMOBody(parts[1], parts[2], message, ucs2 ? kDataCodingUcs2 : 0, body)) {
    printLine("smsc-sim mo failed: address over 20 or message over 254 octets");
    return;
  }
  std::vector<SimulatorSession*> receivers;
  for (auto& [id, session] : sessions_) {
    if (session->canReceive()) {
      receivers.push_back(session.get());
    }
  }
  if (receivers.empty()) {
    printLine("smsc-sim mo failed: no receiver bound");
    return;
  }
  SimulatorSession* receiver = receivers[roundRobin_++ % receivers.size()];
  if (!receiver->sendDeliver(body)) {
    printLine("smsc-sim mo failed: send error");
    return;
  }
  ++counts_.mo;
  receiver->flush();
  printLine("smsc-sim mo sent session=" + std::to_string(receiver->sessionId()) +
            " system_id=" + receiver->systemId());
}

void Simulator::printLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

} // namespace quorvex::tools
