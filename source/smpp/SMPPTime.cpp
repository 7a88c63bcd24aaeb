#include "smpp/SMPPTime.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace quorvex::smpp {

std::string formatSMPPAbsoluteTime(uint64_t micros) {
  char text[kSMPPTimeBuffer];
  const size_t length = formatSMPPAbsoluteTime(micros, text);
  return std::string(text, length);
}

size_t formatSMPPAbsoluteTime(uint64_t micros, char* out) {
  out[0] = 0;
  if (micros == 0) {
    return 0;
  }
  // Times on the traffic path are mostly "now": the text of the last second
  // is kept per thread, so strftime runs once a second, not per PDU.
  thread_local time_t cachedSeconds = -1;
  thread_local char cachedText[kSMPPTimeBuffer];
  thread_local size_t cachedLength = 0;
  const time_t seconds = static_cast<time_t>(micros / 1000000ULL);
  if (seconds != cachedSeconds) {
    struct tm broken;
    if (gmtime_r(&seconds, &broken) == nullptr) {
      return 0;
    }
    cachedLength = strftime(cachedText, kSMPPTimeBuffer, "%y%m%d%H%M%S000+", &broken);
    if (cachedLength == 0) {
      cachedText[0] = 0;
    }
    cachedSeconds = seconds;
  }
  std::memcpy(out, cachedText, cachedLength + 1);
  return cachedLength;
}

int64_t parseSMPPAbsoluteTime(const char* text) {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int quarters = 0;
  char sign = 0;
  const int items = std::sscanf(text, "%02d%02d%02d%02d%02d%02d%*1d%02d%c", &year, &month, &day,
                                &hour, &minute, &second, &quarters, &sign);
  if (items < 8) {
    return 0;
  }
  struct tm broken = {};
  broken.tm_year = (year < 70 ? 2000 + year : 1900 + year) - 1900;
  broken.tm_mon = month - 1;
  broken.tm_mday = day;
  broken.tm_hour = hour;
  broken.tm_min = minute;
  broken.tm_sec = second;
  const time_t utc = timegm(&broken);
  if (utc == static_cast<time_t>(-1)) {
    return 0;
  }
  int64_t seconds = static_cast<int64_t>(utc);
  if (sign == '+') {
    seconds -= static_cast<int64_t>(quarters) * 900;
  } else if (sign == '-') {
    seconds += static_cast<int64_t>(quarters) * 900;
  }
  return seconds;
}

int64_t parseSMPPRelativeTime(const char* text) {
  int days = 0;
  int hours = 0;
  int minutes = 0;
  int seconds = 0;
  const int items = std::sscanf(text, "%*02d%*02d%02d%02d%02d%02d%*1d%*02d%*c", &days, &hours,
                                &minutes, &seconds);
  if (items < 4) {
    return 0;
  }
  return ((static_cast<int64_t>(days) * 24 + hours) * 60 + minutes) * 60 + seconds;
}

std::string formatISOTime(uint64_t nanos) {
  const time_t seconds = static_cast<time_t>(nanos / 1000000000ULL);
  struct tm broken;
  if (gmtime_r(&seconds, &broken) == nullptr) {
    return std::string();
  }
  char text[32];
  const size_t length = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &broken);
  return std::string(text, length);
}

} // namespace quorvex::smpp
