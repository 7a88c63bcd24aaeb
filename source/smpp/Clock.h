// The microsecond clock sessions read their timers from. Production code uses
// the wall clock (times are compared with SMPP absolute times, so they must be
// on the Unix epoch); tests inject a clock they move by hand.
#pragma once

#include <cstdint>

namespace quorvex::smpp {

class Clock {
public:
  virtual ~Clock() = default;
  // Microseconds since the Unix epoch.
  virtual uint64_t nowMicros() const = 0;
};

// The process's wall clock (nowMicros of the logging layer).
const Clock& systemClock();

} // namespace quorvex::smpp
