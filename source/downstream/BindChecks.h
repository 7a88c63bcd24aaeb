// The credential and address checks of an ESME bind.
#pragma once

#include <string>
#include <vector>

namespace quorvex {

// True when `password` hashes to `hash` with bcrypt ("$2a$", "$2b$", "$2y$");
// any other kind of hash fails.
bool checkPasswordHash(const std::string& password, const std::string& hash);

// True when `peerIp` lies in one entry of `allowed`: an IPv4 address, or
// address/n with n from 1 to 32. An empty list allows every address; entries
// that do not parse, and /0, match nobody.
bool ipAllowed(const std::string& peerIp, const std::vector<std::string>& allowed);

} // namespace quorvex
