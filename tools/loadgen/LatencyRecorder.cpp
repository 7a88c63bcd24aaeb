#include "loadgen/LatencyRecorder.h"

#include <algorithm>
#include <cmath>

namespace quorvex::tools {

void LatencyRecorder::record(uint64_t micros) {
  samples_.push_back(static_cast<uint32_t>(std::min<uint64_t>(micros, UINT32_MAX)));
  sorted_ = false;
}

uint64_t LatencyRecorder::percentile(double p) {
  if (samples_.empty()) {
    return 0;
  }
  if (!sorted_) {
    std::sort(samples_.begin(), samples_.end());
    sorted_ = true;
  }
  // The epsilon keeps 99.9 % of 1000 at rank 999 despite binary fractions.
  const double rank = std::ceil(p / 100.0 * static_cast<double>(samples_.size()) - 1e-9);
  const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return samples_[std::min(index, samples_.size() - 1)];
}

uint64_t LatencyRecorder::max() { return percentile(100); }

} // namespace quorvex::tools
