// The built-in simulated SMSC "INTERNAL_SMSC_SIM": message ids and the
// delivery receipt it returns for a submit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "smpp/SubmitSMRecord.h"

namespace quorvex {

inline constexpr const char* kSimulatedTargetSet = "INTERNAL_SMSC_SIM";
inline constexpr size_t kSimulatedMessageIdLength = 64;

// 64 characters of [0-9a-zA-Z] drawn with random().
void makeSimulatedMessageId(std::string& out);

// Writes the deliver_sm body of a "delivered" receipt for `messageId` into
// `out` (capacity `capacity`): addresses swapped relative to the submit,
// TLVs only when the ESME's interface version is above 3.3. Returns the
// body length, 0 when it does not fit.
size_t buildSimulatedReceipt(const smpp::SubmitSMRecord& submit, const std::string& messageId,
                             uint8_t interfaceVersion, uint8_t* out, size_t capacity);

} // namespace quorvex
