// The load generator: connects and binds N sessions, keeps each one's
// window of submits full (within the count, duration and rate), drains
// responses and receipts, unbinds and reports. One thread, one readiness
// loop; connecting happens before the loop starts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "loadgen/EsmeClient.h"
#include "loadgen/LoadOptions.h"
#include "loadgen/LoadResult.h"
#include "smpp/EventLoop.h"
#include "smpp/TlsContext.h"

namespace quorvex::tools {

class LoadGenerator : public ClientObserver {
public:
  explicit LoadGenerator(const LoadOptions& options);
  ~LoadGenerator() override;

  // Runs the test, prints the result line; the exit status (see --help).
  int run();

  void bindAnswered(EsmeClient& client, uint32_t status) override;
  void submitAnswered(EsmeClient& client, uint32_t status, const std::string& messageId,
                      uint64_t sentMicros) override;
  void delivered(EsmeClient& client, const uint8_t* body, size_t length) override;
  void closing(EsmeClient& client) override;

private:
  bool connectAll(std::string& error);
  bool bindAll();
  void sendAndDrain();
  void unbindAll();
  void pump(uint64_t now);
  bool drained() const;
  bool anyBound() const;
  void flushAll();
  bool outputPending();
  int waitMillis(uint64_t now, uint64_t until) const;
  int exitStatus() const;

  LoadOptions options_;                                // settings from the command line
  smpp::EventLoop loop_;                               // the one readiness loop
  std::unique_ptr<smpp::TlsContext> tls_;              // with --tls: the client context
  std::vector<std::unique_ptr<EsmeClient>> clients_;   // the sessions
  std::vector<uint8_t> requestBody_;                   // body of every submit
  uint32_t requestCommand_ = 0;                        // submit_sm or data_sm
  uint64_t startMicros_ = 0;                           // monotonic µs when all were bound
  uint64_t lastResponseMicros_ = 0;                    // monotonic µs of the last response
  uint64_t lastReceiptMicros_ = 0;                     // monotonic µs of the last receipt
  size_t nextClient_ = 0;                              // first client served by the next pump
  std::unordered_map<std::string, uint64_t> awaiting_; // message id -> µs submitted
  std::unordered_map<std::string, uint64_t> early_;    // receipt before its response: id -> µs
  LoadResult result_;                                  // tallies
};

// Monotonic microseconds, for latencies that must not follow clock steps.
uint64_t monotonicMicros();

} // namespace quorvex::tools
