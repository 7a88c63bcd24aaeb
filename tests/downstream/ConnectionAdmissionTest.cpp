// Admission decisions on a hand-moved clock.
#include <gtest/gtest.h>

#include "downstream/ConnectionAdmission.h"

namespace quorvex {
namespace {

constexpr uint64_t kSecond = 1000000ULL;

class ConnectionAdmissionTest : public ::testing::Test {
protected:
  Admission connect(const std::string& address, long pending = 0, bool whitelisted = false) {
    return admission.decide({now, 7, address, whitelisted, pending, clients});
  }

  ConnectionAdmission admission{nullptr};
  uint64_t now = 1700000000000000ULL; // µs
  size_t clients = 0;
};

TEST_F(ConnectionAdmissionTest, RateBlockAndItsExtensionAndExpiry) {
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(connect("10.0.0.1"), Admission::kAdmit);
    admission.connectionClosed("10.0.0.1");
  }
  EXPECT_EQ(connect("10.0.0.1"), Admission::kBlocked); // 130 s
  EXPECT_EQ(connect("10.0.0.1"), Admission::kBlocked); // +5 s
  EXPECT_EQ(connect("10.0.0.2"), Admission::kAdmit);
  now += 134 * kSecond; // new window, still blocked
  EXPECT_EQ(connect("10.0.0.1"), Admission::kBlocked);
  now += 2 * kSecond; // past 135 s
  EXPECT_EQ(connect("10.0.0.1"), Admission::kAdmit);
  EXPECT_FALSE(admission.blocked("10.0.0.1"));
}

TEST_F(ConnectionAdmissionTest, PrefixLimitAcrossAddresses) {
  for (int i = 0; i < 25; ++i) {
    EXPECT_EQ(connect("192.168.1." + std::to_string(i % 5)), Admission::kAdmit) << i;
  }
  EXPECT_EQ(connect("192.168.1.9"), Admission::kBlocked);
  EXPECT_EQ(connect("192.168.1.0"), Admission::kBlocked);
  // A later window starts counting afresh (the blocked addresses stay blocked).
  now += 11 * kSecond;
  EXPECT_EQ(connect("192.168.1.4"), Admission::kAdmit);
}

TEST_F(ConnectionAdmissionTest, NeverBlockedPrefixesAndWhitelist) {
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(connect("172.30.0.1"), Admission::kAdmit);
    EXPECT_EQ(connect("172.31.9.9"), Admission::kAdmit);
    EXPECT_EQ(connect("10.9.9.9", 0, true), Admission::kAdmit);
  }
  // Nor does bulk data, nor a block from before the address was listed.
  EXPECT_EQ(connect("172.30.0.1", 301), Admission::kAdmit);
  EXPECT_EQ(connect("10.9.9.9", 301, true), Admission::kAdmit);
  EXPECT_EQ(connect("10.9.9.8", 301), Admission::kBlocked);
  EXPECT_EQ(connect("10.9.9.8", 0, true), Admission::kAdmit);
}

TEST_F(ConnectionAdmissionTest, BulkBytesOrThreeBindlessConnectionsInAWindowBlockForFiveMinutes) {
  EXPECT_EQ(connect("10.0.0.1", 301), Admission::kBlocked);
  // A new window forgets the counts but not the block.
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(connect("10.0.0.2"), Admission::kAdmit) << i;
    admission.noteBindless("10.0.0.2");
    admission.noteBindless("10.0.0.3");
  }
  EXPECT_EQ(connect("10.0.0.2"), Admission::kBlocked);
  now += 11 * kSecond;
  EXPECT_EQ(connect("10.0.0.3"), Admission::kAdmit);
  EXPECT_EQ(connect("10.0.0.2"), Admission::kBlocked);
  now += 288 * kSecond;
  EXPECT_EQ(connect("10.0.0.1"), Admission::kBlocked);
  EXPECT_EQ(connect("10.0.0.2"), Admission::kBlocked);
  now += 2 * kSecond;
  EXPECT_EQ(connect("10.0.0.1"), Admission::kAdmit);
  EXPECT_EQ(connect("10.0.0.2"), Admission::kAdmit);
}

TEST_F(ConnectionAdmissionTest, LiveLimitsAndWhitelistOnly) {
  admission.setMaxConnectionsPerAddress(2);
  EXPECT_EQ(connect("10.0.0.1"), Admission::kAdmit);
  EXPECT_EQ(connect("10.0.0.1"), Admission::kAdmit);
  EXPECT_EQ(connect("10.0.0.1"), Admission::kPerAddressLimit);
  EXPECT_EQ(connect("10.0.0.1", 0, true), Admission::kAdmit);
  admission.connectionClosed("10.0.0.1");
  EXPECT_EQ(admission.liveConnections("10.0.0.1"), 2u);

  admission.setWhitelistOnly(true);
  EXPECT_EQ(connect("10.0.0.3"), Admission::kNotWhitelisted);
  EXPECT_EQ(connect("10.0.0.3", 0, true), Admission::kAdmit);
  EXPECT_EQ(connect("172.30.1.1"), Admission::kAdmit);

  clients = 1000;
  EXPECT_EQ(connect("172.30.1.1"), Admission::kClientLimit);
}

} // namespace
} // namespace quorvex
