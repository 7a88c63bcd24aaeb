// Process-wide application and audit log writers.
//
// Application lines go to standard output and to "application.log" (rotated
// to "application.1.log" once it exceeds 32 MiB); audit lines go to
// "audit.log" (same size limit, checked every 1000th line). One mutex
// serialises both writers, so lines of different threads never interleave.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorvex {

// Log levels; the value is what callers pass and the threshold compares.
enum LogLevel : int {
  LOG_DEBUG = 0,
  LOG_FINEST = 1,
  LOG_FINE = 2,
  LOG_INFO = 3,
  LOG_WARNING = 4,
  LOG_SEVERE = 5,
};

// Above this size in bytes the next line rotates the file.
inline constexpr long kLogRotateBytes = 33554432;
// The formatted message is cut to this many bytes including the NUL.
inline constexpr int kLogMessageBytes = 1024;

// Wall-clock microseconds since the Unix epoch.
uint64_t nowMicros();
// Wall-clock microseconds for per-message time stamps: while the calling
// thread's event loop dispatches one wake-up, the reading taken when it woke;
// elsewhere a fresh reading. One clock reading per wake-up instead of several
// per PDU (as nginx caches its time per loop iteration).
uint64_t passNowMicros();
// Bracket one dispatch of the calling thread's event loop.
void beginClockPass();
void endClockPass();

// Writes one application line when `level` is at or above the threshold.
void logApplication(int level, const void* object, const char* className, const char* function,
                    const char* format, ...) __attribute__((format(printf, 5, 6)));

// Writes one audit line. Callers test auditEnabled() first; the writer does not.
void logAudit(const void* object, const char* className, const char* function, const char* format,
              ...) __attribute__((format(printf, 4, 5)));

// Sets the application threshold; called during start-up before other threads exist.
void setLogLevel(int level);

// True when a line of `level` would be written; lets callers skip costly
// argument preparation for lines the threshold drops.
bool logEnabled(int level);

// Closes "audit.log" if it is open.
void closeAuditLog();

// The audit switch: set at start-up and changeable through the admin API.
std::atomic<bool>& auditSwitch();
inline bool auditEnabled() { return auditSwitch().load(std::memory_order_relaxed); }

} // namespace quorvex
