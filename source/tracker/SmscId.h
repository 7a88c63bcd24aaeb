// The identity of an upstream bind (`smscid`) and of its target.
//
// The target part is the low 32 bits of the target name's hash, which must be
// the hash GCC's runtime gives std::hash<std::string> on 64-bit Linux: the
// "msgtrack" file and CDR clean-up keep these values across restarts. The hash
// is computed here rather than through std::hash so that it stays the same
// whatever runtime library the gateway is built with.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorvex {

// libstdc++'s _Hash_bytes (Murmur-based) over the bytes with seed 0xc70f6907.
uint64_t targetNameHash(std::string_view name);

// Bind `bindNumber` (0-based, below 256, or 128 with TX/RX pairs) of a target;
// with useTxRx the receiver bind of the pair is the result + 1.
uint64_t smscId(std::string_view targetName, uint32_t bindNumber, bool useTxRx);

// The part shared by all binds of one target.
constexpr uint64_t targetIdOf(uint64_t smscid) { return smscid >> 8; }

// The target part for a target name, equal to targetIdOf() of its binds.
inline uint64_t targetIdOfName(std::string_view name) {
  return targetNameHash(name) & 0xFFFFFFFFULL;
}

} // namespace quorvex
