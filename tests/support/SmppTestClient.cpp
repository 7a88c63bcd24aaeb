#include "support/SmppTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace quorvex::test {
namespace {

using Clock = std::chrono::steady_clock;

void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<uint8_t>(v >> shift));
  }
}

uint32_t get32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

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
  if (i >= body.size()) {
    return false;
  }
  ++i;
  return true;
}

} // namespace

SmppTestClient::SmppTestClient(uint16_t port, const std::string& sourceAddress, int receiveBuffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return;
  }
  // Before connect, so the window the peer sees is small from the start.
  if (receiveBuffer > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
  }
  if (!sourceAddress.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_aton(sourceAddress.c_str(), &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
      ::close(fd);
      return;
    }
  }
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  remote.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

SmppTestClient::~SmppTestClient() { close(); }

void SmppTestClient::shutdownWrite() {
  if (fd_ >= 0) {
    ::shutdown(fd_, SHUT_WR);
  }
}

void SmppTestClient::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool SmppTestClient::sendRaw(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (fd_ >= 0 && done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return fd_ >= 0;
}

bool SmppTestClient::send(uint32_t commandId, uint32_t sequence, const std::vector<uint8_t>& body,
                          uint32_t status) {
  return sendRaw(frame(commandId, sequence, status, body));
}

bool SmppTestClient::readExact(uint8_t* out, size_t length, Clock::time_point deadline) {
  size_t done = 0;
  while (done < length) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    if (left <= 0) {
      return false;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) {
      continue;
    }
    const ssize_t n = ::recv(fd_, out + done, length - done, 0);
    if (n == 0) {
      peerClosed_ = true;
      return false;
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      peerClosed_ = true;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::optional<Pdu> SmppTestClient::readSocket(Millis timeout) {
  if (fd_ < 0 || peerClosed_) {
    return std::nullopt;
  }
  const auto deadline = Clock::now() + timeout;
  uint8_t header[16];
  if (!readExact(header, sizeof(header), deadline)) {
    return std::nullopt;
  }
  Pdu pdu;
  const uint32_t length = get32(header);
  pdu.commandId = get32(header + 4);
  pdu.status = get32(header + 8);
  pdu.sequence = get32(header + 12);
  if (length < 16) {
    return std::nullopt;
  }
  pdu.body.resize(length - 16);
  if (!pdu.body.empty() && !readExact(pdu.body.data(), pdu.body.size(), deadline)) {
    return std::nullopt;
  }
  return pdu;
}

std::optional<Pdu> SmppTestClient::read(Millis timeout) {
  if (!pending_.empty()) {
    Pdu pdu = std::move(pending_.front());
    pending_.pop_front();
    return pdu;
  }
  return readSocket(timeout);
}

std::optional<Pdu> SmppTestClient::readCommand(uint32_t commandId, Millis timeout) {
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    if (it->commandId == commandId) {
      Pdu pdu = std::move(*it);
      pending_.erase(it);
      return pdu;
    }
  }
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
    if (left.count() <= 0) {
      return std::nullopt;
    }
    std::optional<Pdu> pdu = readSocket(left);
    if (!pdu) {
      return std::nullopt;
    }
    if (pdu->commandId == commandId) {
      return pdu;
    }
    pending_.push_back(std::move(*pdu));
  }
}

bool SmppTestClient::waitClosed(Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!peerClosed_ && Clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
    if (std::optional<Pdu> pdu = readSocket(left)) {
      pending_.push_back(std::move(*pdu));
    }
  }
  return peerClosed_;
}

std::optional<uint32_t> SmppTestClient::bind(uint32_t bindCommandId, const std::string& systemId,
                                             const std::string& password,
                                             uint8_t interfaceVersion) {
  const uint32_t sequence = nextSequence();
  if (!send(bindCommandId, sequence, bindBody(systemId, password, interfaceVersion))) {
    return std::nullopt;
  }
  std::optional<Pdu> response = readCommand(bindCommandId | 0x80000000U);
  if (!response) {
    return std::nullopt;
  }
  return response->status;
}

