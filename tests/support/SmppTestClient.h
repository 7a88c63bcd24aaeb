// A small blocking SMPP client for tests that talk to a running gateway over
// loopback: it frames and reads PDUs and encodes the requests an ESME sends.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace quorvex::test {

// One PDU as read from the wire.
struct Pdu {
  uint32_t commandId = 0;    // command_id
  uint32_t status = 0;       // command_status
  uint32_t sequence = 0;     // sequence_number
  std::vector<uint8_t> body; // octets after the 16-octet header
};

// The fields of a submit_sm the tests vary.
struct SubmitFields {
  std::string source = "447700900001";      // source_addr
  std::string destination = "447700900123"; // destination_addr
  uint8_t registeredDelivery = 0;           // receipt request
  std::string text = "hello";               // short_message
};

// A decoded deliver_sm body.
struct DeliverSM {
  uint8_t sourceTon = 0;      // source_addr_ton
  uint8_t sourceNpi = 0;      // source_addr_npi
  std::string source;         // source_addr
  uint8_t destinationTon = 0; // dest_addr_ton
  uint8_t destinationNpi = 0; // dest_addr_npi
  std::string destination;    // destination_addr
  uint8_t esmClass = 0;       // esm_class
  uint8_t dataCoding = 0;     // data_coding (8 = UCS-2)
  std::string shortMessage;   // short_message without its trailing NUL
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> tlvs; // tag, value

  // The value of TLV `tag` as octets, empty if absent.
  std::string tlv(uint16_t tag) const;
};

class SmppTestClient {
public:
  using Millis = std::chrono::milliseconds;

  // Connects to 127.0.0.1:`port`, from `sourceAddress` (any 127.x.y.z) when
  // given, with a receive buffer of `receiveBuffer` octets when positive.
  explicit SmppTestClient(uint16_t port, const std::string& sourceAddress = "",
                          int receiveBuffer = 0);
  ~SmppTestClient() { close(); }
  SmppTestClient(const SmppTestClient&) = delete;
  SmppTestClient& operator=(const SmppTestClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  void close();
  // Ends the sending direction; responses can still be read.
  void shutdownWrite();

  bool sendRaw(const std::vector<uint8_t>& bytes);
  bool send(uint32_t commandId, uint32_t sequence, const std::vector<uint8_t>& body = {},
            uint32_t status = 0);
  uint32_t nextSequence() { return sequence_++; }

  // The next PDU, or nothing on timeout or when the peer closed.
  std::optional<Pdu> read(Millis timeout = Millis(5000)) { return readCommand(0, timeout); }
  // The next PDU with `commandId` (0: any); others read meanwhile stay queued.
  std::optional<Pdu> readCommand(uint32_t commandId, Millis timeout = Millis(5000));
  // True once the gateway has closed the connection (within `timeout`).
  bool waitClosed(Millis timeout);

  // Binds and returns the response status; nullopt without a response.
  std::optional<uint32_t> bind(uint32_t bindCommandId, const std::string& systemId,
                               const std::string& password, uint8_t interfaceVersion = 0x34);
  // Sends a `commandId` request and reads the next response of its kind;
  // nothing when none came or it answers another sequence number.
  std::optional<Pdu> request(uint32_t commandId, const std::vector<uint8_t>& body,
                             Millis timeout = Millis(5000));
  std::optional<Pdu> submitAndWait(const SubmitFields& fields, Millis timeout = Millis(5000)) {
    return request(0x00000004, submitBody(fields), timeout);
  }
  bool deliverSMResp(uint32_t sequence, uint32_t status = 0);
  // The next deliver_sm, acknowledged and decoded; nothing on timeout.
  std::optional<DeliverSM> readDeliver(Millis timeout = Millis(5000));

  static std::vector<uint8_t> frame(uint32_t commandId, uint32_t sequence, uint32_t status,
                                    const std::vector<uint8_t>& body);
  static std::vector<uint8_t> bindBody(const std::string& systemId, const std::string& password,
                                       uint8_t interfaceVersion);
  static std::vector<uint8_t> submitBody(const SubmitFields& fields);
  // `count` submit_sm frames numbered from `first`, for one write.
  static std::vector<uint8_t> submits(uint32_t first, int count, const SubmitFields& fields = {});
  static void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more) {
    out.insert(out.end(), more.begin(), more.end());
  }
  static std::optional<DeliverSM> parseDeliverSM(const std::vector<uint8_t>& body);
  // The C-octet string at the start of a body (a response's message_id).
  static std::string cString(const std::vector<uint8_t>& body);
  // The message id of an accepted response, empty otherwise.
  static std::string acceptedId(const std::optional<Pdu>& response) {
    return response && response->status == 0 ? cString(response->body) : std::string();
  }
  // The status of a response, 0xFFFFFFFF without one.
  static uint32_t statusOf(const std::optional<Pdu>& response) {
    return response ? response->status : 0xFFFFFFFFu;
  }

private:
  // Reads one PDU from the socket (not from the queue).
  std::optional<Pdu> readSocket(std::chrono::steady_clock::time_point deadline);
  bool readExact(uint8_t* out, size_t length, std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;             // connected socket, -1 = closed
  uint32_t sequence_ = 1;   // next request sequence number
  bool peerClosed_ = false; // the gateway closed its side
  std::deque<Pdu> pending_; // PDUs read while waiting for another command
};

} // namespace quorvex::test
