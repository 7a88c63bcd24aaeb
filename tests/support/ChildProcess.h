// Any executable run as a child process for a test: arguments, a pipe to
// its standard input, and its standard output and error captured in files
// of a working directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace quorvex::test {

// The whole content of the file at `path`, empty if it cannot be read.
std::string readFile(const std::string& path);

// True once `condition` holds, polling every 10 ms until `timeout`.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));

class ChildProcess {
public:
  // Starts `executable` with `args` in `workDir`; output goes to
  // "<label>.out" and "<label>.err" there.
  ChildProcess(const std::string& executable, std::vector<std::string> args,
               const std::string& workDir, const std::string& label);
  // Kills the process if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  std::string output() const { return readFile(outPath_); }
  std::string errors() const { return readFile(errPath_); }
  // Waits until the output contains `text`; false on timeout or exit.
  bool waitForOutput(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Writes a short line (one write is atomic on a pipe) to the standard input.
  bool writeInput(const std::string& text);
  void signal(int signo);
  // The exit status, 128 + n for death by signal n, or -1 on timeout (the
  // process is then killed).
  int waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  bool running() { return !reap(false); }

private:
  bool reap(bool wait);

  std::string outPath_; // captured standard output
  std::string errPath_; // captured standard error
  pid_t pid_ = -1;      // child process id while it runs
  int input_ = -1;      // write end of the standard input pipe
  int exitStatus_ = -1; // decoded exit status once reaped
};

} // namespace quorvex::test
