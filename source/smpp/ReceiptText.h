// Delivery-receipt short-message text and the SMPP message states.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvex::smpp {

// SMPP message_state values.
enum MessageState : int {
  kStateNone = 0,
  kStateEnroute = 1,
  kStateDelivered = 2,
  kStateExpired = 3,
  kStateDeleted = 4,
  kStateUndeliverable = 5,
  kStateAccepted = 6,
  kStateUnknown = 7,
  kStateRejected = 8,
};

// Longest word kept from a receipt; longer words mean "not parsed fully".
inline constexpr size_t kReceiptIdMax = 64;
inline constexpr size_t kReceiptWordMax = 32;

// What isspace() accepts in the "C" locale, without its per-call locale
// look-up: receipt words are separated by these.
inline bool isReceiptSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

struct ReceiptInfo {
  std::string messageId;    // "id:" word; empty unless parsed fully
  int state = kStateNone;   // MessageState from the stat word
  int error = 0;            // "err:" number; 0 unless parsed fully
  bool parsedFully = false; // all five fields were read
};

// The receipt text for a message, dated `nowMicros` (UTC minute).
std::string formatReceiptText(std::string_view messageId, int state, uint8_t error,
                              uint64_t nowMicros);
// As above, dated now.
std::string formatReceiptText(std::string_view messageId, int state, uint8_t error);

// Parses a receipt short message; the text ends at its first NUL.
ReceiptInfo parseReceiptText(std::string_view text);

} // namespace quorvex::smpp
