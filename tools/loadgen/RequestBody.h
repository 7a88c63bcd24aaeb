// The one request body a run sends over and over: only the header's
// sequence number changes between submits, so it is built once.
#pragma once

#include <cstdint>
#include <vector>

#include "loadgen/LoadOptions.h"

namespace quorvex::tools {

// A submit_sm (through the gateway's own encoder) or a data_sm carrying the
// text in message_payload; registered_delivery 1 when receipts are on.
std::vector<uint8_t> buildRequestBody(const LoadOptions& options);

// submit_sm or data_sm, as the options say.
uint32_t requestCommandId(const LoadOptions& options);

} // namespace quorvex::tools
