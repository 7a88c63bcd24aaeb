// Splits what arrives on a descriptor (the simulator's standard input) into
// lines. One read per call, made only when the loop reported readiness, so
// the caller never waits.
#pragma once

#include <string>
#include <vector>

namespace quorvex::tools {

class LineReader {
public:
  explicit LineReader(int descriptor) : descriptor_(descriptor) {}

  // Reads once and appends the complete lines (without "\r\n") to `lines`;
  // false at end of input or on a read error (a last unterminated line is
  // still returned).
  bool readLines(std::vector<std::string>& lines);
  int descriptor() const { return descriptor_; }

private:
  int descriptor_;     // where the lines come from
  std::string buffer_; // octets of an incomplete line
};

// Splits on single spaces: the first `words` words, then the rest of the
// line unchanged (it may hold spaces) as the last element.
std::vector<std::string> splitCommand(const std::string& line, size_t words);

} // namespace quorvex::tools
