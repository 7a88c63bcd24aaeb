#include "upstream/ShortMessageText.h"

namespace quorvex {
namespace {

constexpr uint8_t kUdhIndicator = 0x40;
constexpr uint8_t kCodingUcs2 = 8;
constexpr uint32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool isHigh(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLow(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

} // namespace

std::string ucs2ToUtf8(const uint8_t* data, size_t length) {
  std::string out;
  out.reserve(length + length / 2);
  size_t i = 0;
  while (i + 1 < length) {
    const uint32_t unit = (static_cast<uint32_t>(data[i]) << 8) | data[i + 1];
    i += 2;
    if (isHigh(unit) && i + 1 < length) {
      const uint32_t next = (static_cast<uint32_t>(data[i]) << 8) | data[i + 1];
      if (isLow(next)) {
        i += 2;
        appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        continue;
      }
    }
    appendUtf8(out, isHigh(unit) || isLow(unit) ? kReplacement : unit);
  }
  if (i < length) {
    appendUtf8(out, kReplacement);
  }
  return out;
}

std::string shortMessageText(const uint8_t* data, size_t length, uint8_t esmClass,
                             uint8_t dataCoding) {
  if (length == 0) {
    return {};
  }
  if ((esmClass & kUdhIndicator) != 0) {
    const size_t header = static_cast<size_t>(data[0]) + 1;
    if (header >= length) {
      return {};
    }
    data += header;
    length -= header;
  }
  if (dataCoding == kCodingUcs2) {
    return ucs2ToUtf8(data, length);
  }
  return std::string(reinterpret_cast<const char*>(data), length);
}

} // namespace quorvex
