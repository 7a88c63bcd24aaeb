// Bodies of the responses the gateway sends. Each builder writes into a
// caller buffer and returns the body length; the header is added by the
// session's send operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvex::smpp {

// Room for the largest body built here (query_sm_resp: 65 + 17 + 2).
inline constexpr size_t kResponseBodyCapacity = 96;

// The version answered and recorded for a bind: 0x33 and 0x50 are kept,
// anything else becomes 0x34.
uint8_t negotiateInterfaceVersion(uint8_t requested);

// Successful bind_*_resp: system_id, then sc_interface_version unless 0x33.
size_t buildBindResponseBody(uint8_t* out, size_t capacity, std::string_view systemId,
                             uint8_t negotiatedVersion);

// The response id of a submit_sm (0x80000004) or data_sm (0x80000103).
uint32_t submitResponseCommandId(uint32_t requestCommandId);

// Successful submit_sm_resp/data_sm_resp: message_id with its NUL.
size_t buildSubmitResponseBody(uint8_t* out, size_t capacity, std::string_view messageId);

// Successful query_sm_resp: message_id, final_date, message_state, error_code.
size_t buildQueryResponseBody(uint8_t* out, size_t capacity, std::string_view messageId,
                              std::string_view finalDate, uint8_t messageState, uint8_t errorCode);

} // namespace quorvex::smpp
