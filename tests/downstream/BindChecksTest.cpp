// The password hash and allowed-address checks of a bind.
#include <crypt.h>

#include <memory>

#include <gtest/gtest.h>

#include "downstream/BindChecks.h"

namespace quorvex {
namespace {

std::string hashOf(const std::string& password, const std::string& setting) {
  auto data = std::make_unique<crypt_data>();
  const char* hash = crypt_r(password.c_str(), setting.c_str(), data.get());
  return hash ? hash : "";
}

TEST(BindChecksTest, BcryptHashes) {
  const std::string hash = hashOf("s3cret", "$2b$04$abcdefghijklmnopqrstuu");
  ASSERT_EQ(hash.rfind("$2b$04$", 0), 0u) << hash;
  EXPECT_TRUE(checkPasswordHash("s3cret", hash));
  EXPECT_FALSE(checkPasswordHash("s3creT", hash));
  EXPECT_FALSE(checkPasswordHash("", hash));
  EXPECT_FALSE(checkPasswordHash("s3cret", hash.substr(0, hash.size() - 1)));
  std::string y = hash;
  y[2] = 'y';
  EXPECT_TRUE(checkPasswordHash("s3cret", y));
  // Not bcrypt: refused even with the right password.
  EXPECT_FALSE(checkPasswordHash("s3cret", hashOf("s3cret", "$1$abcdefgh$")));
  EXPECT_FALSE(checkPasswordHash("s3cret", ""));
}

TEST(BindChecksTest, AllowedAddresses) {
  EXPECT_TRUE(ipAllowed("192.0.2.1", {}));
  EXPECT_TRUE(ipAllowed("10.1.200.3", {"10.1.0.0/16"}));
  EXPECT_FALSE(ipAllowed("10.2.0.1", {"10.1.0.0/16"}));
  EXPECT_TRUE(ipAllowed("10.1.2.3", {"10.1.2.3"}));
  EXPECT_FALSE(ipAllowed("10.1.2.4", {"10.1.2.3"}));
  EXPECT_FALSE(ipAllowed("10.1.2.3", {"0.0.0.0/0"}));
  EXPECT_TRUE(ipAllowed("10.1.2.3", {"10.1.2.3/32"}));
  EXPECT_TRUE(ipAllowed("200.1.2.3", {"128.0.0.0/1"}));
  EXPECT_FALSE(ipAllowed("10.1.2.3", {"10.1.2.3/33", "10.1.2.3/-1", "10.1.2.3/x", "nonsense"}));
  EXPECT_TRUE(ipAllowed("10.1.2.3", {"nonsense", "10.0.0.0/8"}));
}

} // namespace
} // namespace quorvex
