#include "smpp/TLV.h"

#include <cstring>

#include "smpp/PDUHeader.h"

namespace quorvex::smpp {

bool parseTLVs(const uint8_t* data, size_t length, std::vector<TLV>& out) {
  const size_t before = out.size();
  size_t p = 0;
  while (p < length) {
    if (length - p < 4) {
      out.resize(before);
      return false;
    }
    const uint16_t tag = readU16(data + p);
    const uint16_t valueLength = readU16(data + p + 2);
    p += 4;
    if (length - p < valueLength) {
      out.resize(before);
      return false;
    }
    TLV& tlv = out.emplace_back();
    tlv.tag = tag;
    tlv.length = valueLength;
    tlv.value.assign(data + p, data + p + valueLength);
    p += valueLength;
  }
  return true;
}

bool encodeTLV(uint8_t* out, size_t capacity, size_t& index, uint16_t tag, const uint8_t* value,
               size_t valueLength) {
  if (valueLength > 0xFFFF || index > capacity || capacity - index < 4 + valueLength) {
    return false;
  }
  writeU16(out + index, tag);
  writeU16(out + index + 2, static_cast<uint16_t>(valueLength));
  if (valueLength > 0) {
    std::memcpy(out + index + 4, value, valueLength);
  }
  index += 4 + valueLength;
  return true;
}

void encodeTLV(std::vector<uint8_t>& out, uint16_t tag, const std::vector<uint8_t>& value) {
  const size_t at = out.size();
  out.resize(at + 4 + value.size());
  size_t index = at;
  encodeTLV(out.data(), out.size(), index, tag, value.data(), value.size());
}

} // namespace quorvex::smpp
