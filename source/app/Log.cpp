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
  char message[kLogMessageBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);

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
  char message[kLogMessageBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);

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
