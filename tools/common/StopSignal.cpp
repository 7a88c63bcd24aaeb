#include "common/StopSignal.h"

#include <csignal>

namespace quorvex::tools {
namespace {

volatile std::sig_atomic_t stopFlag = 0; // set by the handler only

extern "C" void onStopSignal(int) { stopFlag = 1; }

} // namespace

void installStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: the loop's wait returns with EINTR and sees the flag.
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool stopSignalled() { return stopFlag != 0; }

} // namespace quorvex::tools
