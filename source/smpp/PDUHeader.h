// The 16-octet PDU header and the big-endian integer helpers of the codec.
#pragma once

#include <cstdint>

#include "smpp/SMPPConstants.h"

namespace quorvex::smpp {

inline uint32_t readU32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint16_t readU16(const uint8_t* p) {
  return static_cast<uint16_t>((static_cast<uint32_t>(p[0]) << 8) | p[1]);
}

inline void writeU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline void writeU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

struct PDUHeader {
  uint32_t command_length = 0;  // octets of the whole PDU, header included
  uint32_t command_id = 0;      // SMPP command id, response bit included
  uint32_t command_status = 0;  // SMPP status; 0 in requests
  uint32_t sequence_number = 0; // request number, echoed by the response

  static PDUHeader decode(const uint8_t* p) {
    return PDUHeader{readU32(p), readU32(p + 4), readU32(p + 8), readU32(p + 12)};
  }

  void encode(uint8_t* p) const {
    writeU32(p, command_length);
    writeU32(p + 4, command_id);
    writeU32(p + 8, command_status);
    writeU32(p + 12, sequence_number);
  }

  // A length outside [16, 66560] cannot be framed: the stream is unusable.
  bool lengthValid() const {
    return command_length >= kHeaderLength && command_length <= kMaxCommandLength;
  }
};

} // namespace quorvex::smpp
