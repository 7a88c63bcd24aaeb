// Kept apart so that only this file recompiles when the revision changes.
#include "BuildRevision.h"
#include "app/Process.h"

namespace quorvex {

const char* buildDate() { return __DATE__; }
const char* buildTime() { return __TIME__; }
const char* buildRevision() { return QUORVEX_BUILD_REVISION; }

} // namespace quorvex
