// Optional parameters (tag, length, value) of SMPP bodies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvex::smpp {

struct TLV {
  uint32_t tag = 0;           // 16-bit parameter tag
  uint32_t length = 0;        // 16-bit value length in octets, as on the wire
  std::vector<uint8_t> value; // `length` octets of value
};

// Parses the whole region as consecutive TLVs, appended to `out` in order.
// The TLVs must fill the region exactly; on failure `out` is unchanged.
bool parseTLVs(const uint8_t* data, size_t length, std::vector<TLV>& out);

// Appends tag, length and value in wire form at `index` when it fits within
// `capacity`; values longer than 65535 octets are refused.
bool encodeTLV(uint8_t* out, size_t capacity, size_t& index, uint16_t tag, const uint8_t* value,
               size_t valueLength);

// Appends to a growing buffer (slow paths and tests).
void encodeTLV(std::vector<uint8_t>& out, uint16_t tag, const std::vector<uint8_t>& value);

} // namespace quorvex::smpp
