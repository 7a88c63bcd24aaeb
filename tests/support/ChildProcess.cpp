#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quorvex::test {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

} // namespace

ChildProcess::ChildProcess(const std::string& executable, std::vector<std::string> args,
                           const std::string& workDir, const std::string& label)
    : outPath_(workDir + "/" + label + ".out"), errPath_(workDir + "/" + label + ".err") {
  // The files are created before the fork: a restart in the same directory
  // must not let the caller read the former process's output meanwhile.
  const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int pipeFds[2] = {-1, -1};
  const auto closeAll = [&] {
    for (const int fd : {out, err, pipeFds[0], pipeFds[1]}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  };
  if (out < 0 || err < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    closeAll();
    throw std::runtime_error("cannot prepare the output files or pipe in " + workDir);
  }
  pid_ = ::fork();
  if (pid_ < 0) {
    closeAll();
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    if (::chdir(workDir.c_str()) != 0) {
      _exit(127);
    }
    ::dup2(pipeFds[0], 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (auto& a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ::execv(executable.c_str(), argv.data());
    _exit(127);
  }
  ::close(out);
  ::close(err);
  ::close(pipeFds[0]);
  input_ = pipeFds[1];
}

ChildProcess::~ChildProcess() {
  closeInput();
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string ChildProcess::output() const { return readFile(outPath_); }

std::string ChildProcess::errors() const { return readFile(errPath_); }

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

bool ChildProcess::running() { return !reap(false); }

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (output().find(text) != std::string::npos) {
      return true;
    }
    if (!running() || std::chrono::steady_clock::now() >= deadline) {
      return output().find(text) != std::string::npos;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ChildProcess::writeInput(const std::string& text) {
  if (input_ < 0) {
    return false;
  }
  // A child that has exited must give EPIPE here, not end the test run.
  ::signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(input_, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    written += static_cast<size_t>(n);
  }
  return true;
}

void ChildProcess::closeInput() {
  if (input_ >= 0) {
    ::close(input_);
    input_ = -1;
  }
}

void ChildProcess::signal(int signo) {
  if (pid_ > 0) {
    ::kill(pid_, signo);
  }
}

int ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reap(false)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      reap(true);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return exitStatus_;
}

} // namespace quorvex::test
