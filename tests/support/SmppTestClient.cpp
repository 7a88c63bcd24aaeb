#include "support/SmppTestClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "smpp/PDUHeader.h"
#include "support/TestProcess.h"

namespace quorvex::test {
namespace {

using Clock = std::chrono::steady_clock;

void putCString(std::vector<uint8_t>& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
  out.push_back(0);
}

// Reads a C-octet string at `i`; false when the body ends first.
bool takeCString(const std::vector<uint8_t>& body, size_t& i, std::string& out) {
  out.clear();
  while (i < body.size() && body[i] != 0) {
    out.push_back(static_cast<char>(body[i++]));
  }
  return i++ < body.size();
}

} // namespace

SmppTestClient::SmppTestClient(uint16_t port, const std::string& sourceAddress, int receiveBuffer)
    : fd_(connectLoopback(port, sourceAddress, receiveBuffer)) {}

void SmppTestClient::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

void SmppTestClient::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool SmppTestClient::sendRaw(const std::vector<uint8_t>& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0 && errno != EINTR) {
      return false;
    }
    done += n > 0 ? static_cast<size_t>(n) : 0;
  }
  return fd_ >= 0;
}

bool SmppTestClient::send(uint32_t commandId, uint32_t sequence, const std::vector<uint8_t>& body,
                          uint32_t status) {
  return sendRaw(frame(commandId, sequence, status, body));
}

bool SmppTestClient::readExact(uint8_t* out, size_t length, Clock::time_point deadline) {
  for (size_t done = 0; done < length;) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    if (left <= 0) {
      return false;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) {
      continue;
    }
    const ssize_t n = ::recv(fd_, out + done, length - done, 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
      peerClosed_ = true;
      return false;
    }
    done += n > 0 ? static_cast<size_t>(n) : 0;
  }
  return true;
}

std::optional<Pdu> SmppTestClient::readSocket(Clock::time_point deadline) {
  uint8_t header[16];
  if (fd_ < 0 || peerClosed_ || !readExact(header, sizeof(header), deadline)) {
    return std::nullopt;
  }
  const smpp::PDUHeader h = smpp::PDUHeader::decode(header);
  Pdu pdu{h.command_id, h.command_status, h.sequence_number, {}};
  if (h.command_length < 16) {
    return std::nullopt;
  }
  pdu.body.resize(h.command_length - 16);
  if (!pdu.body.empty() && !readExact(pdu.body.data(), pdu.body.size(), deadline)) {
    return std::nullopt;
  }
  return pdu;
}

std::optional<Pdu> SmppTestClient::readCommand(uint32_t commandId, Millis timeout) {
  const auto wanted = [commandId](const Pdu& p) {
    return commandId == 0 || p.commandId == commandId;
  };
  if (const auto it = std::ranges::find_if(pending_, wanted); it != pending_.end()) {
    Pdu pdu = std::move(*it);
    pending_.erase(it);
    return pdu;
  }
  const auto deadline = Clock::now() + timeout;
  while (std::optional<Pdu> pdu = readSocket(deadline)) {
    if (wanted(*pdu)) {
      return pdu;
    }
    pending_.push_back(std::move(*pdu));
  }
  return std::nullopt;
}

bool SmppTestClient::waitClosed(Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!peerClosed_ && Clock::now() < deadline) {
    if (std::optional<Pdu> pdu = readSocket(deadline)) {
      pending_.push_back(std::move(*pdu));
    }
  }
  return peerClosed_;
}

std::optional<uint32_t> SmppTestClient::bind(uint32_t bindCommandId, const std::string& systemId,
                                             const std::string& password,
                                             uint8_t interfaceVersion) {
  const std::optional<Pdu> response =
      request(bindCommandId, bindBody(systemId, password, interfaceVersion));
  return response ? std::optional(response->status) : std::nullopt;
}

std::optional<Pdu> SmppTestClient::request(uint32_t commandId, const std::vector<uint8_t>& body,
                                           Millis timeout) {
  const uint32_t sequence = nextSequence();
  std::optional<Pdu> response = send(commandId, sequence, body)
                                    ? readCommand(commandId | 0x80000000U, timeout)
                                    : std::nullopt;
  return response && response->sequence == sequence ? response : std::nullopt;
}

