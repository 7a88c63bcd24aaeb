#include "smpp/CString.h"

#include <algorithm>
#include <cstring>

namespace quorvex::smpp {

bool readCStringView(const uint8_t* body, size_t bodyLength, size_t& index, std::string_view& out,
                     size_t maxLength) {
  if (index >= bodyLength || maxLength == 0) {
    return false;
  }
  const size_t window = std::min(maxLength, bodyLength - index);
  const void* nul = std::memchr(body + index, 0, window);
  if (nul == nullptr) {
    return false;
  }
  const size_t length = static_cast<const uint8_t*>(nul) - (body + index);
  out = std::string_view(reinterpret_cast<const char*>(body + index), length);
  index += length + 1;
  return true;
}

bool readCString(const uint8_t* body, size_t bodyLength, size_t& index, std::string& out,
                 size_t maxLength) {
  std::string_view view;
  if (!readCStringView(body, bodyLength, index, view, maxLength)) {
    return false;
  }
  out.assign(view);
  return true;
}

bool appendCString(uint8_t* out, size_t capacity, size_t& index, std::string_view text) {
  if (index > capacity || capacity - index < text.size() + 1) {
    return false;
  }
  std::memcpy(out + index, text.data(), text.size());
  index += text.size();
  out[index++] = 0;
  return true;
}

} // namespace quorvex::smpp
