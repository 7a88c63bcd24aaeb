#include "tools/RawSmppClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "smpp/CString.h"
#include "smpp/SMPPConstants.h"
#include "smpp/TLV.h"

namespace quorvex::tools::test {
namespace {

void putCString(std::vector<uint8_t>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

} // namespace

RawSmppClient::RawSmppClient(uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    throw std::runtime_error("cannot connect to the simulator");
  }
}

RawSmppClient::~RawSmppClient() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

void RawSmppClient::send(uint32_t commandId, uint32_t sequence, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> frame(16 + body.size());
  smpp::PDUHeader{static_cast<uint32_t>(frame.size()), commandId, 0, sequence}.encode(frame.data());
  std::copy(body.begin(), body.end(), frame.begin() + 16);
  if (::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
    throw std::runtime_error("send failed");
  }
}

bool RawSmppClient::receive(RawPdu& pdu, int timeoutMillis) {
  for (;;) {
    if (buffer_.size() >= 16) {
      const smpp::PDUHeader header = smpp::PDUHeader::decode(buffer_.data());
      if (header.command_length >= 16 && buffer_.size() >= header.command_length) {
        pdu.header = header;
        pdu.body.assign(buffer_.begin() + 16, buffer_.begin() + header.command_length);
        buffer_.erase(buffer_.begin(), buffer_.begin() + header.command_length);
        return true;
      }
    }
    pollfd waiting{fd_, POLLIN, 0};
    if (closed_ || ::poll(&waiting, 1, timeoutMillis) <= 0) {
      return false;
    }
    uint8_t chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffer_.insert(buffer_.end(), chunk, chunk + n);
  }
}

int64_t RawSmppClient::bind(uint32_t bindCommandId, const std::string& systemId,
                            const std::string& password) {
  std::vector<uint8_t> body;
  putCString(body, systemId);
  putCString(body, password);
  putCString(body, "");
  body.insert(body.end(), {0x34, 0, 0, 0});
  send(bindCommandId, 1, body);
  RawPdu response;
  if (!receive(response) || response.header.command_id != (bindCommandId | smpp::kResponseBit)) {
    return -1;
  }
  return response.header.command_status;
}

std::vector<uint8_t> submitBody(const std::string& destination, uint8_t registeredDelivery,
                                const std::string& text) {
  std::vector<uint8_t> body;
  putCString(body, "");
  body.insert(body.end(), {1, 1});
  putCString(body, "111");
  body.insert(body.end(), {1, 1});
  putCString(body, destination);
  body.insert(body.end(), {0, 0, 0});
  putCString(body, "");
  putCString(body, "");
  body.insert(body.end(), {registeredDelivery, 0, 0, 0, static_cast<uint8_t>(text.size())});
  body.insert(body.end(), text.begin(), text.end());
  return body;
}

void RawSmppClient::submit(uint32_t sequence, const std::string& destination,
                           uint8_t registeredDelivery, const std::string& text) {
  send(smpp::command::kSubmitSM, sequence, submitBody(destination, registeredDelivery, text));
}

bool RawSmppClient::receiveResponse(uint32_t sequence, RawPdu& response) {
  while (receive(response)) {
    if (response.header.command_id == smpp::command::kDeliverSM) {
      DeliverFields fields;
      decodeDeliver(response.body, fields);
      delivers.push_back(std::move(fields));
      send(smpp::command::kDeliverSMResp, response.header.sequence_number, {0});
      continue;
    }
    return response.header.sequence_number == sequence;
  }
  return false;
}

bool RawSmppClient::receiveDeliver(DeliverFields& fields, int timeoutMillis) {
  RawPdu pdu;
  if (!receive(pdu, timeoutMillis) || pdu.header.command_id != smpp::command::kDeliverSM) {
    return false;
  }
  send(smpp::command::kDeliverSMResp, pdu.header.sequence_number, {0});
  return decodeDeliver(pdu.body, fields);
}

bool decodeDeliver(const std::vector<uint8_t>& body, DeliverFields& out) {
  const uint8_t* data = body.data();
  const size_t length = body.size();
  size_t i = 0;
  std::string ignored;
  auto octet = [&](uint8_t& value) {
    if (i >= length) {
      return false;
    }
    value = data[i++];
    return true;
  };
  uint8_t skip = 0;
  uint8_t smLength = 0;
  if (!smpp::readCString(data, length, i, ignored, 6) || !octet(skip) || !octet(skip) ||
      !smpp::readCString(data, length, i, out.source, 21) || !octet(skip) || !octet(skip) ||
      !smpp::readCString(data, length, i, out.destination, 21) || !octet(out.esmClass) ||
      !octet(skip) || !octet(skip) || !smpp::readCString(data, length, i, ignored, 17) ||
      !smpp::readCString(data, length, i, ignored, 17) || !octet(skip) || !octet(skip) ||
      !octet(out.dataCoding) || !octet(skip) || !octet(smLength) || i + smLength > length) {
    return false;
  }
  out.shortMessage.assign(data + i, data + i + smLength);
  i += smLength;
  return smpp::parseTLVs(data + i, length - i, out.tlvs);
}

std::string responseMessageId(const RawPdu& response) {
  size_t i = 0;
  std::string id;
  smpp::readCString(response.body.data(), response.body.size(), i, id, 65);
  return id;
}

} // namespace quorvex::tools::test
