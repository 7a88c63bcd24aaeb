#include "common/Arguments.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace quorvex::tools {

bool Arguments::next() {
  if (++index_ >= argc_) {
    return false;
  }
  const std::string argument = argv_[index_];
  const size_t equals = argument.find('=');
  hasValue_ = argument.rfind("--", 0) == 0 && equals != std::string::npos;
  name_ = hasValue_ ? argument.substr(0, equals) : argument;
  value_ = hasValue_ ? argument.substr(equals + 1) : std::string();
  return true;
}

bool Arguments::value(std::string& out, std::string& error) {
  if (hasValue_) {
    out = value_;
    return true;
  }
  if (index_ + 1 >= argc_) {
    error = "option " + name_ + " needs a value";
    return false;
  }
  out = argv_[++index_];
  return true;
}

bool Arguments::unsignedValue(uint64_t min, uint64_t max, uint64_t& out, std::string& error) {
  std::string text;
  if (!value(text, error)) {
    return false;
  }
  if (!parseUnsigned(text, min, max, out)) {
    error = "option " + name_ + ": '" + text + "' is not a number from " + std::to_string(min) +
            " to " + std::to_string(max);
    return false;
  }
  return true;
}

bool Arguments::doubleValue(double& out, std::string& error) {
  std::string text;
  if (!value(text, error)) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != 0 || errno != 0 || !std::isfinite(parsed) || parsed < 0) {
    error = "option " + name_ + ": '" + text + "' is not a non-negative number";
    return false;
  }
  out = parsed;
  return true;
}

bool parseUnsigned(const std::string& text, uint64_t min, uint64_t max, uint64_t& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
    return false;
  }
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (*end != 0 || errno != 0 || parsed < min || parsed > max) {
    return false;
  }
  out = parsed;
  return true;
}

} // namespace quorvex::tools
