// A deliver_sm body read in place: views into the body, no copies, so that
// decoding an upstream delivery costs no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "smpp/PDUHeader.h"

namespace quorvex {

struct DeliverSMView {
  std::string_view serviceType;          // service_type
  uint8_t sourceTon = 0;                 // source_addr_ton
  uint8_t sourceNpi = 0;                 // source_addr_npi
  std::string_view sourceAddr;           // source_addr
  uint8_t destTon = 0;                   // dest_addr_ton
  uint8_t destNpi = 0;                   // dest_addr_npi
  std::string_view destinationAddr;      // destination_addr
  uint8_t esmClass = 0;                  // 0x04/0x20 receipt kinds, 0x40 UDH present
  uint8_t protocolId = 0;                // protocol_id
  uint8_t priorityFlag = 0;              // priority_flag
  std::string_view scheduleTime;         // schedule_delivery_time text
  std::string_view validityPeriod;       // validity_period text
  uint8_t registeredDelivery = 0;        // registered_delivery
  uint8_t replaceIfPresent = 0;          // replace_if_present_flag
  uint8_t dataCoding = 0;                // data_coding; 8 = UCS-2
  uint8_t smDefaultMsgId = 0;            // sm_default_msg_id
  const uint8_t* shortMessage = nullptr; // sm_length octets
  size_t smLength = 0;                   // octets of shortMessage
  const uint8_t* tlvs = nullptr;         // optional parameters, to the body's end
  size_t tlvLength = 0;                  // octets of tlvs
};

// Decodes the mandatory fields and checks that the TLVs tile the rest
// exactly. False when a field runs past the body.
bool decodeDeliverSM(const uint8_t* body, size_t length, DeliverSMView& out);

// Calls f(tag, value, valueLength) for each TLV in order; the region must
// have been checked by decodeDeliverSM.
template <class F> void forEachTLV(const DeliverSMView& view, F f) {
  size_t i = 0;
  while (i + 4 <= view.tlvLength) {
    const uint16_t tag = smpp::readU16(view.tlvs + i);
    const uint16_t length = smpp::readU16(view.tlvs + i + 2);
    f(tag, view.tlvs + i + 4, static_cast<size_t>(length));
    i += 4 + length;
  }
}

} // namespace quorvex
