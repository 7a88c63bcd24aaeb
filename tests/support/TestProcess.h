// Test helpers: a temporary working directory, free loopback ports, and the
// real quorvex executable run as a child process in such a directory.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"

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
  std::string read(const std::string& name) const { return readFile(file(name)); }
  bool exists(const std::string& name) const;
  // Names of the directory's entries, sorted.
  std::vector<std::string> list() const;

private:
  std::string path_;
};

// A TCP port on 127.0.0.1 that was free a moment ago, drawn outside the
// kernel's ephemeral range so outgoing connections never take it.
uint16_t freePort();

// A TCP socket (without Nagle's delay) connected to 127.0.0.1:`port`, from
// `source` (any 127.x.y.z) when given and with a receive buffer of
// `receiveBuffer` octets when positive; -1 on failure.
int connectLoopback(uint16_t port, const std::string& source = "", int receiveBuffer = 0);

// How often `needle` occurs in `text`.
inline size_t occurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// The built quorvex, started in `workDir` with `args`; standard output goes
// to "console.out" there and standard error to "console.err".
class GatewayProcess : public ChildProcess {
public:
  explicit GatewayProcess(const std::string& workDir, std::vector<std::string> args = {})
      : ChildProcess(QUORVEX_BINARY, std::move(args), workDir, "console") {}
};

} // namespace quorvex::test
