#include "cli/AdminCommandLine.h"

#include <iostream>
#include <vector>

#include "cli/AdminClient.h"
#include "cli/AdminCommands.h"
#include "config/TarnConfiguration.h"

namespace quorvex {

bool runAdminCommand(int argc, char** argv, const std::string& clientId,
                     const std::string& clientSecret) {
  TarnConfiguration& config = configuration();
  const int64_t port = config.getSettingInt("http.port", 80);
  const std::string certificate =
      config.getSettingBool("http.tls", false) ? config.getSettingString("tls.cert_file", "") : "";
  return runAdminCommand(argc, argv, clientId, clientSecret, static_cast<uint16_t>(port), std::cout,
                         std::cerr, certificate);
}

bool runAdminCommand(int argc, char** argv, const std::string& clientId,
                     const std::string& clientSecret, uint16_t port, std::ostream& out,
                     std::ostream& err, const std::string& tlsCertificate) {
  if (argc < 2) {
    return false;
  }
  const std::string scheme = tlsCertificate.empty() ? "http" : "https";
  AdminClient client(scheme + "://127.0.0.1:" + std::to_string(port), err, tlsCertificate);
  // Every first argument costs one token request, a command word or not.
  client.requestAccessToken(clientId, clientSecret, out);
  const std::string word = argv[1];
  if (!AdminCommands::isCommand(word)) {
    return false;
  }
  AdminCommands commands(client, out);
  commands.run(word, std::vector<std::string>(argv + 2, argv + argc));
  return true;
}

} // namespace quorvex
