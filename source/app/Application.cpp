#include "app/Application.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "admin/HttpServer.h"
#include "admin/OAuthStore.h"
#include "app/Log.h"
#include "app/Process.h"
#include "app/UpstreamStatus.h"
#include "cdr/SMPPCDRManager.h"
#include "cli/AdminCommandLine.h"
#include "config/TarnConfiguration.h"
#include "downstream/DownstreamRelay.h"
#include "downstream/SMPPLoadBalancerServer.h"
#include "downstream/SMPPLoadBalancerSession.h"
#include "metrics/MetricFamilies.h"
#include "smpp/SMPPSocketTls.h"
#include "smpp/TlsContext.h"
#include "tracker/DiskMessageIdStore.h"
#include "tracker/Tracker.h"
#include "upstream/SMPPUpstream.h"

namespace quorvex {
namespace {

const char* const kClass = "Application";

// The directory of the message-id store, in the working directory.
const char* const kMessageIdStoreDirectory = "msgidstore";

// Sleeps the whole duration even when signals interrupt it.
void sleepMillis(long millis) {
  struct timespec request = {millis / 1000, (millis % 1000) * 1000000L};
  struct timespec remaining = {0, 0};
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) {
    request = remaining;
  }
}

void logComposed(const char* function, const char* prefix) {
  const std::string text = std::string(prefix) + kApplicationId;
  // The composed text is the format itself; it holds no conversion.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  logApplication(LOG_INFO, nullptr, kClass, function, text.c_str());
#pragma GCC diagnostic pop
}

void shutdownCommon() {
  closeAuditLog();
  // The CDR manager goes last, so every record the other threads produced is written.
  SMPPCDRManager& cdr = SMPPCDRManager::instance();
  if (cdr.mode() != CDRMode::NONE) {
    cdr.shutdown();
  }
}

// Message-id owners live on disk for "dlr.msgid_ttl_hours" (default 72) so
// that receipts find their ESME after a restart or a crash. A map file left
// by an earlier version is imported once and then renamed.
bool openMessageIdStore(TarnConfiguration& config) {
  const int64_t hours = config.getSettingInt("dlr.msgid_ttl_hours", 72);
  std::string error;
  std::unique_ptr<DiskMessageIdStore> store = DiskMessageIdStore::open(
      kMessageIdStoreDirectory, static_cast<uint64_t>(std::max<int64_t>(hours, 1)) * 3600, error);
  if (store == nullptr) {
    logApplication(LOG_SEVERE, nullptr, kClass, "main", "Unable to open message-id store %s: %s",
                   kMessageIdStoreDirectory, error.c_str());
    std::fprintf(stderr, "Unable to open message-id store %s: %s\n", kMessageIdStoreDirectory,
                 error.c_str());
    return false;
  }
  tracker().useStore(std::move(store));
  const char* legacy = Tracker::kLegacyFileName;
  if (::access(legacy, F_OK) == 0) {
    const size_t imported = tracker().importLegacyFile(legacy);
    // Renamed only once the entries are on disk, so a failed import is
    // tried again at the next start.
    if (tracker().syncStore()) {
      const std::string done = std::string(legacy) + ".imported";
      std::rename(legacy, done.c_str());
      logApplication(LOG_INFO, nullptr, kClass, "main", "Imported %zu message ids from %s into %s",
                     imported, legacy, kMessageIdStoreDirectory);
    }
  }
  return true;
}

// Loads the certificate, key and authorities TLS needs: a listener's or the
// admin API's, and every TLS target's. A file that cannot be used is a
// configuration error: said, naming the file, and the gateway does not start.
bool loadTls(TarnConfiguration& config, std::unique_ptr<smpp::TlsContext>& serverTls) {
  const auto invalid = [](const std::string& reason) {
    logApplication(LOG_SEVERE, nullptr, kClass, "main", "%s", reason.c_str());
    logApplication(LOG_WARNING, nullptr, kClass, "main", "Configuration file %s invalid",
                   TarnConfiguration::kFileName);
    std::fprintf(stderr, "%s\n", reason.c_str());
    return false;
  };
  std::string error;
  if (config.getSettingInt("smpp.tls_port", 0) != 0 || config.getSettingBool("http.tls", false)) {
    serverTls = smpp::TlsContext::server(config.getSettingString("tls.cert_file", ""),
                                         config.getSettingString("tls.key_file", ""), error);
    if (serverTls == nullptr) {
      return invalid("TLS certificate unusable: " + error);
    }
  }
  std::vector<ConfTarget> targets;
  {
    std::lock_guard<std::mutex> guard(config.lock());
    for (const auto& [id, set] : config.confSharedTargetSets) {
      targets.insert(targets.end(), set.targets.begin(), set.targets.end());
    }
  }
  for (const ConfTarget& target : targets) {
    if (target.tls &&
        smppUpstream().tlsContext(target.tlsCaFile, target.tlsVerify, error) == nullptr) {
      return invalid("TLS authorities of target " + target.name + " unusable: " + error);
    }
  }
  return true;
}

// A whole number within [1, most] from the environment variable `name`,
// which tests set to shorten a deadline of the running gateway; 0 when unset
// or out of range (said in the log).
uint64_t testHookSeconds(const char* name, uint64_t most) {
  const char* text = std::getenv(name);
  if (text == nullptr) {
    return 0;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long seconds = std::strtoull(text, &end, 10);
  if (errno == 0 && end != text && *end == '\0' && *text != '-' && seconds >= 1 &&
      seconds <= most) {
    return seconds;
  }
  logApplication(LOG_WARNING, nullptr, kClass, "setClient",
                 "%s ignored: not a number of seconds from 1 to %llu", name,
                 static_cast<unsigned long long>(most));
  return 0;
}

} // namespace

int runApplication(int argc, char** argv) {
  // Log lines must reach a pipe or file as they happen, not at exit.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("Vantorel %s | Build time: %s %s | Build %s\n", kProductName, buildDate(),
              buildTime(), buildRevision());
  if (argc > 1 && std::strcmp(argv[1], "version") == 0) {
    return 0;
  }
  setLogLevel(LOG_INFO);

