// quorvex-loadgen: ESME sessions that push submits through an SMPP server
// and report throughput and latency. See --help.
#include <cstdio>
#include <string>

#include "app/Log.h"
#include "common/StopSignal.h"
#include "loadgen/LoadGenerator.h"
#include "loadgen/LoadOptions.h"

int main(int argc, char** argv) {
  using namespace quorvex::tools;
  LoadOptions options;
  std::string error;
  if (!parseLoadOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "quorvex-loadgen: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(loadUsage(), stdout);
    return 0;
  }
  // The library's lines would mix with the result line.
  quorvex::setLogLevel(quorvex::LOG_SEVERE + 1);
  installStopSignals();
  LoadGenerator generator(options);
  return generator.run();
}
