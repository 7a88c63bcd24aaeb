#include "support/ToolProcesses.h"

#include <sstream>
#include <stdexcept>

namespace quorvex::tools::test {

SimulatorProcess::SimulatorProcess(std::vector<std::string> args) {
  args.push_back("--port");
  args.push_back("0");
  process_ =
      std::make_unique<quorvex::test::ChildProcess>(QUORVEX_SMSC_SIM, args, dir_.path(), "sim");
  const std::string marker = "smsc-sim listening port=";
  if (!process_->waitForOutput(marker)) {
    throw std::runtime_error("simulator did not start: " + process_->errors());
  }
  const std::string output = process_->output();
  port_ = static_cast<uint16_t>(std::stoi(output.substr(output.find(marker) + marker.size())));
}

std::map<std::string, std::string> SimulatorProcess::counts() {
  const size_t before = process_->output().size();
  command("stats");
  // Only a counts line written after the request answers it.
  std::string output;
  if (!quorvex::test::eventually([&] {
        return (output = process_->output()).find("smsc-sim counts", before) != std::string::npos;
      })) {
    return {};
  }
  return lastKeyValues(output, "smsc-sim counts");
}

LoadRun runLoadGenerator(std::vector<std::string> args) {
  quorvex::test::TempDir dir;
  quorvex::test::ChildProcess process(QUORVEX_LOADGEN, std::move(args), dir.path(), "loadgen");
  LoadRun run{process.waitExit(std::chrono::seconds(60)), {}, process.output(), process.errors()};
  run.result = lastKeyValues(run.output, "loadgen result");
  return run;
}

std::map<std::string, std::string> lastKeyValues(const std::string& text,
                                                 const std::string& prefix) {
  std::map<std::string, std::string> values;
  const size_t at = text.rfind(prefix);
  std::istringstream words(at == std::string::npos ? ""
                                                   : text.substr(at, text.find('\n', at) - at));
  for (std::string word; words >> word;) {
    if (const size_t equals = word.find('='); equals != std::string::npos) {
      values[word.substr(0, equals)] = word.substr(equals + 1);
    }
  }
  return values;
}

} // namespace quorvex::tools::test
