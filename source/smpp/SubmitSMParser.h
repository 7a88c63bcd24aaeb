// Decoding of submit_sm and data_sm bodies into SubmitSMRecord.
#pragma once

#include <cstddef>
#include <cstdint>

#include "smpp/SubmitSMRecord.h"

namespace quorvex::smpp {

// Decodes a submit_sm (0x04) or data_sm (0x103) body. Any other command id
// returns false with `status` untouched. Otherwise `status` becomes
// ESME_RSUBMITFAIL, or ESME_RINVSCHED/ESME_RINVEXPIRY for past times when
// `rejectPastTimes` is set. `record` is written only on success.
// `parseStartMicros` is the clock reading the times are judged against.
bool parseSubmitSM(uint32_t commandId, const uint8_t* body, size_t bodyLength,
                   SubmitSMRecord& record, bool rejectPastTimes, uint32_t& status,
                   uint64_t parseStartMicros);

// As above, reading the gateway's clock once at the start.
bool parseSubmitSM(uint32_t commandId, const uint8_t* body, size_t bodyLength,
                   SubmitSMRecord& record, bool rejectPastTimes, uint32_t& status);

} // namespace quorvex::smpp