  TarnConfiguration& config = configuration();
  bool createDefault = false;
  if (!config.performLoad(createDefault)) {
    if (createDefault) {
      std::lock_guard<std::mutex> guard(config.lock());
      config.createDefaultConfiguration();
      logApplication(LOG_INFO, nullptr, kClass, "main", "Created configuration");
    }
    // A failed load never called setMode: the CDR manager is still in OPERATION.
    shutdownCommon();
    return 0;
  }

  const std::string clientId = config.getSettingString("auth.client_id", "");
  const std::string clientSecret = config.getSettingString("auth.client_secret", "");
  tracker().setDefaultSystemID(config.getSettingString("dlr.default_system_id", ""));
  tracker().setDisableMessageIDTracking(config.getSettingBool("dlr.disable_msgid_tracking", false));

  SMPPCDRManager& cdr = SMPPCDRManager::instance();
  cdr.initialize(config.getCDRSettingString("file_path", "cdrs.csv"));
  cdr.setMode(SMPPCDRManager::modeFromText(config.getCDRSettingString("mode", "operation")));

  // A command word runs the admin client and ends the process; any other
  // word falls through to server mode after the client's token request.
  if (argc > 1 && runAdminCommand(argc, argv, clientId, clientSecret)) {
    return 0;
  }

  logComposed("main", "Starting ");
  SMPPLoadBalancerServer& server = loadBalancerServer();
  {
    std::lock_guard<std::mutex> guard(server.whitelistMutex());
    server.setWhitelistFileName(SMPPLoadBalancerServer::kWhitelistFileName);
  }
  server.setWhitelistOnly(config.getSettingBool("ipwhitelistonly", false));
  server.setMaxConnectionsPerIP(
      static_cast<int>(config.getSettingInt("smpp.max_connections_per_ip", 20)));
  auditSwitch().store(config.getSettingBool("log.audit", false));

  oauthStore().setClient(clientId, clientSecret);
  // Let tests watch a token expire, or a handshake or a bind time out, in a
  // running gateway.
  if (const uint64_t seconds =
          testHookSeconds("QUORVEX_TOKEN_SECONDS", OAuthStore::kTokenSeconds)) {
    oauthStore().setTokenLifetime(seconds);
    logApplication(LOG_WARNING, nullptr, kClass, "setClient",
                   "Admin API tokens expire after %llu seconds (QUORVEX_TOKEN_SECONDS)",
                   static_cast<unsigned long long>(seconds));
  }
  if (const uint64_t seconds = testHookSeconds("QUORVEX_TLS_HANDSHAKE_SECONDS",
                                               smpp::SMPPSocketTls::kHandshakeMicros / 1000000)) {
    server.setHandshakeTimeout(seconds * 1000000);
    smppUpstream().setHandshakeTimeout(seconds * 1000000);
  }
  if (const uint64_t seconds = testHookSeconds(
          "QUORVEX_BIND_TIMEOUT_SECONDS", SMPPLoadBalancerSession::kBindTimeoutMicros / 1000000)) {
    SMPPLoadBalancerSession::setBindTimeout(seconds * 1000000);
  }
  warnIfNoClientCredentials(clientId, clientSecret);
  static std::unique_ptr<smpp::TlsContext> serverTls;
  if (!loadTls(config, serverTls)) {
    shutdownCommon();
    return 0;
  }
  const int64_t tlsPort = config.getSettingInt("smpp.tls_port", 0);
  server.setTlsListener(static_cast<int>(tlsPort), serverTls.get());
  setHttpTls(config.getSettingBool("http.tls", false) ? serverTls.get() : nullptr);
  registerMetrics();
  if (!openMessageIdStore(config)) {
    shutdownCommon();
    return 1;
  }
  static UpstreamStatus upstreamStatus;
  setStatusSource(&upstreamStatus);
  http_start();
  sleepMillis(200);
  if (isHttpRunning()) {
    SMPPUpstream& upstream = smppUpstream();
    upstream.setDownstreamPort(&downstreamRelay());
    upstream.start();
    const int64_t port = config.getSettingInt("smpp.port", 2775);
    server.run(static_cast<int>(port), 0, true);
    upstream.stop();
  }
  // Nothing reads or writes mappings any more: what is queued is written.
  tracker().useStore(nullptr);
  http_stop();
  logComposed("main", "Stopped ");

  shutdownCommon();
  return 0;
}

} // namespace quorvex
