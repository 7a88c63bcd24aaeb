// The whitelist file, its reloads and run-time additions.
#include <fstream>

#include <gtest/gtest.h>

#include "downstream/IPWhitelist.h"

namespace quorvex {
namespace {

int64_t fakeSeconds = 100;
int64_t fakeClock() { return fakeSeconds; }

TEST(IPWhitelistTest, FileLinesAndReloadInterval) {
  const std::string name = "whitelist-test.conf";
  std::ofstream(name) << "# comment\n  10.0.0.1 \t\r\n10.0.0\nhost.example\n*x\n\n999.1.1.1\n";
  IPWhitelist whitelist(nullptr, fakeClock);
  whitelist.setFileName(name);
  whitelist.load();
  EXPECT_EQ(whitelist.entries(), (std::set<std::string>{"10.0.0.1", "999.1.1.1"}));
  EXPECT_TRUE(whitelist.contains("10.0.0.1"));
  EXPECT_FALSE(whitelist.contains("10.0.0.2"));
  std::ofstream(name) << "*\n";
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
