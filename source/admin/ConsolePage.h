// The operators' web console: one HTML page the program carries as Base64.
#pragma once

#include <string>
#include <string_view>

namespace quorvex {

// Standard Base64 (RFC 4648 alphabet) decoded up to the first "=" or the
// first character outside the alphabet; a trailing partial group of 2 or 3
// characters yields its 1 or 2 whole bytes.
std::string decodeBase64(std::string_view text);

// The console page, decoded from the carried text at every call: the page is
// requested rarely, so keeping only the encoded copy in memory wins.
std::string consolePage();

// Appends the console page to `out` as a 200 "text/html" reply.
void serve_console_page(std::string& out);

} // namespace quorvex
