// Process-wide identity and the stop flag shared by the entry point, the
// signal handler and the listener loop.
#pragma once

namespace quorvex {

// Printed in the banner.
inline constexpr const char* kProductName = "Quorvex";
// Named in the "Starting " and "Stopped " log lines.
inline constexpr const char* kApplicationId = "VantorelQuorvex";

// Set to 1 by the SIGINT/SIGTERM handler (and by the listener when accept
// fails fatally); polled by the listener loop once per iteration. Written
// from a signal handler, hence a volatile single byte.
extern volatile unsigned char stopRequested;

// Ignores SIGPIPE and routes SIGINT and SIGTERM to the handler that prints
// "SIGINT/SIGTERM (n)" and sets stopRequested.
void installSignalHandlers();
// A descriptor (an eventfd) the handler writes to after setting
// stopRequested, so a loop asleep in its wait sees the flag at once; -1 for none.
void setStopWakeDescriptor(int fd);

// Build stamp, fixed when the program is built.
const char* buildDate();     // "Jun 13 2025"
const char* buildTime();     // "14:02:11"
const char* buildRevision(); // 7 hex digits, "0000000" outside git

} // namespace quorvex
