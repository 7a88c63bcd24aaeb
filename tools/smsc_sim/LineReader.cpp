#include "smsc_sim/LineReader.h"

#include <unistd.h>

#include <cerrno>

namespace quorvex::tools {

bool LineReader::readLines(std::vector<std::string>& lines) {
  char chunk[4096];
  const ssize_t n = ::read(descriptor_, chunk, sizeof(chunk));
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    return true;
  }
  if (n > 0) {
    buffer_.append(chunk, static_cast<size_t>(n));
  }
  size_t start = 0;
  for (size_t end = buffer_.find('\n'); end != std::string::npos; end = buffer_.find('\n', start)) {
    std::string line = buffer_.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(std::move(line));
    start = end + 1;
  }
  buffer_.erase(0, start);
  if (n <= 0) {
    if (!buffer_.empty()) {
      lines.push_back(std::move(buffer_));
      buffer_.clear();
    }
    return false;
  }
  return true;
}

std::vector<std::string> splitCommand(const std::string& line, size_t words) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (parts.size() < words && at < line.size()) {
    while (at < line.size() && line[at] == ' ') {
      ++at;
    }
    if (at >= line.size()) {
      break;
    }
    const size_t end = line.find(' ', at);
    parts.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? line.size() : end + 1;
  }
  if (parts.size() == words && at <= line.size()) {
    parts.push_back(line.substr(at));
  }
  return parts;
}

} // namespace quorvex::tools
