#include "smpp/Clock.h"

#include "app/Log.h"

namespace quorvex::smpp {
namespace {

class SystemClock : public Clock {
public:
  uint64_t nowMicros() const override { return quorvex::passNowMicros(); }
};

} // namespace

const Clock& systemClock() {
  static const SystemClock clock;
  return clock;
}

} // namespace quorvex::smpp
