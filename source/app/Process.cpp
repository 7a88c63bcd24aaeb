#include "app/Process.h"

#include <signal.h>
#include <unistd.h>

#include <cstdint>

namespace quorvex {

volatile unsigned char stopRequested = 0;

namespace {

volatile int stopWakeFd = -1;

// Only async-signal-safe calls here: the line is formatted by hand and
// written with write(2).
void onStopSignal(int signo) {
  char line[32] = "SIGINT/SIGTERM (";
  size_t n = 16;
  char digits[12];
  int d = 0;
  unsigned value = static_cast<unsigned>(signo);
  do {
    digits[d++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && d < 11);
  while (d > 0) {
    line[n++] = digits[--d];
  }
  line[n++] = ')';
  line[n++] = '\n';
  ssize_t ignored = ::write(STDOUT_FILENO, line, n);
  (void)ignored;
  if (signo == SIGINT || signo == SIGTERM) {
    stopRequested = 1;
    const int fd = stopWakeFd;
    if (fd >= 0) {
      const uint64_t one = 1;
      ignored = ::write(fd, &one, sizeof(one));
    }
  }
}

} // namespace

void setStopWakeDescriptor(int fd) { stopWakeFd = fd; }

void installSignalHandlers() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGINT, onStopSignal);
  ::signal(SIGTERM, onStopSignal);
}

} // namespace quorvex
