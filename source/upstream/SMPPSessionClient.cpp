#include "upstream/SMPPSessionClient.h"

#include <algorithm>

#include <memory>

#include "app/Log.h"
#include "smpp/CString.h"
#include "smpp/SMPPSocketUnencrypted.h"

namespace quorvex {
namespace {

constexpr uint64_t kMicrosPerSecond = 1000000ULL;

uint32_t bindCommandOf(int bindType) {
  switch (bindType) {
  case kBindRX:
    return smpp::command::kBindReceiver;
  case kBindTX:
    return smpp::command::kBindTransmitter;
  default:
    return smpp::command::kBindTransceiver;
  }
}

} // namespace

SMPPSessionClient::SMPPSessionClient(smpp::EntityControlMaster* owner, const BindSlot& slot,
                                     const smpp::Clock& clock)
    : SMPPSession(owner, clock), smscid_(slot.smscid), targetName_(slot.targetName),
      host_(slot.host), port_(slot.port), password_(slot.password), systemType_(slot.systemType),
      bindType_(slot.bindType), tls_(slot.tls), tlsVerify_(slot.tlsVerify),
      tlsCaFile_(slot.tlsCaFile) {
  setSystemId(slot.systemId);
  setInterfaceVersion(slot.interfaceVersion);
  setEnquireLinkInterval(slot.enquireLinkInterval);
  setResponseTimeout(slot.responseTimeout);
  setPeer(slot.host, static_cast<int>(slot.port));
  setNextSequenceNumber(slot.nextSequence);
}

SMPPSessionClient::~SMPPSessionClient() = default;

bool SMPPSessionClient::attachSocket(int descriptor, const smpp::TlsContext* tls) {
  std::unique_ptr<smpp::SMPPSocket> socket;
  if (tls != nullptr) {
    socket = smpp::SMPPSocketTls::connecting(*tls, descriptor, host_);
  } else {
    socket = std::make_unique<smpp::SMPPSocketUnencrypted>(descriptor);
  }
  if (socket == nullptr) {
    return false; // never plain in place of TLS
  }
  connection().attach(std::move(socket), descriptor, true);
  return true;
}

smpp::SMPPSocketTls* SMPPSessionClient::tlsSocket() {
  return tls_ ? dynamic_cast<smpp::SMPPSocketTls*>(connection().socket()) : nullptr;
}

bool SMPPSessionClient::sendBind() {
  uint8_t body[smpp::limit::kSystemId + smpp::limit::kPassword + smpp::limit::kSystemType + 8];
  size_t length = 0;
  // Over-long credentials are cut to their SMPP limits rather than refused.
  auto cut = [](const std::string& s, size_t limit) {
    return std::string_view(s).substr(0, limit - 1);
  };
  smpp::appendCString(body, sizeof(body), length, cut(systemId(), smpp::limit::kSystemId));
  smpp::appendCString(body, sizeof(body), length, cut(password_, smpp::limit::kPassword));
  smpp::appendCString(body, sizeof(body), length, cut(systemType_, smpp::limit::kSystemType));
  body[length++] = interfaceVersion();
  body[length++] = 0; // addr_ton
  body[length++] = 0; // addr_npi
  body[length++] = 0; // address_range, empty
  return sendPDU(static_cast<uint32_t>(takeSequenceNumber()), bindCommandOf(bindType_),
                 smpp::status::kOk, body, length);
}

bool SMPPSessionClient::tpsWindowAdmits(uint64_t now, uint32_t limit) {
  const bool inWindow = now >= windowStart_ && now - windowStart_ <= kMicrosPerSecond;
  if (inWindow) {
    return submitsInWindow_ < limit;
  }
  submitsInWindow_ = 0;
  windowStart_ = now;
  return true;
}

uint64_t SMPPSessionClient::nextCheckDelay(uint64_t now) {
  uint64_t due = SMPPSession::nextCheckDelay(now);
  const uint64_t oldest = outstanding_.oldestSent();
  if (oldest != 0) {
    const uint64_t at = oldest + static_cast<uint64_t>(responseTimeout()) * kMicrosPerSecond + 1;
    due = std::min(due, at > now ? at - now : 0);
  }
  return due;
}

bool SMPPSessionClient::periodicCheck(uint64_t now, bool& sweep) {
  (void)sweep;
  const uint64_t timeout = static_cast<uint64_t>(responseTimeout()) * kMicrosPerSecond;
  const uint64_t oldest = outstanding_.oldestSent();
  if (oldest == 0 || now < timeout || oldest >= now - timeout) {
    return false;
  }
  const uint64_t allowed = now - timeout;
  logApplication(LOG_INFO, this, kLogClass, "isPDUResponseMissing",
                 "oldest=%llu allowed=%llu diff=%llu", static_cast<unsigned long long>(oldest),
                 static_cast<unsigned long long>(allowed),
                 static_cast<unsigned long long>(allowed - oldest));
  outstanding_.forEach([this](uint32_t sequence, uint64_t sent) {
    logApplication(LOG_INFO, this, kLogClass, "isPDUResponseMissing", "seqno=%llu t=%llu",
                   static_cast<unsigned long long>(sequence),
                   static_cast<unsigned long long>(sent));
  });
  logApplication(LOG_WARNING, this, kLogClass, "timedCheck",
                 "PDU response not received - closing session (line:%d)", __LINE__);
  return true;
}

} // namespace quorvex
