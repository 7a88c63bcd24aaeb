#include "smpp/SMPPSession.h"

#include <algorithm>
#include <cstdio>

#include "app/Log.h"
#include "smpp/EventLoop.h"

namespace quorvex::smpp {
namespace {

constexpr uint64_t kMicrosPerSecond = 1000000ULL;
// An unanswered enquire_link is followed by unbind after this long.
constexpr uint64_t kEnquireAnswerMicros = 60 * kMicrosPerSecond;
// An unbind sent for silence closes the session after this long.
constexpr uint64_t kUnbindGraceMicros = 5 * kMicrosPerSecond;

} // namespace

SMPPSession::SMPPSession(EntityControlMaster* owner, const Clock& clock)
    : Session(kLogClass), clock_(clock), owner_(owner) {}

// The connection's destructor closes an owned descriptor and frees buffers.
SMPPSession::~SMPPSession() = default;

const char* SMPPSession::bindStateName() const {
  switch (bindState()) {
  case kBoundTransceiver:
    return "TRX";
  case kBoundTransmitter:
    return "TX";
  case kBoundReceiver:
    return "RX";
  default:
    return "-";
  }
}

bool SMPPSession::sendPDU(uint32_t sequenceNumber, uint32_t commandId, uint32_t commandStatus,
                          const uint8_t* body, size_t bodyLength) {
  if (commandId == command::kSubmitSM) {
    const uint64_t now = clock_.nowMicros();
    lastSubmitSent_.store(now, std::memory_order_relaxed);
    submitSM_.record(now);
  } else if (commandId == command::kDeliverSM) {
    const uint64_t now = clock_.nowMicros();
    lastDeliverSent_.store(now, std::memory_order_relaxed);
    deliverSM_.record(now);
  }
  return connection_.sendE(sequenceNumber, commandId, commandStatus, body, bodyLength);
}

bool SMPPSession::sendRequest(uint32_t commandId) {
  return sendPDU(static_cast<uint32_t>(takeSequenceNumber()), commandId, status::kOk, nullptr, 0);
}

void SMPPSession::noteReceivedPDU(const PDUHeader& header) {
  const uint64_t now = clock_.nowMicros();
  if (header.command_id == command::kEnquireLinkResp) {
    enquireSentTime_ = 0;
  } else if (header.command_id == command::kSubmitSMResp) {
    submitSMResp_.record(now);
  }
  lastActivityTime_ = now;
}

void SMPPSession::addOutstandingRequest(uint64_t sequenceNumber, uint64_t sentMicros) {
  std::lock_guard<std::mutex> lock(mutex_);
  outstanding_[sequenceNumber] = sentMicros;
}

void SMPPSession::removeOutstandingRequest(uint64_t sequenceNumber) {
  std::lock_guard<std::mutex> lock(mutex_);
  outstanding_.erase(sequenceNumber);
}

bool SMPPSession::responseMissing(uint64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (outstanding_.empty()) {
    return false;
  }
  const uint64_t timeout = static_cast<uint64_t>(responseTimeout_) * kMicrosPerSecond;
  const uint64_t oldest = outstanding_.begin()->second;
  if (now < timeout || oldest >= now - timeout) {
    return false;
  }
  const uint64_t allowed = now - timeout;
  logApplication(LOG_INFO, this, kLogClass, "isPDUResponseMissing",
                 "oldest=%llu allowed=%llu diff=%llu", static_cast<unsigned long long>(oldest),
                 static_cast<unsigned long long>(allowed),
                 static_cast<unsigned long long>(allowed - oldest));
  for (const auto& [sequence, sent] : outstanding_) {
    logApplication(LOG_INFO, this, kLogClass, "isPDUResponseMissing", "seqno=%llu t=%llu",
                   static_cast<unsigned long long>(sequence),
                   static_cast<unsigned long long>(sent));
  }
  return true;
}

bool SMPPSession::outputStalled() const {
  const uint64_t since = connection_.outputStalledSince();
  const uint64_t timeout = static_cast<uint64_t>(responseTimeout_) * kMicrosPerSecond;
  return since != 0 && EventLoop::monotonicMicros() - since > timeout;
}

uint64_t SMPPSession::nextCheckDelay(uint64_t now) {
  uint64_t due = kNoCheck;
  const auto consider = [&](uint64_t at) { due = std::min(due, at > now ? at - now : 0); };
  const uint64_t timeout = static_cast<uint64_t>(responseTimeout_) * kMicrosPerSecond;
  if (closingTime_ != 0) {
    consider(closingTime_);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!outstanding_.empty()) {
      consider(outstanding_.begin()->second + timeout + 1);
    }
  }
  const uint64_t interval = static_cast<uint64_t>(enquireLinkInterval_) * kMicrosPerSecond;
  if (lastActivityTime_ != 0 && interval != 0) {
    if (enquireSentTime_ == 0) {
      consider(lastActivityTime_ + interval + 1);
    } else if (closingTime_ == 0) {
      consider(std::max(lastActivityTime_ + interval, enquireSentTime_ + kEnquireAnswerMicros) + 1);
    }
  }
  const uint64_t stalled = connection_.outputStalledSince();
  if (stalled != 0) {
    const uint64_t mono = EventLoop::monotonicMicros();
    const uint64_t at = stalled + timeout + 1;
    due = std::min(due, at > mono ? at - mono : 0);
  }
  return due;
}

