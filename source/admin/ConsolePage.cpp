#include "admin/ConsolePage.h"

#include <array>
#include <cstdint>

#include "admin/HttpConnection.h"

namespace quorvex {

extern const char kConsolePageBase64[];

namespace {

// Alphabet value of each byte; -1 for bytes outside the alphabet.
constexpr std::array<int8_t, 256> makeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) {
    entry = -1;
  }
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
  }
  return table;
}

constexpr std::array<int8_t, 256> kDecode = makeDecodeTable();

} // namespace

std::string decodeBase64(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  uint32_t bits = 0; // pending bits, most significant first
  int count = 0;     // number of pending bits
  for (const char c : text) {
    const int8_t value = kDecode[static_cast<unsigned char>(c)];
    if (value < 0) {
      break; // "=" padding or a foreign character ends the text
    }
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

std::string consolePage() { return decodeBase64(kConsolePageBase64); }

void serve_console_page(std::string& out) {
  send_response(out, 200, "OK", "text/html", consolePage());
}

} // namespace quorvex
