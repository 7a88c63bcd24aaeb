// The built simulator and load generator, started for one test each.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TestProcess.h"

namespace quorvex::tools::test {

// A running simulator on a port of its own choosing.
class SimulatorProcess {
public:
  explicit SimulatorProcess(std::vector<std::string> args = {});

  uint16_t port() const { return port_; }
  quorvex::test::ChildProcess& process() { return *process_; }
  // Sends one control line.
  void command(const std::string& line) { process_->writeInput(line + "\n"); }
  // The values of the last counts line after asking for one.
  std::map<std::string, std::string> counts();

private:
  quorvex::test::TempDir dir_;                           // working directory
  std::unique_ptr<quorvex::test::ChildProcess> process_; // the simulator
  uint16_t port_ = 0;                                    // its listening port
};

// A finished load-generator run.
struct LoadRun {
  int exitStatus = -1;                       // process exit status
  std::map<std::string, std::string> result; // key=value pairs of the result line
  std::string output;                        // everything on standard output
  std::string errors;                        // everything on standard error
};

// Runs the load generator to its end with `args`.
LoadRun runLoadGenerator(std::vector<std::string> args);

// The key=value pairs of the last line of `text` that starts with `prefix`.
std::map<std::string, std::string> lastKeyValues(const std::string& text,
                                                 const std::string& prefix);

} // namespace quorvex::tools::test
