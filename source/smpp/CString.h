// C-octet strings inside a PDU body: bounded reads and appends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvex::smpp {

// Reads the string starting at `index` (without its NUL) as a view into the
// body. `maxLength` counts the NUL. On success `index` moves past the NUL; on
// failure (no NUL within the limit or before the body ends) nothing changes.
bool readCStringView(const uint8_t* body, size_t bodyLength, size_t& index, std::string_view& out,
                     size_t maxLength);

// As readCStringView, copying into `out`; `out` is untouched on failure.
bool readCString(const uint8_t* body, size_t bodyLength, size_t& index, std::string& out,
                 size_t maxLength);

// Appends `text` and its NUL at `index` when it fits within `capacity`.
bool appendCString(uint8_t* out, size_t capacity, size_t& index, std::string_view text);

} // namespace quorvex::smpp
