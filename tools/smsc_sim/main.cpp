// quorvex-smsc-sim: an SMPP 3.4 SMSC for tests, demonstrations and
// benchmarks of the gateway. See --help.
#include <cstdio>
#include <string>

#include "app/Log.h"
#include "common/StopSignal.h"
#include "smsc_sim/Simulator.h"
#include "smsc_sim/SimulatorOptions.h"

int main(int argc, char** argv) {
  using namespace quorvex::tools;
  SimulatorOptions options;
  std::string error;
  if (!parseSimulatorOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "quorvex-smsc-sim: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(simulatorUsage(), stdout);
    return 0;
  }
  // The library logs per PDU; quiet unless asked, so output stays parseable.
  quorvex::setLogLevel(options.verbose ? quorvex::LOG_FINE : quorvex::LOG_SEVERE + 1);
  installStopSignals();
  Simulator simulator(options);
  if (!simulator.start(error)) {
    std::fprintf(stderr, "quorvex-smsc-sim: %s\n", error.c_str());
    return 1;
  }
  return simulator.run();
}
