// The outcome of one admin operation: the HTTP layer answers 200 or 400 with
// the message as reason phrase and, for reads, the value as body.
#pragma once

#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

namespace quorvex {

struct OperationResult {
  bool success = false;       // 200 when true, 400 otherwise
  std::string message = "OK"; // the reason phrase
  nlohmann::json value;       // the read operations' result, null otherwise
};

// Fails `result` with `message`; returns it for a one-line early exit.
inline OperationResult& fail(OperationResult& result, std::string message) {
  result.success = false;
  result.message = std::move(message);
  return result;
}

// Writes the line a changing operation announces itself with.
inline void announce(const char* line) {
  std::cout << line << "\n";
  std::cout.flush();
}

} // namespace quorvex
