#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tracker/SmscId.h"

namespace quorvex {
namespace {

// Values of GCC's std::hash<std::string> on x86-64, checked against an
// independent implementation of its Murmur-based _Hash_bytes. "msgtrack"
// files written by earlier runs depend on them.
TEST(SmscIdTest, HashIsPinnedAndBindIdCarriesTargetAndBindNumber) {
  EXPECT_EQ(targetNameHash("smscA"), 0x08cd0d2b29ef0741ULL);
  EXPECT_EQ(targetNameHash("target with a long name over sixteen"), 0x4a13a6fedee1a72eULL);
  // Every tail length, both sides of the 8-byte blocks, octets above 0x7f.
  std::string name;
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(targetNameHash(name), std::hash<std::string>{}(name)) << name.size();
    name += static_cast<char>('A' + i * 7);
  }
  // A bind's identity carries the target and the bind number.
  EXPECT_EQ(smscId("smscA", 0, false), 0x29ef074100ULL);
  EXPECT_EQ(smscId("smscA", 3, false), 0x29ef074103ULL);
  EXPECT_EQ(smscId("smscA", 3, true), 0x29ef074106ULL);
  EXPECT_EQ(targetIdOf(smscId("smscA", 5, true) + 1), 0x29ef0741ULL);
  EXPECT_EQ(targetIdOfName("smscA"), targetIdOf(smscId("smscA", 0, false)));
}

} // namespace
} // namespace quorvex
