// SMPP over TLS on both sides of the gateway and its HTTPS admin API, with
// the real gateway, simulator, load generator and command-line client, and
// certificates made with the openssl command as an operator would.
#include <curl/curl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <tuple>
#include <vector>

#include "common/Network.h"
#include "integration/GatewayFixture.h"
#include "smpp/SMPPSocketTls.h"
#include "smpp/TlsContext.h"
#include "support/ToolProcesses.h"

namespace quorvex::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using tools::test::SimulatorProcess;

// Sends `octets` on `fd`, then reads and discards what the peer sends until
// it closes the connection, and closes `fd`. The seconds that took; -1 when
// it is still open after `limit`, -2 when the octets could not be sent.
double secondsUntilClosed(int fd, std::chrono::seconds limit, const std::string& octets = "") {
  const auto start = std::chrono::steady_clock::now();
  const timeval timeout{static_cast<time_t>(limit.count()), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  const bool sent =
      ::send(fd, octets.data(), octets.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(octets.size());
  char discard[256];
  ssize_t got = 0;
  while (sent && (got = ::recv(fd, discard, sizeof(discard), 0)) > 0) {
  }
  const bool open = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  ::close(fd);
  return !sent  ? -2
         : open ? -1
                : std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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

  // A target reached over TLS, with `members` added.
  static json tlsTarget(const std::string& name, uint16_t port, const json& members) {
    json smsc = target(name, port);
    smsc.update(members);
    smsc["tls"] = true;
    return smsc;
  }

  // A configuration with an SMPP TLS port and HTTPS on the "gateway"
  // certificate, ESME "acme"/"pw" on target set "ts" of `targets`, and the
  // `others` in a set no ESME uses.
  json configuration(const json& targets, const json& others = json::array()) {
    json config = baseConfig();
    tlsPort_ = freePort();
    httpPort_ = config["base"]["http.port"].get<uint16_t>();
    config["base"].update({{"smpp.tls_port", tlsPort_},
                           {"tls.cert_file", pem("gateway")},
                           {"tls.key_file", key("gateway")},
                           {"http.tls", true}});
    config["targetsets"] = json::array({targetSet("ts", targets), targetSet("aside", others)});
    config["esme"] = json::array({account("acme", "pw", {{"sharedtargetsetid", "ts"}})});
    return config;
  }

  // The targets whose bind is connected and bound, as the HTTPS status
  // report shows them: "name:port".
  std::set<std::string> boundTargets() {
    std::string body;
    httpsGet(httpPort_, "/status", pem("gateway"), body);
    const json status = json::parse(body, nullptr, false);
    std::set<std::string> names;
    for (const json& bind :
         status.is_object() ? status.value("statusReport", json::array()) : json::array()) {
      if (bind["connected"] == true && bind["bind_state"] == 2) {
        names.insert(bind["smsc_name"].get<std::string>() + ":" + bind["port"].dump());
      }
    }
    return names;
  }

  void TearDown() override { ::unsetenv("QUORVEX_TLS_HANDSHAKE_SECONDS"); }

  static TempDir* certificates_;
  std::unique_ptr<Gateway> gateway_;
  uint16_t tlsPort_ = 0;
  uint16_t httpPort_ = 0;
};

TempDir* TlsTest::certificates_ = nullptr;

// One gateway, with the handshake deadline cut to a second, and its targets:
// "smsc", verified, carries an ESME's traffic over TLS on both sides;
// "wrongname" presents a trusted certificate for another name and is
// refused, "unverified" the same one with verification off and is bound;
// "silent" accepts connections and never answers. Meanwhile plain and
// stalled peers knock on the SMPP TLS and the HTTPS port, and the CLI works
// over HTTPS.
TEST_F(TlsTest, VerifiedTrafficBadNamesSilentSmscPlainAndStalledPeersAndTheCliOverHttps) {
  ::setenv("QUORVEX_TLS_HANDSHAKE_SECONDS", "1", 1);
  auto smsc = simulator("gateway");
  auto other = simulator("other");
  std::string error;
  const int listener = tools::listenTcp("127.0.0.1", 0, error);
  ASSERT_GE(listener, 0) << error;
  const json config = configuration(
      json::array({tlsTarget("smsc", smsc->port(), {{"tls_ca_file", pem("gateway")}})}),
      json::array(
          {tlsTarget("wrongname", other->port(), {{"tls_ca_file", pem("other")}}),
           tlsTarget("unverified", other->port(), {{"tls_verify", false}, {"systemid", "lax"}}),
           tlsTarget("silent", tools::localPort(listener), json::object())}));
  // Every connection comes from 127.0.0.1: whitelisted, the connections
  // closed here on purpose never get the address blocked.
  gateway_ = std::make_unique<Gateway>(config, "127.0.0.1\n");
  ASSERT_TRUE(gateway_->ready()) << gateway_->output();

  // The silent SMSC's connection is closed at the deadline; the next attempt
  // comes after the 3 s back-off step.
  for (int attempt = 0; attempt < 2; ++attempt) {
    pollfd waiting{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&waiting, 1, 10000), 1) << attempt << gateway_->output();
    const double seconds = secondsUntilClosed(::accept(listener, nullptr, nullptr), 5s);
    EXPECT_TRUE(seconds >= 0 && seconds < 2.5) << seconds;
  }
  ::close(listener);
  const std::set<std::string> expectedBound{"smsc:" + std::to_string(smsc->port()),
                                            "unverified:" + std::to_string(other->port())};
  ASSERT_TRUE(eventually([&] { return boundTargets() == expectedBound; })) << gateway_->output();

  // Within the bind's and the account's rate limits: every submit is accepted.
  TempDir loadDir;
  ChildProcess load(QUORVEX_LOADGEN,
                    {"--tls", "--port", std::to_string(tlsPort_), "--system-id", "acme",
                     "--password", "pw", "--window", "20", "--receipts", "--duration", "3",
                     "--rate", "2000"},
                    loadDir.path(), "loadgen");
  std::this_thread::sleep_for(300ms); // the load is bound and sending
  // A bind in clear: the handshake fails on its first octets.
  const auto bind = SmppTestClient::frame(0x09, 1, 0, SmppTestClient::bindBody("acme", "pw", 0x34));
  const double plain =
      secondsUntilClosed(connectLoopback(tlsPort_), 10s, std::string(bind.begin(), bind.end()));
  EXPECT_TRUE(plain >= 0 && plain < 0.9) << plain;
  // The first octets of a record, then nothing: closed at the handshake
  // deadline, costing the loop nothing meanwhile.
  const double stalled = secondsUntilClosed(connectLoopback(tlsPort_), 10s, "\x16\x03");
  EXPECT_TRUE(stalled > 0.8 && stalled < 5) << stalled;
  ASSERT_EQ(load.waitExit(30s), 0) << load.errors() << load.output();
  const auto result = tools::test::lastKeyValues(load.output(), "loadgen result");
  EXPECT_EQ(result.at("missing"), "0") << load.output();
  EXPECT_EQ(result.at("sent"), result.at("status_0x00000000")) << load.output();
  EXPECT_EQ(result.at("sent"), result.at("receipts")) << load.output();
  EXPECT_EQ(result.at("receipts_missing"), "0") << load.output();

  // HTTPS peers stalled inside a record, before or after the handshake,
  // hold nothing but themselves; plain HTTP gets no answer.
  const int before = connectLoopback(httpPort_);
  ASSERT_EQ(::send(before, "\x16", 1, MSG_NOSIGNAL), 1);
  const auto anyServer = smpp::TlsContext::client("", false, error);
  const int inside = connectLoopback(httpPort_);
  const auto session = tools::handshakeTls(
      smpp::SMPPSocketTls::connecting(*anyServer, inside, "127.0.0.1"), 5000, error);
  ASSERT_NE(session, nullptr) << error;
  ASSERT_EQ(::send(inside, "\x17\x03\x03\x00\x40\x01\x02\x03", 8, MSG_NOSIGNAL), 8);
  std::string body;
  EXPECT_EQ(httpsGet(httpPort_, "/status", pem("gateway"), body), 200);
  EXPECT_EQ(httpExchange(httpPort_, request("GET", "/status")).raw.find("HTTP/1.1"),
            std::string::npos);
  // The CLI lists the sets as the API returns them (the configuration echoed
  // at start names them indented otherwise); with another certificate in
  // its configuration it trusts no one else.
  const std::string listed = "[\n  \"ts\",\n  \"aside\"\n]";
  TempDir cliDir;
  for (const std::string& certificate : {pem("gateway"), pem("other")}) {
    json cliConfig = config;
    cliConfig["base"]["tls.cert_file"] = certificate;
    cliDir.write("quorvex.conf", cliConfig.dump(2));
    GatewayProcess cli(cliDir.path(), {"targetSetList"});
    ASSERT_EQ(cli.waitExit(), 0) << cli.errors();
    EXPECT_EQ(cli.output().find(listed) != std::string::npos, certificate == pem("gateway"))
        << cli.output();
  }
  ::close(before);
  ::close(inside);

  // The wrong name (other.example, not 127.0.0.1) was refused throughout,
  // though the chain is trusted.
  EXPECT_TRUE(other->process().waitForOutput("smsc-sim tls refused"));
  EXPECT_EQ(occurrences(other->process().output(), "smsc-sim bind system_id=gw "), 0U);
  EXPECT_EQ(boundTargets(), expectedBound);
}

TEST_F(TlsTest, UnusableCertificateOrKeyKeepsTheGatewayFromStarting) {
  json config = configuration(json::array());
  // tls.cert_file, tls.key_file, and the file the error must name.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {certificates_->file("missing.pem"), key("gateway"), "missing.pem"},
      {key("gateway"), key("gateway"), "gateway.key"}, // a key where the certificate belongs
      {pem("gateway"), pem("other"), "other.pem"},     // a certificate where the key belongs
      {pem("gateway"), key("other"), "other.key"},     // the key of another certificate
  };
  const std::string keyText = certificates_->read("gateway.key");
  const std::string keyLine = keyText.substr(keyText.find('\n') + 1, 40);
  for (const auto& [certificate, keyFile, named] : cases) {
    config["base"]["tls.cert_file"] = certificate;
    config["base"]["tls.key_file"] = keyFile;
    TempDir dir;
    dir.write("quorvex.conf", config.dump(2));
    GatewayProcess gateway(dir.path());
    EXPECT_EQ(gateway.waitExit(), 0);
    const std::string output = gateway.output() + gateway.errors();
    EXPECT_NE(output.find(named), std::string::npos) << output;
    EXPECT_EQ(output.find("Listening for SMPP"), std::string::npos) << output;
    EXPECT_EQ(output.find(keyLine), std::string::npos) << "key material in the log";
  }
}

} // namespace
} // namespace quorvex::test
