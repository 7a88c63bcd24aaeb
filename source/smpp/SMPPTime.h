// SMPP absolute and relative time texts and the ISO time of CDRs. All
// functions are stateless and thread-safe (re-entrant time functions only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvex::smpp {

// Buffer size for one SMPP time text: 16 characters and the NUL.
inline constexpr size_t kSMPPTimeBuffer = 17;

// "YYMMDDhhmmss000+" in UTC; empty for 0 or a time that cannot be broken down.
std::string formatSMPPAbsoluteTime(uint64_t micros);
// As above into `out` (kSMPPTimeBuffer octets); returns the text length.
size_t formatSMPPAbsoluteTime(uint64_t micros, char* out);

// Seconds since the epoch of an absolute time text; 0 when it does not parse.
int64_t parseSMPPAbsoluteTime(const char* text);
inline int64_t parseSMPPAbsoluteTime(const std::string& text) {
  return parseSMPPAbsoluteTime(text.c_str());
}

// Seconds of a relative time text (years and months ignored); 0 when it
// does not parse.
int64_t parseSMPPRelativeTime(const char* text);
inline int64_t parseSMPPRelativeTime(const std::string& text) {
  return parseSMPPRelativeTime(text.c_str());
}

// "%Y-%m-%dT%H:%M:%SZ" of a nanosecond time in UTC.
std::string formatISOTime(uint64_t nanos);

} // namespace quorvex::smpp
