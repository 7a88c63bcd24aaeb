// Command-line walking for the tools: "--name value", "--name=value" and
// bare "--flag" arguments, with number parsing that reports what was wrong.
#pragma once

#include <cstdint>
#include <string>

namespace quorvex::tools {

class Arguments {
public:
  Arguments(int argc, char** argv) : argc_(argc), argv_(argv) {}

  // Moves to the next argument; false at the end.
  bool next();
  // The current option name, "--port" also when given as "--port=1".
  const std::string& name() const { return name_; }
  // The option's value (after "=" or the next argument); false and an error
  // naming the option when there is none.
  bool value(std::string& out, std::string& error);
  // As value(), parsed as an unsigned number in [min, max] (decimal, or hex
  // with 0x).
  bool unsignedValue(uint64_t min, uint64_t max, uint64_t& out, std::string& error);
  // As value(), parsed as a non-negative decimal number.
  bool doubleValue(double& out, std::string& error);

private:
  int argc_;          // argument count of main
  char** argv_;       // arguments of main
  int index_ = 0;     // argument being looked at; 0 is the program
  std::string name_;  // option name of the current argument
  std::string value_; // text after "=", when hasValue_
  bool hasValue_ = false;
};

// Parses decimal or 0x-prefixed hex into [min, max]; false on junk or range.
bool parseUnsigned(const std::string& text, uint64_t min, uint64_t max, uint64_t& out);

} // namespace quorvex::tools
