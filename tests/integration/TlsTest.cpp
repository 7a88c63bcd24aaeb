// SMPP over TLS on both sides of the gateway and its HTTPS admin API, with
// the real gateway, simulator, load generator and command-line client, and
// certificates made with the openssl command as an operator would.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/Network.h"
#include "integration/GatewayFixture.h"
#include "smpp/SMPPSocketTls.h"
#include "smpp/TlsContext.h"
#include "support/HttpTestClient.h"
#include "support/ToolProcesses.h"

namespace quorvex::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using tools::test::SimulatorProcess;

// Seconds until the server closes `fd` (reading and discarding what it
// sends); -1 when it is still open after `limit`.
double secondsUntilClosed(int fd, std::chrono::milliseconds limit) {
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + limit;
  for (auto now = start; now < deadline; now = std::chrono::steady_clock::now()) {
    pollfd waiting{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    char discard[256];
    if (::recv(fd, discard, sizeof(discard), 0) <= 0) {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
  }
  return -1;
}

size_t appendTo(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// GET over HTTPS trusting only `certificate`; the status code, 0 when the
// request failed (a refused certificate included).
long httpsGet(uint16_t port, const std::string& path, const std::string& certificate,
              std::string& body) {
  CURL* curl = curl_easy_init();
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + path;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_CAINFO, certificate.c_str());
  curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendTo);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  long status = 0;
  if (curl_easy_perform(curl) == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  }
  curl_easy_cleanup(curl);
  return status;
}

class TlsTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    certificates_ = new TempDir;
    makeCertificate("gateway", "IP:127.0.0.1");
    makeCertificate("other", "DNS:other.example");
  }
  static void TearDownTestSuite() { delete certificates_; }

  static void makeCertificate(const std::string& name, const std::string& altName) {
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=" +
        name + " -addext subjectAltName=" + altName + " -keyout " + key(name) + " -out " +
        pem(name) + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  static std::string pem(const std::string& name) { return certificates_->file(name + ".pem"); }
  static std::string key(const std::string& name) { return certificates_->file(name + ".key"); }

  // A simulator speaking TLS with the certificate `name`.
  static std::unique_ptr<SimulatorProcess> simulator(const std::string& name) {
    return std::make_unique<SimulatorProcess>(std::vector<std::string>{
        "--tls", "--cert", pem(name), "--key", key(name), "--receipts", "text"});
  }

  // A configuration with an SMPP TLS port and HTTPS on the "gateway"
  // certificate, ESME "acme"/"pw" on target set "ts" whose one target is
  // the simulator on `smscPort` with the given TLS members.
  json configuration(uint16_t smscPort, const json& targetTls) {
    json config = baseConfig();
    tlsPort_ = freePort();
    httpPort_ = config["base"]["http.port"].get<uint16_t>();
    config["base"].update({{"smpp.tls_port", tlsPort_},
                           {"tls.cert_file", pem("gateway")},
                           {"tls.key_file", key("gateway")},
                           {"http.tls", true}});
    json smsc = target("smsc", smscPort);
    smsc.update(targetTls);
    config["targetsets"] = json::array(
        {{{"id", "ts"}, {"name", "T"}, {"submits_enabled", true}, {"targets", {smsc}}}});
    config["esme"] =
        json::array({{{"systemid", "acme"}, {"password", "pw"}, {"sharedtargetsetid", "ts"}}});
    return config;
  }

  // Every connection comes from 127.0.0.1: whitelisted, the connections
  // these tests close on purpose never get the address blocked.
  void start(const json& config) {
    gateway_ = std::make_unique<Gateway>(config, "127.0.0.1\n");
    ASSERT_TRUE(gateway_->ready()) << gateway_->output();
  }

  // The target's bind, as the HTTPS status report shows it, is bound.
  bool bound(std::chrono::milliseconds limit = 20s) {
    return eventually(
        [&] {
          std::string body;
          const json status = httpsGet(httpPort_, "/status", pem("gateway"), body) == 200
                                  ? json::parse(body, nullptr, false)
                                  : json();
          return status.is_object() && status["summary"]["bindTRX"] == 1;
        },
        limit);
  }

  std::vector<std::string> loadArguments(const std::string& extra) const {
    std::vector<std::string> args = {"--tls",       "--port",   std::to_string(tlsPort_),
                                     "--system-id", "acme",     "--password",
                                     "pw",          "--window", "20"};
    args.push_back(extra);
    return args;
  }

  void TearDown() override {
    if (gateway_) {
      EXPECT_EQ(gateway_->stop(), 0) << gateway_->process().errors();
    }
    ::unsetenv("QUORVEX_TLS_HANDSHAKE_SECONDS");
  }

  static TempDir* certificates_;
  std::unique_ptr<Gateway> gateway_;
  uint16_t tlsPort_ = 0;
  uint16_t httpPort_ = 0;
};

