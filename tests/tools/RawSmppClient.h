// A minimal blocking SMPP client for the tool tests: it sees what the load
// generator summarises away (PDU order, ids, receipt layouts, MO coding).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "smpp/PDUHeader.h"
#include "smpp/SubmitSMRecord.h"

namespace quorvex::tools::test {

struct RawPdu {
  smpp::PDUHeader header;    // as received
  std::vector<uint8_t> body; // command_length - 16 octets
};

// The fields of a received deliver_sm.
struct DeliverFields {
  std::string source;                // source_addr
  std::string destination;           // destination_addr
  uint8_t esmClass = 0;              // 0x04 for receipts
  uint8_t dataCoding = 0;            // 8 for UCS-2
  std::vector<uint8_t> shortMessage; // sm_length octets
  std::vector<smpp::TLV> tlvs;       // optional parameters
};

class RawSmppClient {
public:
  explicit RawSmppClient(uint16_t port);
  ~RawSmppClient();
  RawSmppClient(const RawSmppClient&) = delete;
  RawSmppClient& operator=(const RawSmppClient&) = delete;

  void send(uint32_t commandId, uint32_t sequence, const std::vector<uint8_t>& body = {});
  // The next PDU; false when none arrives within `timeoutMillis` or the
  // peer closed the connection (then closed() is true).
  bool receive(RawPdu& pdu, int timeoutMillis = 10000);
  bool closed() const { return closed_; }

  // Sends a bind and returns the response's command_status (or -1).
  int64_t bind(uint32_t bindCommandId, const std::string& systemId = "esme",
               const std::string& password = "pw");
  // A submit_sm from 111 to `destination`.
  void submit(uint32_t sequence, const std::string& destination, uint8_t registeredDelivery,
              const std::string& text = "hello");
  // The next PDU that is not a deliver_sm is expected to answer
  // `sequence`; deliver_sm met on the way are answered and kept in
  // `delivers`.
  bool receiveResponse(uint32_t sequence, RawPdu& response);
  // The next deliver_sm, answered with deliver_sm_resp.
  bool receiveDeliver(DeliverFields& fields, int timeoutMillis = 10000);

  std::vector<DeliverFields> delivers; // deliver_sm seen by receiveResponse

private:
  int fd_ = -1;                 // connected socket
  bool closed_ = false;         // the peer closed the connection
  std::vector<uint8_t> buffer_; // received octets not yet returned
};

// The submit_sm body of RawSmppClient::submit.
std::vector<uint8_t> submitBody(const std::string& destination, uint8_t registeredDelivery,
                                const std::string& text);
// Decodes a deliver_sm body; false when it is malformed.
bool decodeDeliver(const std::vector<uint8_t>& body, DeliverFields& out);
// The message id of a submit_sm_resp body.
std::string responseMessageId(const RawPdu& response);

} // namespace quorvex::tools::test
