// The text of a short message as MO routing reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvex {

// Empty for an empty message. With the UDH flag (esm_class 0x40) the header
// (first octet + 1 octets) is skipped. data_coding 8 is UCS-2/UTF-16
// big-endian and comes out as UTF-8; any other coding is kept as it stands.
std::string shortMessageText(const uint8_t* data, size_t length, uint8_t esmClass,
                             uint8_t dataCoding);

// UTF-16 big-endian to UTF-8. An odd last octet or an unpaired surrogate
// becomes U+FFFD, so a broken message still routes by its readable part.
std::string ucs2ToUtf8(const uint8_t* data, size_t length);

} // namespace quorvex