TempDir* TlsTest::certificates_ = nullptr;

TEST_F(TlsTest, SmscCertificateForAnotherNameIsRefusedUnlessVerificationIsOff) {
  auto smsc = simulator("other");
  // The chain is trusted; only the name (other.example, not 127.0.0.1) is wrong.
  start(configuration(smsc->port(), {{"tls", true}, {"tls_ca_file", pem("other")}}));
  ASSERT_TRUE(smsc->process().waitForOutput("smsc-sim tls refused")) << gateway_->output();
  EXPECT_FALSE(bound(1s));
  EXPECT_EQ(occurrences(smsc->process().output(), "smsc-sim bind "), 0U);
  ASSERT_EQ(gateway_->stop(), 0);

  start(configuration(smsc->port(), {{"tls", true}, {"tls_verify", false}}));
  EXPECT_TRUE(bound()) << gateway_->output();
  EXPECT_TRUE(smsc->process().waitForOutput("smsc-sim bind system_id=gw type=TRX"));
}

// An ESME over TLS submits and gets its receipts from an SMSC reached over
// verified TLS, while plain and stalled peers knock on the TLS port.
TEST_F(TlsTest, ReceiptsCrossBothSidesWhilePlainAndStalledPeersAreClosed) {
  ::setenv("QUORVEX_TLS_HANDSHAKE_SECONDS", "1", 1);
  auto smsc = simulator("gateway");
  start(configuration(smsc->port(), {{"tls", true}, {"tls_ca_file", pem("gateway")}}));
  ASSERT_TRUE(bound()) << gateway_->output();
  TempDir loadDir;
  // Within the bind's and the account's rate limits: every submit is accepted.
  std::vector<std::string> args = loadArguments("--receipts");
  args.insert(args.end(), {"--duration", "3", "--rate", "2000"});
  ChildProcess load(QUORVEX_LOADGEN, args, loadDir.path(), "loadgen");
  std::this_thread::sleep_for(300ms); // the load is bound and sending

  // A bind in clear: the handshake fails on its first octets.
  const int plain = connectLoopback(tlsPort_);
  ASSERT_GE(plain, 0);
  const std::string bind("\x00\x00\x00\x1e\x00\x00\x00\x09\x00\x00\x00\x00\x00\x00\x00\x01"
                         "acme\x00pw\x00\x00\x34\x00\x00\x00",
                         30);
  ASSERT_EQ(::send(plain, bind.data(), bind.size(), MSG_NOSIGNAL), 30);
  const double plainClosedAfter = secondsUntilClosed(plain, 5s);
  ::close(plain);
  EXPECT_GE(plainClosedAfter, 0);
  EXPECT_LT(plainClosedAfter, 0.9);

  // The first octets of a record, then nothing: closed at the (shortened)
  // handshake deadline, costing the loop nothing meanwhile.
  const int silent = connectLoopback(tlsPort_);
  ASSERT_GE(silent, 0);
  ASSERT_EQ(::send(silent, "\x16\x03", 2, MSG_NOSIGNAL), 2);
  const double silentClosedAfter = secondsUntilClosed(silent, 10s);
  ::close(silent);
  EXPECT_GT(silentClosedAfter, 0.8);
  EXPECT_LT(silentClosedAfter, 5);

  ASSERT_EQ(load.waitExit(30s), 0) << load.errors() << load.output();
  const auto result = tools::test::lastKeyValues(load.output(), "loadgen result");
  EXPECT_EQ(result.at("missing"), "0") << load.output();
  EXPECT_EQ(result.at("sent"), result.at("status_0x00000000")) << load.output();
  EXPECT_EQ(result.at("sent"), result.at("receipts")) << load.output();
  EXPECT_EQ(result.at("receipts_missing"), "0") << load.output();
}

