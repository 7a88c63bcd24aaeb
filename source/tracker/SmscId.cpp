#include "tracker/SmscId.h"

namespace quorvex {
namespace {

constexpr uint64_t kMul = (0xc6a4a793ULL << 32) + 0x5bd1e995ULL;
constexpr uint64_t kSeed = 0xc70f6907ULL;

uint64_t shiftMix(uint64_t v) { return v ^ (v >> 47); }

} // namespace

uint64_t targetNameHash(std::string_view name) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
  const size_t length = name.size();
  const size_t aligned = length & ~static_cast<size_t>(7);
  uint64_t hash = kSeed ^ (length * kMul);
  for (size_t i = 0; i < aligned; i += 8) {
    uint64_t word = 0;
    for (int b = 7; b >= 0; --b) {
      word = (word << 8) | bytes[i + b]; // little-endian load
    }
    hash ^= shiftMix(word * kMul) * kMul;
    hash *= kMul;
  }
  if ((length & 7) != 0) {
    uint64_t tail = 0;
    for (size_t i = length; i > aligned; --i) {
      tail = (tail << 8) + bytes[i - 1];
    }
    hash ^= tail;
    hash *= kMul;
  }
  hash = shiftMix(hash) * kMul;
  return shiftMix(hash);
}

uint64_t smscId(std::string_view targetName, uint32_t bindNumber, bool useTxRx) {
  return ((targetNameHash(targetName) << 8) & 0xFFFFFFFF00ULL) +
         (useTxRx ? 2ULL : 1ULL) * bindNumber;
}

} // namespace quorvex
