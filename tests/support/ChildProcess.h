// Any executable run as a child process for a test: arguments, a pipe to
// its standard input, and its standard output and error captured in files
// of a working directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace quorvex::test {

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

  std::string output() const;
  std::string errors() const;
  // Waits until the output contains `text`; false on timeout or exit.
  bool waitForOutput(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Writes to the standard input; false once it is closed.
  bool writeInput(const std::string& text);
  void closeInput();
  void signal(int signo);
  // The exit status, 128 + n for death by signal n, or -1 on timeout (the
  // process is then killed).
  int waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  bool running();

private:
  bool reap(bool wait);

  std::string outPath_; // captured standard output
  std::string errPath_; // captured standard error
  pid_t pid_ = -1;      // child process id while it runs
  int input_ = -1;      // write end of the standard input pipe
  int exitStatus_ = -1; // decoded exit status once reaped
};

} // namespace quorvex::test
