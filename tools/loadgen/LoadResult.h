// The load generator's tallies and its one machine-readable result line.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "loadgen/LatencyRecorder.h"

namespace quorvex::tools {

struct LoadResult {
  uint32_t sessions = 0;                 // sessions asked for
  uint32_t bound = 0;                    // sessions that bound
  uint64_t sent = 0;                     // submits queued
  uint64_t responses = 0;                // responses matched to submits
  std::map<uint32_t, uint64_t> statuses; // command_status -> responses
  uint64_t mo = 0;                       // deliver_sm that were not receipts
  bool receiptsOn = false;               // receipts were asked for
  uint64_t receipts = 0;                 // receipts received
  uint64_t receiptsMissing = 0;          // accepted submits without a receipt at the end
  uint64_t receiptsUnmatched = 0;        // receipts whose id matched no submit
  double elapsedSeconds = 0;             // from all bound to the last response
  double receiptSeconds = 0;             // from all bound to the last receipt
  LatencyRecorder responseLatency;       // submit -> response, µs
  LatencyRecorder receiptLatency;        // submit -> receipt, µs
};

// "loadgen result key=value ..." (see the --help text).
std::string formatResult(const LoadResult& result);

} // namespace quorvex::tools
