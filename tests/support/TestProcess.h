// Test helpers: a temporary working directory, free loopback ports, and the
// real quorvex executable run as a child process in such a directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvex::test {

// A fresh directory under /tmp, removed with its content on destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& content) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;
  // Names of the directory's entries, sorted.
  std::vector<std::string> list() const;

private:
  std::string path_;
};

// A TCP port on 127.0.0.1 that was free a moment ago, drawn outside the
// kernel's ephemeral range so outgoing connections never take it.
uint16_t freePort();

// The built quorvex, started in `workDir` with `args`; standard output goes
// to "console.out" there and standard error to "console.err".
class GatewayProcess {
public:
  explicit GatewayProcess(const std::string& workDir, std::vector<std::string> args = {});
  ~GatewayProcess();
  GatewayProcess(const GatewayProcess&) = delete;
  GatewayProcess& operator=(const GatewayProcess&) = delete;

  // Everything the process has printed so far.
  std::string output() const;
  // Everything the process has written to standard error so far.
  std::string errors() const;
  // Waits until the output contains `text`; false on timeout or exit.
  bool waitForOutput(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void signal(int signo);
  // Waits for the exit; the exit status, or -1 on timeout (the process is
  // then killed) and 128 + n for death by signal n.
  int waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(15));
  bool running() const { return pid_ > 0; }

private:
  std::string workDir_;
  pid_t pid_ = -1;      // child process id while it runs
  int exitStatus_ = -2; // decoded exit status once reaped
};

// Runs quorvex to completion in `workDir`; returns the exit status.
int runGateway(const std::string& workDir, std::vector<std::string> args = {},
               std::chrono::milliseconds timeout = std::chrono::seconds(15));

} // namespace quorvex::test
