// Latency samples of one kind and their percentiles. Every sample is kept
// (4 octets each), so the percentiles are exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvex::tools {

class LatencyRecorder {
public:
  void record(uint64_t micros);
  size_t size() const { return samples_.size(); }
  // Nearest-rank percentile (0 < p <= 100) in µs; 0 without samples.
  uint64_t percentile(double p);
  uint64_t max();

private:
  std::vector<uint32_t> samples_; // µs, capped at 2^32 - 1
  bool sorted_ = true;            // samples_ is in ascending order
};

} // namespace quorvex::tools