bool SMPPSession::timedCheck(bool& sweep) {
  const uint64_t now = clock_.nowMicros();
  if (connection_.dead() || connection_.descriptor() == -1) {
    logApplication(LOG_INFO, this, kLogClass, "timedCheck", "Session dead (line:%d)", __LINE__);
    connection_.close();
    return true;
  }
  if (responseMissing(now) || outputStalled()) {
    logApplication(LOG_WARNING, this, kLogClass, "timedCheck",
                   "PDU response not received - closing session (line:%d)", __LINE__);
    return true;
  }
  if (closingTime_ != 0 && now >= closingTime_) {
    logApplication(LOG_INFO, this, kLogClass, "timedCheck", "Due to close (line:%d)", __LINE__);
    return true;
  }
  const uint64_t interval = static_cast<uint64_t>(enquireLinkInterval_) * kMicrosPerSecond;
  if (lastActivityTime_ != 0 && interval != 0 && now > lastActivityTime_ &&
      now - lastActivityTime_ > interval) {
    if (enquireSentTime_ == 0) {
      sendRequest(command::kEnquireLink);
      enquireSentTime_ = now;
      closingTime_ = 0;
    } else if (closingTime_ == 0 && now > enquireSentTime_ &&
               now - enquireSentTime_ > kEnquireAnswerMicros) {
      sendRequest(command::kUnbind);
      closingTime_ = now + kUnbindGraceMicros;
    }
  }
  return periodicCheck(now, sweep);
}

bool SMPPSession::deliver(uint64_t now, bool& sweep, bool& sent) {
  (void)now;
  (void)sweep;
  (void)sent;
  return idle();
}

bool SMPPSession::periodicCheck(uint64_t now, bool& sweep) {
  (void)now;
  (void)sweep;
  return false;
}

void SMPPSession::printStats() {
  logApplication(LOG_INFO, this, kLogClass, "printStats", "%12s SubmitSM count: %d",
                 systemId_.c_str(), static_cast<int>(submitSM_.count.load()));
  logApplication(LOG_INFO, this, kLogClass, "printStats", "%12s DeliverSM count: %d",
                 systemId_.c_str(), static_cast<int>(deliverSM_.count.load()));
  logBufferState();
}

void SMPPSession::logBufferState() {
  const long available = connection_.socketAvailable();
  const int buffered = connection_.bufferedOctets();
  if (available == 0 && buffered == 0) {
    return;
  }
  char hex[16 * 3 + 1] = "";
  const int shown = std::min(buffered, 16);
  const uint8_t* data = connection_.bufferedData();
  for (int i = 0; i < shown; ++i) {
    std::snprintf(hex + i * 3, 4, "%02x ", data[i]);
  }
  logApplication(LOG_FINE, this, kLogClass, "logBufferState",
                 "%d %s:%d/%s bytes_to_read=%ld; buffer_socket_idx=%d; buffer: %s",
                 static_cast<int>(sessionId()), peerIp_.c_str(), peerPort_, systemId_.c_str(),
                 available, buffered, hex);
}

} // namespace quorvex::smpp
