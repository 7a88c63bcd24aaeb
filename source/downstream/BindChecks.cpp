#include "downstream/BindChecks.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <netinet/in.h>

#include <memory>

#include <openssl/crypto.h>

namespace quorvex {
namespace {

bool isBcrypt(const std::string& hash) {
  return hash.rfind("$2a$", 0) == 0 || hash.rfind("$2b$", 0) == 0 || hash.rfind("$2y$", 0) == 0;
}

// Prefix length of "n": decimal digits only, 1 to 32; -1 otherwise.
int prefixLength(const std::string& text) {
  if (text.empty() || text.size() > 2) {
    return -1;
  }
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return -1;
    }
    n = n * 10 + (c - '0');
  }
  return n >= 1 && n <= 32 ? n : -1;
}

bool entryMatches(const in_addr& peer, const std::string& entry) {
  const size_t slash = entry.find('/');
  int bits = 32;
  if (slash != std::string::npos) {
    bits = prefixLength(entry.substr(slash + 1));
    if (bits < 0) {
      return false;
    }
  }
  in_addr network{};
  if (inet_aton(entry.substr(0, slash).c_str(), &network) == 0) {
    return false;
  }
  const uint32_t mask = bits == 32 ? 0xffffffffU : ~(0xffffffffU >> bits);
  return (ntohl(peer.s_addr) & mask) == (ntohl(network.s_addr) & mask);
}

} // namespace

bool checkPasswordHash(const std::string& password, const std::string& hash) {
  if (!isBcrypt(hash)) {
    return false;
  }
  // Value-initialised, so its initialised flag is clear; too large for the stack.
  auto data = std::make_unique<crypt_data>();
  const char* computed = crypt_r(password.c_str(), hash.c_str(), data.get());
  if (computed == nullptr) {
    return false;
  }
  const std::string result(computed);
  return result.size() == hash.size() &&
         CRYPTO_memcmp(result.data(), hash.data(), hash.size()) == 0;
}

bool ipAllowed(const std::string& peerIp, const std::vector<std::string>& allowed) {
  if (allowed.empty()) {
    return true;
  }
  in_addr peer{};
  if (inet_aton(peerIp.c_str(), &peer) == 0) {
    return false;
  }
  for (const std::string& entry : allowed) {
    if (entryMatches(peer, entry)) {
      return true;
    }
  }
  return false;
}

} // namespace quorvex