// The console over HTTPS is driven in the browser test.
TEST_F(TlsTest, CliWorksOverHttpsAndOtherClientsAreRefused) {
  auto smsc = simulator("gateway");
  const json config = configuration(smsc->port(), {{"tls", true}, {"tls_verify", false}});
  start(config);
  // Peers stalled inside a record, before or after the handshake, hold
  // nothing but themselves.
  const int stalled = connectLoopback(httpPort_);
  ASSERT_EQ(::send(stalled, "\x16", 1, MSG_NOSIGNAL), 1);
  std::string error;
  const auto anyServer = smpp::TlsContext::client("", false, error);
  const int inside = connectLoopback(httpPort_);
  const auto session = tools::handshakeTls(
      smpp::SMPPSocketTls::connecting(*anyServer, inside, "127.0.0.1"), 5000, error);
  ASSERT_NE(session, nullptr) << error;
  ASSERT_EQ(::send(inside, "\x17\x03\x03\x00\x40\x01\x02\x03", 8, MSG_NOSIGNAL), 8);
  std::string status;
  EXPECT_EQ(httpsGet(httpPort_, "/status", pem("gateway"), status), 200);
  // A client trusting another certificate is refused.
  std::string refused;
  EXPECT_EQ(httpsGet(httpPort_, "/status", pem("other"), refused), 0);
  // Plain HTTP on the HTTPS port gets no answer.
  EXPECT_TRUE(httpExchange(httpPort_, request("GET", "/status")).raw.find("HTTP/1.1") ==
              std::string::npos);

  TempDir cliDir;
  cliDir.write("quorvex.conf", config.dump(2));
  GatewayProcess cli(cliDir.path(), {"targetSetList"});
  ASSERT_EQ(cli.waitExit(), 0) << cli.errors();
  // The list as the API returns it (the configuration echoed at start also
  // names the set, indented otherwise).
  const std::string listed = "[\n  \"ts\"\n]";
  EXPECT_NE(cli.output().find(listed), std::string::npos) << cli.output();
  // A CLI whose configuration names another certificate trusts no one else.
  json other = config;
  other["base"]["tls.cert_file"] = pem("other");
  cliDir.write("quorvex.conf", other.dump(2));
  GatewayProcess mistrusting(cliDir.path(), {"targetSetList"});
  ASSERT_EQ(mistrusting.waitExit(), 0);
  EXPECT_EQ(mistrusting.output().find(listed), std::string::npos) << mistrusting.output();
  ::close(stalled);
  ::close(inside);
}

TEST_F(TlsTest, SilentSmscIsDroppedAtTheHandshakeDeadlineAndTriedAgain) {
  ::setenv("QUORVEX_TLS_HANDSHAKE_SECONDS", "1", 1);
  // Connections complete in the kernel's queue, and nothing ever answers.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  socklen_t length = sizeof(address);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  start(configuration(ntohs(address.sin_port), {{"tls", true}}));
  // The first attempt is closed after a second, the next comes after the
  // 3 s back-off step.
  int attempts = 0;
  std::vector<double> closedAfter;
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (attempts < 2 && std::chrono::steady_clock::now() < deadline) {
    pollfd waiting{listener, POLLIN, 0};
    if (::poll(&waiting, 1, 500) == 1) {
      const int connection = ::accept(listener, nullptr, nullptr);
      ++attempts;
      closedAfter.push_back(secondsUntilClosed(connection, 5s));
      ::close(connection);
    }
  }
  ::close(listener);
  ASSERT_EQ(attempts, 2) << gateway_->output();
  for (const double seconds : closedAfter) {
    EXPECT_GE(seconds, 0) << "never closed";
    EXPECT_LT(seconds, 2.5);
  }
  EXPECT_FALSE(bound(100ms));
}

TEST_F(TlsTest, UnusableCertificateOrKeyKeepsTheGatewayFromStarting) {
  json config = configuration(freePort(), json::object());
  struct Case {
    std::string certificate; // tls.cert_file
    std::string key;         // tls.key_file
    std::string named;       // the file the error must name
  };
  const Case cases[] = {
      {certificates_->file("missing.pem"), key("gateway"), "missing.pem"},
      {key("gateway"), key("gateway"), "gateway.key"}, // a key where the certificate belongs
      {pem("gateway"), pem("other"), "other.pem"},     // a certificate where the key belongs
      {pem("gateway"), key("other"), "other.key"},     // the key of another certificate
  };
  const std::string keyText = certificates_->read("gateway.key");
  const std::string keyLine = keyText.substr(keyText.find('\n') + 1, 40);
  for (const Case& c : cases) {
    config["base"]["tls.cert_file"] = c.certificate;
    config["base"]["tls.key_file"] = c.key;
    TempDir dir;
    dir.write("quorvex.conf", config.dump(2));
    GatewayProcess gateway(dir.path());
    EXPECT_EQ(gateway.waitExit(), 0);
    const std::string output = gateway.output() + gateway.errors();
    EXPECT_NE(output.find(c.named), std::string::npos) << output;
    EXPECT_EQ(output.find("Listening for SMPP"), std::string::npos) << output;
    EXPECT_EQ(output.find(keyLine), std::string::npos) << "key material in the log";
  }
}

} // namespace
} // namespace quorvex::test
