#include "app/Log.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace quorvex {
namespace {

const char* const kLevelNames[] = {"DEBUG", "FINEST", "FINE", "INFO", "WARNING", "SEVERE"};

// Constant-initialised so that loggers running in static destructors still work.
std::mutex logMutex;
int threshold = LOG_INFO;       // application lines below this level are dropped
FILE* appFile = nullptr;        // open "application.log", or none
FILE* auditFile = nullptr;      // open "audit.log", or none
long long auditLineCounter = 0; // lines since the last size check
std::atomic<bool> auditSwitchFlag{false};

const char* levelName(int level) {
  if (level < 0 || level > LOG_SEVERE) {
    return "?";
  }
  return kLevelNames[level];
}

// Control characters in a message (a peer's system_id, a path, anything
// from the wire) are written as \xNN, so that no value can end the line and
// forge the next one. Messages without any are used as they are.
const char* withControlsEscaped(const char* message, char (&out)[4 * kLogMessageBytes]) {
  const char* p = message;
  while (*p != '\0' && static_cast<unsigned char>(*p) >= 0x20 && *p != 0x7f) {
    ++p;
  }
  if (*p == '\0') {
    return message;
  }
  static const char kHex[] = "0123456789abcdef";
  size_t n = 0;
  for (p = message; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f) {
      out[n++] = '\\';
      out[n++] = 'x';
      out[n++] = kHex[c >> 4];
      out[n++] = kHex[c & 0xf];
    } else {
      out[n++] = static_cast<char>(c);
    }
  }
  out[n] = '\0';
  return out;
}

// The position after opening for append is the file's size.
long sizeOf(FILE* f) {
  if (std::fseek(f, 0, SEEK_END) != 0) {
    return 0;
  }
  return std::ftell(f);
}

// The open application log, reopened when "application.log" in the current
// directory is no longer the file it holds (rotated, removed, or another
// working directory). A stat per line is far cheaper than open and close.
FILE* applicationLog() {
  struct stat named;
  if (appFile != nullptr) {
    struct stat held;
    if (::stat("application.log", &named) == 0 && ::fstat(::fileno(appFile), &held) == 0 &&
        named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      return appFile;
    }
    std::fclose(appFile);
  }
  appFile = std::fopen("application.log", "a");
  if (appFile != nullptr) {
    sizeOf(appFile); // positions at the end, so ftell() gives the size
  }
  return appFile;
}

} // namespace

uint64_t nowMicros() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000000ULL + static_cast<uint64_t>(tv.tv_usec);
}

namespace {
thread_local uint64_t passTime = 0; // µs when this thread's loop woke; 0 outside a dispatch
} // namespace

uint64_t passNowMicros() { return passTime != 0 ? passTime : nowMicros(); }
void beginClockPass() { passTime = nowMicros(); }
void endClockPass() { passTime = 0; }

void setLogLevel(int level) { threshold = level; }

bool logEnabled(int level) { return level >= threshold; }

std::atomic<bool>& auditSwitch() { return auditSwitchFlag; }

void logApplication(int level, const void* object, const char* className, const char* function,
                    const char* format, ...) {
  if (level < threshold) {
    return;
  }
  const uint64_t now = nowMicros();
  const unsigned long long seconds = now / 1000000ULL;
  const unsigned long long micros = now % 1000000ULL;

  std::lock_guard<std::mutex> guard(logMutex);
  char formatted[kLogMessageBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(formatted, sizeof(formatted), format, args);
  va_end(args);
  static char escaped[4 * kLogMessageBytes]; // under logMutex
  const char* message = withControlsEscaped(formatted, escaped);

  std::printf("%llu.%06llu %12p %7s %s::%s %s\n", seconds, micros, object, levelName(level),
              className, function, message);

  FILE* f = applicationLog();
  if (f == nullptr) {
    return;
  }
  if (std::ftell(f) > kLogRotateBytes) {
    std::fclose(f);
    appFile = nullptr;
    std::remove("application.1.log");
    std::rename("application.log", "application.1.log");
    f = applicationLog();
    if (f == nullptr) {
      return;
    }
  }
  std::fprintf(f, "%llu.%06llu %12p %7s %s::%s %s\n", seconds, micros, object, levelName(level),
               className, function, message);
  // Whole lines reach the file at once: readers (and a crash) see them.
  std::fflush(f);
}

void logAudit(const void* object, const char* className, const char* function, const char* format,
              ...) {
  const uint64_t now = nowMicros();
  const unsigned long long seconds = now / 1000000ULL;
  const unsigned long long micros = now % 1000000ULL;

  std::lock_guard<std::mutex> guard(logMutex);
  char formatted[kLogMessageBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(formatted, sizeof(formatted), format, args);
  va_end(args);
  static char escaped[4 * kLogMessageBytes]; // under logMutex
  const char* message = withControlsEscaped(formatted, escaped);

  if (auditFile == nullptr) {
    auditFile = std::fopen("audit.log", "a");
    if (auditFile == nullptr) {
      return;
    }
  }
  // Checking the size costs a seek, so it is done on every 1000th line only.
  if (++auditLineCounter > 999) {
    auditLineCounter = 0;
    if (sizeOf(auditFile) > kLogRotateBytes) {
      std::fclose(auditFile);
      auditFile = nullptr;
      std::remove("audit.1.log");
      std::rename("audit.log", "audit.1.log");
      auditFile = std::fopen("audit.log", "a");
      if (auditFile == nullptr) {
        return;
      }
    }
  }
  std::fprintf(auditFile, "%llu.%06llu %12p %s::%s %s\n", seconds, micros, object, className,
               function, message);
  std::fflush(auditFile);
}

void closeAuditLog() {
  std::lock_guard<std::mutex> guard(logMutex);
  if (auditFile != nullptr) {
    std::fclose(auditFile);
    auditFile = nullptr;
  }
}

} // namespace quorvex
