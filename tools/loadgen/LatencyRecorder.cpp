#include "loadgen/LatencyRecorder.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace quorvex::tools {
namespace {

// Values below this have a bucket each; above, every power of two is cut
// into kSubBuckets buckets.
constexpr uint64_t kExactBelow = 1024;
constexpr uint64_t kSubBuckets = 512;
// Samples are capped here (over an hour), which bounds the bucket count.
constexpr uint64_t kCap = (uint64_t{1} << 32) - 1;
constexpr int kExactBits = 10; // log2(kExactBelow)

size_t bucketOf(uint64_t v) {
  if (v < kExactBelow) {
    return static_cast<size_t>(v);
  }
  const int exponent = 63 - std::countl_zero(v); // at least kExactBits
  const int shift = exponent - 9;                // keeps 512..1023 as the mantissa
  return static_cast<size_t>(kExactBelow + (exponent - kExactBits) * kSubBuckets +
                             ((v >> shift) - kSubBuckets));
}

uint64_t lowerBound(size_t bucket) {
  if (bucket < kExactBelow) {
    return bucket;
  }
  const uint64_t k = bucket - kExactBelow;
  const int exponent = static_cast<int>(k / kSubBuckets) + kExactBits;
  return (k % kSubBuckets + kSubBuckets) << (exponent - 9);
}

} // namespace

LatencyRecorder::LatencyRecorder() : buckets_(bucketOf(kCap) + 1, 0) {}

void LatencyRecorder::record(uint64_t micros) {
  const uint64_t v = std::min(micros, kCap);
  ++buckets_[bucketOf(v)];
  ++count_;
  max_ = std::max(max_, v);
}

uint64_t LatencyRecorder::percentile(double p) const {
  if (count_ == 0) {
    return 0;
  }
  // The epsilon keeps 99.9 % of 1000 at rank 999 despite binary fractions.
  const double rank = std::ceil(p / 100.0 * static_cast<double>(count_) - 1e-9);
  const uint64_t wanted = rank < 1 ? 1 : std::min(static_cast<uint64_t>(rank), count_);
  if (wanted == count_) {
    return max_; // the top rank is the largest sample, known exactly
  }
  uint64_t seen = 0;
  for (size_t i = 0; i < buckets_.size(); ++i) {
    seen += buckets_[i];
    if (seen >= wanted) {
      return std::min(lowerBound(i), max_);
    }
  }
  return max_;
}

} // namespace quorvex::tools