bool SmppTestClient::deliverSMResp(uint32_t sequence, uint32_t status) {
  return send(0x80000005, sequence, {0}, status);
}

std::optional<DeliverSM> SmppTestClient::readDeliver(Millis timeout) {
  const std::optional<Pdu> pdu = readCommand(0x00000005, timeout);
  if (!pdu) {
    return std::nullopt;
  }
  deliverSMResp(pdu->sequence);
  return parseDeliverSM(pdu->body);
}

std::vector<uint8_t> SmppTestClient::frame(uint32_t commandId, uint32_t sequence, uint32_t status,
                                           const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out(16);
  smpp::PDUHeader{static_cast<uint32_t>(16 + body.size()), commandId, status, sequence}.encode(
      out.data());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<uint8_t> SmppTestClient::bindBody(const std::string& systemId,
                                              const std::string& password,
                                              uint8_t interfaceVersion) {
  std::vector<uint8_t> body;
  putCString(body, systemId);
  putCString(body, password);
  // system_type, interface_version, addr_ton, addr_npi, address_range
  body.insert(body.end(), {0, interfaceVersion, 0, 0, 0});
  return body;
}

std::vector<uint8_t> SmppTestClient::submitBody(const SubmitFields& fields) {
  std::vector<uint8_t> body{0, 1, 1}; // service_type, source TON and NPI
  putCString(body, fields.source);
  body.insert(body.end(), {1, 1});
  putCString(body, fields.destination);
  // esm_class, protocol_id, priority_flag, the two times, registered_delivery,
  // replace_if_present_flag, data_coding, sm_default_msg_id, sm_length
  body.insert(body.end(), {0, 0, 0, 0, 0, fields.registeredDelivery, 0, 0, 0,
                           static_cast<uint8_t>(fields.text.size())});
  body.insert(body.end(), fields.text.begin(), fields.text.end());
  return body;
}

std::vector<uint8_t> SmppTestClient::submits(uint32_t first, int count,
                                             const SubmitFields& fields) {
  std::vector<uint8_t> out;
  for (int i = 0; i < count; ++i) {
    append(out, frame(0x00000004, first + i, 0, submitBody(fields)));
  }
  return out;
}

std::optional<DeliverSM> SmppTestClient::parseDeliverSM(const std::vector<uint8_t>& body) {
  DeliverSM d;
  size_t i = 0;
  std::string ignored;
  uint8_t skip = 0;
  uint8_t smLength = 0;
  auto octet = [&](uint8_t& out) { return i < body.size() && ((out = body[i++]), true); };
  if (!takeCString(body, i, ignored) || !octet(d.sourceTon) || !octet(d.sourceNpi) ||
      !takeCString(body, i, d.source) || !octet(d.destinationTon) || !octet(d.destinationNpi) ||
      !takeCString(body, i, d.destination) || !octet(d.esmClass) || !octet(skip) || !octet(skip) ||
      !takeCString(body, i, ignored) || !takeCString(body, i, ignored) || !octet(skip) ||
      !octet(skip) || !octet(d.dataCoding) || !octet(skip) || !octet(smLength) ||
      i + smLength > body.size()) {
    return std::nullopt;
  }
  d.shortMessage.assign(body.begin() + i, body.begin() + i + smLength);
  if (!d.shortMessage.empty() && d.shortMessage.back() == '\0') {
    d.shortMessage.pop_back();
  }
  for (i += smLength; i + 4 <= body.size();) {
    const size_t length = smpp::readU16(&body[i + 2]);
    if (i + 4 + length > body.size()) {
      return std::nullopt;
    }
    d.tlvs.emplace_back(smpp::readU16(&body[i]),
                        std::vector<uint8_t>(body.begin() + i + 4, body.begin() + i + 4 + length));
    i += 4 + length;
  }
  return i == body.size() ? std::optional<DeliverSM>(d) : std::nullopt;
}

std::string DeliverSM::tlv(uint16_t tag) const {
  const auto it = std::ranges::find(tlvs, tag, [](const auto& t) { return t.first; });
  return it == tlvs.end() ? std::string() : std::string(it->second.begin(), it->second.end());
}

std::string SmppTestClient::cString(const std::vector<uint8_t>& body) {
  const auto end = std::ranges::find(body, 0);
  return end == body.end() ? std::string() : std::string(body.begin(), end);
}

} // namespace quorvex::test
