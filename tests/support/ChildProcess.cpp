#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quorvex::test {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

ChildProcess::ChildProcess(const std::string& executable, std::vector<std::string> args,
                           const std::string& workDir, const std::string& label)
    : outPath_(workDir + "/" + label + ".out"), errPath_(workDir + "/" + label + ".err") {
  // The output files are opened (emptied) before posix_spawn returns: a
  // restart in the same directory must not let the caller read the former
  // process's output meanwhile.
  int pipeFds[2] = {-1, -1};
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot make the input pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
  std::vector<char*> argv{const_cast<char*>(executable.c_str())};
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  const int failed =
      ::posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[0]);
  input_ = pipeFds[1];
  if (failed != 0) {
    pid_ = -1;
    ::close(input_);
    throw std::runtime_error("cannot start " + executable);
  }
}

ChildProcess::~ChildProcess() {
  ::close(input_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool ChildProcess::reap(bool wait) {
  if (pid_ <= 0) {
    return true;
  }
  int status = 0;
  if (::waitpid(pid_, &status, wait ? 0 : WNOHANG) != pid_) {
    return false;
  }
  pid_ = -1;
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  eventually([&] { return output().find(text) != std::string::npos || !running(); }, timeout);
  return output().find(text) != std::string::npos;
}

bool ChildProcess::writeInput(const std::string& text) {
  // A child that has exited must give EPIPE here, not end the test run.
  ::signal(SIGPIPE, SIG_IGN);
  return ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::signal(int signo) {
  if (pid_ > 0) {
    ::kill(pid_, signo);
  }
}

int ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  if (eventually([this] { return reap(false); }, timeout)) {
    return exitStatus_;
  }
  ::kill(pid_, SIGKILL);
  reap(true);
  return -1;
}

} // namespace quorvex::test
