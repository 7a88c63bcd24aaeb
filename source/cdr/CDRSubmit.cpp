#include "cdr/CDRSubmit.h"

namespace quorvex {
namespace {

constexpr uint32_t kSarMsgRefNum = 0x020C;
constexpr uint32_t kSarTotalSegments = 0x020E;
constexpr uint32_t kSarSegmentSeqnum = 0x020F;

} // namespace

CDRConcat concatFromUdh(uint8_t esmClass, const uint8_t* message, size_t length) {
  CDRConcat concat;
  if ((esmClass & 0x40) == 0 || length == 0 || message[0] == 0) {
    return concat;
  }
  const size_t headerLength = message[0];
  size_t p = 0;
  while (p < headerLength && p < length) {
    if (p + 2 >= length) {
      break;
    }
    const uint8_t id = message[p + 1];
    const uint8_t elementLength = message[p + 2];
    if (id == 0x00) {
      if (p + 5 < length) {
        concat.concatenated = true;
        concat.reference = message[p + 3];
        concat.total = message[p + 4];
        concat.part = message[p + 5];
      }
      break;
    }
    p += 2 + elementLength;
  }
  return concat;
}

void CDRSarState::fold(uint32_t tag, uint32_t length, const uint8_t* value, size_t valueSize) {
  any = true;
  switch (tag) {
  case kSarTotalSegments:
    total = length == 1 && valueSize >= 1 ? value[0] : 0;
    break;
  case kSarSegmentSeqnum:
    part = length == 1 && valueSize >= 1 ? value[0] : 0;
    break;
  case kSarMsgRefNum:
    // The low 8 bits of a big-endian number are its last octet.
    reference = valueSize >= 1 ? value[valueSize - 1] : 0;
    break;
  default:
    break;
  }
}

CDRConcat CDRSarState::result() const {
  CDRConcat concat;
  if (any && total != 1) {
    concat.concatenated = true;
    concat.reference = reference;
    concat.total = total;
    concat.part = part;
  }
  return concat;
}

} // namespace quorvex
