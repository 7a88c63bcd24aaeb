#include "smpp/Session.h"

#include <atomic>

namespace quorvex::smpp {

uint64_t Session::takeSessionId() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

Session::Session(const char* className) : sessionId_(takeSessionId()), className_(className) {}

} // namespace quorvex::smpp
