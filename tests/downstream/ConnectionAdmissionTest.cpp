// Admission decisions on a hand-moved clock, and the whitelist file.
#include <fstream>

#include <gtest/gtest.h>

#include "downstream/ConnectionAdmission.h"
#include "downstream/IPWhitelist.h"

namespace quorvex {
namespace {

constexpr uint64_t kStart = 1700000000000000ULL;
constexpr uint64_t kSecond = 1000000ULL;

class AdmissionFixture : public ::testing::Test {
protected:
  Admission connect(const std::string& address, long pending = 0, bool whitelisted = false) {
    ConnectionAttempt attempt;
    attempt.now = now;
    attempt.descriptor = 7;
    attempt.address = address;
    attempt.pending = pending;
    attempt.whitelisted = whitelisted;
    attempt.clientConnections = clients;
    return admission.decide(attempt);
  }

  ConnectionAdmission admission{nullptr};
  uint64_t now = kStart;
  size_t clients = 0;
};

TEST_F(AdmissionFixture, RateBlockAndItsExtensionAndExpiry) {
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

TEST_F(AdmissionFixture, PrefixLimitAcrossAddresses) {
  for (int i = 0; i < 25; ++i) {
    EXPECT_EQ(connect("192.168.1." + std::to_string(i % 5)), Admission::kAdmit) << i;
  }
  EXPECT_EQ(connect("192.168.1.9"), Admission::kBlocked);
  EXPECT_EQ(connect("192.168.1.0"), Admission::kBlocked);
  // A later window starts counting afresh (the blocked addresses stay blocked).
  now += 11 * kSecond;
  EXPECT_EQ(connect("192.168.1.4"), Admission::kAdmit);
}

TEST_F(AdmissionFixture, NeverBlockedPrefixesAndWhitelist) {
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

TEST_F(AdmissionFixture, BulkBytesBlockForFiveMinutes) {
  EXPECT_EQ(connect("10.0.0.1", 301), Admission::kBlocked);
  now += 299 * kSecond;
  EXPECT_EQ(connect("10.0.0.1"), Admission::kBlocked);
  now += 2 * kSecond;
  EXPECT_EQ(connect("10.0.0.1"), Admission::kAdmit);
}

TEST_F(AdmissionFixture, ThreeBindlessConnectionsInAWindow) {
  EXPECT_EQ(connect("10.0.0.3"), Admission::kAdmit); // opens the window
  admission.noteBindless("10.0.0.1");
  admission.noteBindless("10.0.0.1");
  EXPECT_EQ(connect("10.0.0.1"), Admission::kAdmit);
  admission.noteBindless("10.0.0.1");
  EXPECT_EQ(connect("10.0.0.1"), Admission::kBlocked);
  // A new window forgets the counts but not the block.
  admission.noteBindless("10.0.0.2");
  admission.noteBindless("10.0.0.2");
  admission.noteBindless("10.0.0.2");
  now += 11 * kSecond;
  EXPECT_EQ(connect("10.0.0.2"), Admission::kAdmit);
  EXPECT_EQ(connect("10.0.0.1"), Admission::kBlocked);
}

TEST_F(AdmissionFixture, LiveLimitsAndWhitelistOnly) {
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

int64_t fakeSeconds = 100;
int64_t fakeClock() { return fakeSeconds; }

TEST(IPWhitelistTest, FileLinesAndReloadInterval) {
  const std::string name = "whitelist-test.conf";
  {
    std::ofstream out(name);
    out << "# comment\n  10.0.0.1 \t\r\n10.0.0\nhost.example\n*x\n\n999.1.1.1\n";
  }
  IPWhitelist whitelist(nullptr, fakeClock);
  whitelist.setFileName(name);
  whitelist.load();
  EXPECT_EQ(whitelist.entries(), (std::set<std::string>{"10.0.0.1", "999.1.1.1"}));
  EXPECT_TRUE(whitelist.contains("10.0.0.1"));
  EXPECT_FALSE(whitelist.contains("10.0.0.2"));
  {
    std::ofstream out(name);
    out << "*\n";
  }
  fakeSeconds += 14;
  whitelist.load();
  EXPECT_FALSE(whitelist.contains("10.0.0.2")); // not reloaded yet
  fakeSeconds += 1;
  whitelist.load();
  EXPECT_TRUE(whitelist.contains("10.0.0.2"));
  whitelist.add("  10.5.5.5 ");
  EXPECT_EQ(whitelist.entries().count("10.5.5.5"), 1u);
  std::remove(name.c_str());
  fakeSeconds += 20;
  whitelist.load(); // unreadable: the list stays
  EXPECT_TRUE(whitelist.contains("10.0.0.2"));
}

} // namespace
} // namespace quorvex
