// Root of every SMPP conversation, downstream and upstream alike.
#pragma once

#include <cstdint>

namespace quorvex::smpp {

class Session {
public:
  explicit Session(const char* className);
  virtual ~Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Unique for the life of the process, shared by both directions.
  uint64_t sessionId() const { return sessionId_; }
  // Class name printed in this session's log lines.
  const char* className() const { return className_; }

  // Takes the next id of the process-wide counter (thread-safe).
  static uint64_t takeSessionId();

private:
  const uint64_t sessionId_; // from takeSessionId() at construction
  const char* className_;    // static string naming the class in logs
};

} // namespace quorvex::smpp