uint32_t SmppTestClient::submit(const SubmitFields& fields) {
  const uint32_t sequence = nextSequence();
  send(0x00000004, sequence, submitBody(fields));
  return sequence;
}

std::optional<Pdu> SmppTestClient::submitAndWait(const SubmitFields& fields, Millis timeout) {
  const uint32_t sequence = submit(fields);
  std::optional<Pdu> response = readCommand(0x80000004, timeout);
  if (response && response->sequence != sequence) {
    return std::nullopt;
  }
  return response;
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

bool SmppTestClient::enquireLink() { return send(0x00000015, nextSequence()); }

bool SmppTestClient::unbind() { return send(0x00000006, nextSequence()); }

std::vector<uint8_t> SmppTestClient::frame(uint32_t commandId, uint32_t sequence, uint32_t status,
                                           const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out;
  out.reserve(16 + body.size());
  put32(out, static_cast<uint32_t>(16 + body.size()));
  put32(out, commandId);
  put32(out, status);
  put32(out, sequence);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<uint8_t> SmppTestClient::bindBody(const std::string& systemId,
                                              const std::string& password,
                                              uint8_t interfaceVersion) {
  std::vector<uint8_t> body;
  putCString(body, systemId);
  putCString(body, password);
  putCString(body, ""); // system_type
  body.push_back(interfaceVersion);
  body.push_back(0);    // addr_ton
  body.push_back(0);    // addr_npi
  putCString(body, ""); // address_range
  return body;
}

std::vector<uint8_t> SmppTestClient::submitBody(const SubmitFields& fields) {
  std::vector<uint8_t> body;
  putCString(body, ""); // service_type
  body.push_back(1);
  body.push_back(1);
  putCString(body, fields.source);
  body.push_back(1);
  body.push_back(1);
  putCString(body, fields.destination);
  body.push_back(0);    // esm_class
  body.push_back(0);    // protocol_id
  body.push_back(0);    // priority_flag
  putCString(body, ""); // schedule_delivery_time
  putCString(body, ""); // validity_period
  body.push_back(fields.registeredDelivery);
  body.push_back(0); // replace_if_present_flag
  body.push_back(0); // data_coding
  body.push_back(0); // sm_default_msg_id
  body.push_back(static_cast<uint8_t>(fields.text.size()));
  body.insert(body.end(), fields.text.begin(), fields.text.end());
  return body;
}

std::optional<DeliverSM> SmppTestClient::parseDeliverSM(const std::vector<uint8_t>& body) {
  DeliverSM d;
  size_t i = 0;
  std::string ignored;
  auto octet = [&](uint8_t& out) {
    if (i >= body.size()) {
      return false;
    }
    out = body[i++];
    return true;
  };
  uint8_t skip = 0;
  uint8_t smLength = 0;
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
  i += smLength;
  while (i + 4 <= body.size()) {
    const uint16_t tag = static_cast<uint16_t>((body[i] << 8) | body[i + 1]);
    const size_t length = static_cast<size_t>((body[i + 2] << 8) | body[i + 3]);
    i += 4;
    if (i + length > body.size()) {
      return std::nullopt;
    }
    d.tlvs.emplace_back(tag, std::vector<uint8_t>(body.begin() + i, body.begin() + i + length));
    i += length;
  }
  return i == body.size() ? std::optional<DeliverSM>(d) : std::nullopt;
}

std::string DeliverSM::tlv(uint16_t tag) const {
  for (const auto& [t, value] : tlvs) {
    if (t == tag) {
      return std::string(value.begin(), value.end());
    }
  }
  return {};
}

std::string SmppTestClient::cString(const std::vector<uint8_t>& body) {
  size_t i = 0;
  std::string out;
  return takeCString(body, i, out) ? out : std::string();
}

} // namespace quorvex::test
