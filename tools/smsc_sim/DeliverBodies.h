// The deliver_sm bodies the simulator originates: delivery receipts and
// mobile-originated messages, and the texts that go into them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "smpp/SubmitSMRecord.h"
#include "smsc_sim/SimulatorOptions.h"

namespace quorvex::tools {

// esm_class of a receipt: SMSC delivery receipt.
inline constexpr uint8_t kReceiptEsmClass = 0x04;
// data_coding of UCS-2 (UTF-16 big-endian) text.
inline constexpr uint8_t kDataCodingUcs2 = 0x08;

// A message id number as written in PDUs: lower-case hex without padding,
// or decimal.
std::string formatMessageId(uint64_t number, IdForm form);

// The receipt for `submit`: addresses swapped, esm_class 0x04, the id, state
// and error in the text, in TLVs or in both.
std::vector<uint8_t> buildReceiptBody(const smpp::SubmitSMRecord& submit, const std::string& id,
                                      int state, uint16_t error, ReceiptForm form);

// An MO deliver_sm from `source` to `destination` carrying `message`
// octets with `dataCoding`; false when the message exceeds 254 octets.
bool buildMOBody(const std::string& source, const std::string& destination,
                 const std::vector<uint8_t>& message, uint8_t dataCoding,
                 std::vector<uint8_t>& body);

// UTF-8 to UTF-16 big-endian (surrogate pairs beyond the BMP); false on
// malformed UTF-8.
bool utf8ToUcs2(const std::string& text, std::vector<uint8_t>& out);

} // namespace quorvex::tools
