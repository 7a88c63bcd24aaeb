// The receipt carried by an upstream deliver_sm: message id, state and
// error from the receipt text, overridden by the receipt TLVs.
#pragma once

#include <string>

#include "upstream/DeliverSMView.h"

namespace quorvex {

struct ReceiptFields {
  std::string messageId; // SMSC message id; empty when neither text nor TLV has it
  int state = 0;         // SMPP message_state
  int error = 0;         // network error code
  std::string doneDate;  // "done date" word of the text as received; empty if absent
};

// Text first (full parse, else the stat-word search), then in TLV order
// receipted_message_id, message_state and network_error_code (type 3).
ReceiptFields readReceipt(const DeliverSMView& view);

} // namespace quorvex
