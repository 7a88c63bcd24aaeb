// The decoded submit_sm or data_sm as it travels from the ESME side to the
// upstream side, the CDR manager and the receipt generator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "smpp/TLV.h"

namespace quorvex::smpp {

struct SubmitSMRecord {
  uint32_t command_id = 0x00000004;    // submit_sm or data_sm: the answer is of the same kind
  std::string service_type;            // as received
  uint8_t source_addr_ton = 0;         // type of number of the source
  uint8_t source_addr_npi = 0;         // numbering plan of the source
  std::string source_addr;             // originator address
  uint8_t dest_addr_ton = 0;           // type of number of the destination
  uint8_t dest_addr_npi = 0;           // numbering plan of the destination
  std::string destination_addr;        // recipient address
  uint8_t esm_class = 0;               // message mode/type; 0x40 = UDH present
  uint8_t protocol_id = 0;             // 0 for data_sm
  uint8_t priority_flag = 0;           // 0 for data_sm
  uint64_t schedule_delivery_time = 0; // µs since the epoch; 0 = immediately
  uint64_t validity_period = 0;        // µs since the epoch, absolute expiry
  uint8_t registered_delivery = 0;     // receipt request flags
  uint8_t replace_if_present_flag = 0; // 0 for data_sm
  uint8_t data_coding = 0;             // character set of the message
  uint8_t sm_default_msg_id = 0;       // 0 for data_sm
  std::vector<uint8_t> short_message;  // sm_length octets; empty for data_sm
  std::vector<TLV> tlvs;               // optional parameters in received order
};

// Whether a record is one part of a concatenated message.
struct ConcatenationInfo {
  bool concatenated = false; // the record is one of several parts
  uint8_t reference = 0;     // reference shared by the parts
  uint8_t total = 0;         // number of parts announced
};

// Reads the concatenation from the UDH (element 0x00) or else the sar TLVs.
ConcatenationInfo getConcatenationInfo(const SubmitSMRecord& record);

} // namespace quorvex::smpp
