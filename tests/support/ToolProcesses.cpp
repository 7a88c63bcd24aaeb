#include "support/ToolProcesses.h"

#include <sstream>
#include <stdexcept>
#include <thread>

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
  // Wait for a counts line written after the request.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string output = process_->output();
    if (output.find("smsc-sim counts", before) != std::string::npos) {
      return lastKeyValues(output, "smsc-sim counts");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

LoadRun runLoadGenerator(std::vector<std::string> args) {
  quorvex::test::TempDir dir;
  quorvex::test::ChildProcess process(QUORVEX_LOADGEN, std::move(args), dir.path(), "loadgen");
  LoadRun run;
  run.exitStatus = process.waitExit(std::chrono::seconds(60));
  run.output = process.output();
  run.errors = process.errors();
  run.result = lastKeyValues(run.output, "loadgen result");
  return run;
}

std::map<std::string, std::string> lastKeyValues(const std::string& text,
                                                 const std::string& prefix) {
  const size_t at = text.rfind(prefix);
  std::map<std::string, std::string> values;
  if (at == std::string::npos) {
    return values;
  }
  const size_t end = text.find('\n', at);
  std::istringstream words(text.substr(at, end == std::string::npos ? end : end - at));
  std::string word;
  while (words >> word) {
    const size_t equals = word.find('=');
    if (equals != std::string::npos) {
      values[word.substr(0, equals)] = word.substr(equals + 1);
    }
  }
  return values;
}

} // namespace quorvex::tools::test
