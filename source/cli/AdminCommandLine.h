// The command mode of the executable: start-up step 8 hands the first
// argument and the configured client credentials to runAdminCommand.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace quorvex {

// Requests a token from the local gateway (on "http.port" of the loaded
// configuration, default 80, over HTTPS when "http.tls" is set), then runs argv[1] when it is a
// command word. Returns true when it was one (the process then exits with status 0) and false when
// the process continues in server mode.
bool runAdminCommand(int argc, char** argv, const std::string& clientId,
                     const std::string& clientSecret);

// The same against a given port and streams; with `tlsCertificate` over
// HTTPS, trusting that certificate (the gateway's own) and no other.
bool runAdminCommand(int argc, char** argv, const std::string& clientId,
                     const std::string& clientSecret, uint16_t port, std::ostream& out,
                     std::ostream& err, const std::string& tlsCertificate = "");

} // namespace quorvex
