// Encoding of a SubmitSMRecord as the submit_sm body sent to an SMSC.
#pragma once

#include <cstddef>
#include <cstdint>

#include "smpp/SubmitSMRecord.h"

namespace quorvex::smpp {

// Writes the body into `out` (at most `capacity` octets; pass kMaxBodyLength
// so that the framed PDU stays sendable) and returns its
// length, or 0 when the record cannot be encoded: it does not fit, or its
// short_message exceeds the 255 octets sm_length can announce.
size_t encodeSubmitSM(const SubmitSMRecord& record, uint8_t* out, size_t capacity);

// The calling thread's encode buffer of kMaxCommandLength octets, so that
// forwarding a submit needs no allocation.
uint8_t* submitSMEncodeBuffer();

} // namespace quorvex::smpp
