// The simulator's deliver_sm bodies, read back as the load generator reads them.
#include <gtest/gtest.h>

#include "loadgen/DeliverReader.h"
#include "smsc_sim/DeliverBodies.h"

namespace quorvex::tools::test {
namespace {

// Receipts in every form are read back by the process tests of the load
// generator against the simulator.
TEST(DeliverBodiesTest, MOsWithinTheirLimitsAreNoReceipts) {
  std::vector<uint8_t> mo;
  ASSERT_TRUE(buildMOBody("1", "2", std::vector<uint8_t>(254, 'x'), 0, mo));
  DeliverSummary summary;
  ASSERT_TRUE(readDeliver(mo.data(), mo.size(), summary));
  EXPECT_FALSE(summary.receipt);
  EXPECT_FALSE(readDeliver(mo.data(), 5, summary));
  EXPECT_FALSE(buildMOBody("1", "2", std::vector<uint8_t>(255, 'x'), 0, mo));
  EXPECT_FALSE(buildMOBody(std::string(21, '1'), "2", {}, 0, mo));
}

TEST(DeliverBodiesTest, Utf8ToUcs2WithSurrogatePairs) {
  std::vector<uint8_t> out;
  ASSERT_TRUE(utf8ToUcs2("A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", out));
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 'A', 0, 0xe9, 0x20, 0xac, 0xd8, 0x3d, 0xde, 0x00}));
  EXPECT_FALSE(utf8ToUcs2("\xc3", out));         // cut short
  EXPECT_FALSE(utf8ToUcs2("\xff", out));         // no such lead octet
  EXPECT_FALSE(utf8ToUcs2("\xe2\x28\xa1", out)); // bad continuation
}

TEST(DeliverReaderTest, TheOtherSpellingOfAnId) {
  EXPECT_EQ(std::tuple(hexFromDecimal("6699"), hexFromDecimal("1a2b"), decimalFromHex("1a2b"),
                       decimalFromHex("xyz")),
            std::tuple("1a2b", "", "6699", ""));
}

} // namespace
} // namespace quorvex::tools::test
