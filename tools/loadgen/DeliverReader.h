// What the load generator needs from a deliver_sm: receipt or MO, and the
// receipted message id (TLV first, then the receipt text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvex::tools {

struct DeliverSummary {
  bool receipt = false;  // esm_class marks a delivery receipt or notification
  std::string messageId; // receipted id; empty when none was found
};

// False when the body cannot be decoded.
bool readDeliver(const uint8_t* body, size_t length, DeliverSummary& out);

// The other spelling of an id to try when it is not found as it stands:
// decimal digits rewritten in lower-case hex; empty when not decimal.
std::string hexFromDecimal(const std::string& id);
// A hex id rewritten in decimal; empty when not hex.
std::string decimalFromHex(const std::string& id);

} // namespace quorvex::tools
