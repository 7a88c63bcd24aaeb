// The upstream side of the real gateway against the SMSC simulator: SMSC
// refusals relayed, message tracking across a restart, admin changes
// and the status report of the upstream binds, correlated call-detail
// records, concatenated parts kept on one SMSC, and MO routing.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/HttpTestClient.h"
#include "support/SmppTestClient.h"
#include "support/TestProcess.h"
#include "support/ToolProcesses.h"

namespace quorvex {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::GatewayProcess;
using test::SmppTestClient;
using test::TempDir;
using tools::test::SimulatorProcess;

constexpr uint32_t kBindTransceiver = 0x00000009;
constexpr uint32_t kSubmitSMResp = 0x80000004;
constexpr uint32_t kDeliverSM = 0x00000005;

// Polls `output` until it holds `what` at least `count` times.
template <typename Output>
bool waitForCount(Output output, const std::string& what, size_t count,
                  std::chrono::milliseconds timeout = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (test::occurrences(output(), what) >= count) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

json targetFor(const std::string& name, uint16_t port, int bindqty = 1, int weight = 1) {
  return {{"name", name},       {"host", "127.0.0.1"}, {"port", port},
          {"bindqty", bindqty}, {"systemid", "gw"},    {"password", ""},
          {"systemtype", ""},   {"weight", weight},    {"admindown", false}};
}

// The comma-separated columns of each row of `csv` whose message id is `messageId`.
std::vector<std::vector<std::string>> rowsOf(const std::string& csv, const std::string& messageId) {
  std::vector<std::vector<std::string>> rows;
  for (size_t at = 0, end = 0; at < csv.size(); at = end + 1) {
    end = csv.find('\n', at);
    if (end == std::string::npos) {
      end = csv.size();
    }
    const std::string row = csv.substr(at, end - at);
    if (row.rfind(messageId + ",", 0) != 0) {
      continue;
    }
    std::vector<std::string> columns;
    for (size_t from = 0, comma = 0; comma != std::string::npos; from = comma + 1) {
      comma = row.find(',', from);
      columns.push_back(row.substr(from, comma == std::string::npos ? comma : comma - from));
    }
    rows.push_back(std::move(columns));
  }
  return rows;
}

// Column positions of a call-detail row.
constexpr size_t kSubmitTime = 3, kDlrReceivedTime = 7, kSubmitStatus = 10, kDeliveryStatus = 13,
                 kEsmeId = 15, kSmscName = 18, kColumns = 27;

// A submit_sm body of part `part` of `total` of a message with UDH reference 0x2A.
std::vector<uint8_t> concatenatedPart(int part, int total) {
  test::SubmitFields fields;
  fields.text = std::string("\x05\x00\x03\x2A", 4) + static_cast<char>(total) +
                static_cast<char>(part) + "part";
  std::vector<uint8_t> body = SmppTestClient::submitBody(fields);
  // esm_class follows service_type, the two addresses and their TON/NPI.
  const size_t esmClassAt = 1 + 2 + fields.source.size() + 1 + 2 + fields.destination.size() + 1;
  body[esmClassAt] = 0x40;
  return body;
}

// Sends `body` as a submit_sm; the response status, or nothing without a response.
std::optional<uint32_t> submitRaw(SmppTestClient& esme, const std::vector<uint8_t>& body) {
  const uint32_t sequence = esme.nextSequence();
  if (!esme.send(0x00000004, sequence, body)) {
    return std::nullopt;
  }
  const auto response = esme.readCommand(kSubmitSMResp);
  if (!response || response->sequence != sequence) {
    return std::nullopt;
  }
  return response->status;
}

// A gateway in a directory of its own whose target set "ts" holds the given
// targets and whose ESME "acme" (password "pw") uses it.
class UpstreamEndToEndTest : public ::testing::Test {
protected:
  void startGateway(const json& targets, const json& cdr = json::object()) {
    smppPort_ = test::freePort();
    httpPort_ = test::freePort();
    json cdrSettings = {{"batch_flush_interval", 1}};
    cdrSettings.update(cdr);
    const json doc = {
        {"base",
         {{"smpp.port", smppPort_},
          {"http.port", httpPort_},
          {"auth.client_id", "ops"},
          {"auth.client_secret", "s3cret"},
          {"log.audit", true}}},
        {"cdr", cdrSettings},
        {"targetsets",
         {{{"id", "ts"},
           {"name", "Test"},
           {"submits_enabled", submitsEnabled_},
           {"targets", targets}}}},
        {"esme", esmes_},
    };
    dir_.write("quorvex.conf", doc.dump(2));
    launch();
  }

  // Starts the gateway in the prepared directory.
  void launch() {
    gateway_ = std::make_unique<GatewayProcess>(dir_.path());
    ASSERT_TRUE(gateway_->waitForOutput("Listening for SMPP on port")) << gateway_->output();
  }

  // One simulator with the given options as the only single-bind target.
  void startWith(std::vector<std::string> simulatorArgs, int bindqty = 1,
                 const json& cdr = json::object()) {
    simulator_ = std::make_unique<SimulatorProcess>(std::move(simulatorArgs));
    startGateway(json::array({targetFor("smsc1", simulator_->port(), bindqty)}), cdr);
    ASSERT_TRUE(waitForBinds(*simulator_, static_cast<size_t>(bindqty))) << gateway_->output();
    ASSERT_TRUE(waitForGatewayBinds(static_cast<size_t>(bindqty))) << gateway_->output();
  }

  // The gateway has taken `count` bind responses with status OK: only then
  // does the pool offer the binds (the simulator's line comes earlier).
  bool waitForGatewayBinds(size_t count) {
    return waitForCount([&] { return gateway_->output(); }, ") OK (", count);
  }

  static bool waitForBinds(SimulatorProcess& simulator, size_t count,
                           std::chrono::milliseconds timeout = 20s) {
    return waitForCount([&] { return simulator.process().output(); }, "smsc-sim bind system_id=gw",
                        count, timeout);
  }

  void stopGateway() {
    gateway_->signal(SIGTERM);
    EXPECT_EQ(gateway_->waitExit(), 0) << gateway_->errors();
    gateway_.reset();
  }

  void TearDown() override {
    if (gateway_) {
      stopGateway();
    }
  }

  // A submit asking for a receipt; the SMSC's message id from its response.
  std::string submitForReceipt(SmppTestClient& esme, test::SubmitFields fields = {}) {
    fields.registeredDelivery = 1;
    const auto response = esme.submitAndWait(fields);
    if (!response || response->commandId != kSubmitSMResp || response->status != 0) {
      ADD_FAILURE() << "no good submit_sm_resp: " << gateway_->output();
      return {};
    }
    return SmppTestClient::cString(response->body);
  }

  // The next receipt delivered to `esme`, acknowledged.
  static std::optional<test::DeliverSM> readReceipt(SmppTestClient& esme,
                                                    std::chrono::milliseconds timeout = 10s) {
    auto receipt = esme.readDeliver(timeout);
    if (receipt) {
      EXPECT_EQ(receipt->esmClass & 0x04, 0x04);
    }
    return receipt;
  }

  std::string token() {
    const test::HttpTestReply reply = test::httpExchange(
        httpPort_,
        test::request(
            "POST", "/oauth2/v1/token", {"Content-Type: application/x-www-form-urlencoded"},
            "grant_type=client_credentials&client_id=ops&client_secret=s3cret&scope=api"));
    const json body = json::parse(reply.body, nullptr, false);
    if (!body.is_object() || !body.contains("access_token")) {
      ADD_FAILURE() << "no token: " << reply.raw;
      return {};
    }
    return body["access_token"].get<std::string>();
  }

  // An admin request with a fresh token; the reply's status code.
  int adminRequest(const std::string& method, const std::string& path, const std::string& body) {
    const test::HttpTestReply reply =
        test::httpExchange(httpPort_, test::jsonRequest(method, path, token(), body));
    EXPECT_EQ(reply.status, 200) << reply.raw;
    return reply.status;
  }

  TempDir dir_;
  // The ESMEs of the configuration; all use "ts".
  json esmes_ = json::array({{{"systemid", "acme"},
                              {"sharedtargetsetid", "ts"},
                              {"password", "pw"},
                              {"inboundmo", {"12345"}}}});
  bool submitsEnabled_ = true; // of the target set "ts"
  std::unique_ptr<SimulatorProcess> simulator_;
  std::unique_ptr<GatewayProcess> gateway_;
  uint16_t smppPort_ = 0;
  uint16_t httpPort_ = 0;
};

// --- SMSC refusals -----------------------------------------------------------

using UpstreamRefusalTest = UpstreamEndToEndTest;

TEST_F(UpstreamRefusalTest, SmscErrorStatusReachesTheEsmeWithoutMessageId) {
  startWith({"--fail", "447700900999=0x0000000B", "--nack", "777=20"});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  test::SubmitFields fields;
  fields.destination = "447700900999";
  const auto response = esme.submitAndWait(fields);
  ASSERT_TRUE(response.has_value()) << gateway_->output();
  EXPECT_EQ(response->status, 0x0000000Bu);
  EXPECT_TRUE(response->body.empty());
  // A generic_nack is answered at once with its reason, not after the bind dies.
  fields.destination = "777";
  EXPECT_EQ(submitRaw(esme, SmppTestClient::submitBody(fields)), 20u);
}

// --- Message tracking across a restart ------------------------------------

using UpstreamRestartTest = UpstreamEndToEndTest;

TEST_F(UpstreamRestartTest, ReceiptsAfterAKillReachTheirOwnEsmes) {
  // Two customers share the target, so only the stored message-id mapping can
  // tell whose receipt is whose. The receipts are due long after the
  // responses; with no receiver bound they wait in the simulator until the
  // restarted gateway binds again.
  esmes_.push_back({{"systemid", "zeta"}, {"sharedtargetsetid", "ts"}, {"password", "pw"}});
  startWith({"--receipts", "text", "--receipt-delay-ms", "2000"});
  std::string acmeId, zetaId;
  {
    SmppTestClient acme(smppPort_);
    SmppTestClient zeta(smppPort_);
    ASSERT_EQ(acme.bind(kBindTransceiver, "acme", "pw"), 0u);
    ASSERT_EQ(zeta.bind(kBindTransceiver, "zeta", "pw"), 0u);
    acmeId = submitForReceipt(acme);
    zetaId = submitForReceipt(zeta);
    ASSERT_FALSE(acmeId.empty());
    ASSERT_FALSE(zetaId.empty());
    // Killed, not stopped: nothing gets a chance to be saved on the way out.
    std::this_thread::sleep_for(1100ms);
    gateway_->signal(SIGKILL);
    EXPECT_EQ(gateway_->waitExit(), 128 + SIGKILL);
    gateway_.reset();
  }
  ASSERT_TRUE(waitForCount([&] { return simulator_->counts()["receipts_waiting"]; }, "2", 1))
      << simulator_->process().output();

  launch();
  SmppTestClient acme(smppPort_);
  SmppTestClient zeta(smppPort_);
  ASSERT_EQ(acme.bind(kBindTransceiver, "acme", "pw"), 0u);
  ASSERT_EQ(zeta.bind(kBindTransceiver, "zeta", "pw"), 0u);
  const auto acmeReceipt = readReceipt(acme, 20s);
  ASSERT_TRUE(acmeReceipt.has_value()) << gateway_->output();
  EXPECT_NE(acmeReceipt->shortMessage.find("id:" + acmeId + " "), std::string::npos)
      << acmeReceipt->shortMessage;
  const auto zetaReceipt = readReceipt(zeta, 20s);
  ASSERT_TRUE(zetaReceipt.has_value()) << gateway_->output();
  EXPECT_NE(zetaReceipt->shortMessage.find("id:" + zetaId + " "), std::string::npos)
      << zetaReceipt->shortMessage;
  EXPECT_FALSE(zeta.readCommand(kDeliverSM, 300ms).has_value());
}

// --- Every request answered -----------------------------------------------

using UpstreamAnswerTest = UpstreamEndToEndTest;

TEST_F(UpstreamAnswerTest, SubmitsInFlightOnADroppedBindAreAnsweredAndTheBindRecovers) {
  // Submits to 999 are never answered; the SMSC drops the bind after the
  // 30th submit, with 29 of them in flight.
  startWith({"--silent", "999", "--drop-after", "30"});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  test::SubmitFields fields;
  fields.destination = "999";
  for (int i = 0; i < 29; ++i) {
    ASSERT_TRUE(esme.send(0x00000004, esme.nextSequence(), SmppTestClient::submitBody(fields)));
  }
  fields.destination = "447700900123";
  ASSERT_TRUE(esme.send(0x00000004, esme.nextSequence(), SmppTestClient::submitBody(fields)));
  std::map<uint32_t, int> statuses;
  for (int i = 0; i < 30; ++i) {
    const auto response = esme.readCommand(kSubmitSMResp);
    ASSERT_TRUE(response.has_value()) << i << "\n" << gateway_->output();
    ++statuses[response->status];
  }
  EXPECT_EQ(statuses[0], 1);
  EXPECT_EQ(statuses[0x08], 29); // ESME_RSYSERR: try again
  ASSERT_TRUE(waitForGatewayBinds(2)) << gateway_->output();
  EXPECT_EQ(submitRaw(esme, SmppTestClient::submitBody(fields)), 0u);
  stopGateway();
  const auto failed = rowsOf(dir_.read("cdrs.csv"), "");
  ASSERT_EQ(failed.size(), 29u) << dir_.read("cdrs.csv");
  EXPECT_EQ(failed[0][kSubmitStatus], "8");
}

TEST_F(UpstreamAnswerTest, DataSMIsAnsweredInKindAndNoIdIsKeptWithoutAReceipt) {
  startWith({});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  // data_sm: service_type, addresses, esm_class, registered_delivery,
  // data_coding, then message_payload.
  std::vector<uint8_t> dataSM{0, 1, 1};
  const std::string source = "447700900001", destination = "447700900123";
  dataSM.insert(dataSM.end(), source.begin(), source.end());
  dataSM.insert(dataSM.end(), {0, 1, 1});
  dataSM.insert(dataSM.end(), destination.begin(), destination.end());
  dataSM.insert(dataSM.end(), {0, 0, 0, 0, 0x04, 0x24, 0, 2, 'h', 'i'});
  const uint32_t sequence = esme.nextSequence();
  ASSERT_TRUE(esme.send(0x00000103, sequence, dataSM));
  const auto response = esme.readCommand(0x80000103);
  ASSERT_TRUE(response.has_value()) << gateway_->output();
  EXPECT_EQ(response->sequence, sequence);
  EXPECT_EQ(response->status, 0u);
  EXPECT_FALSE(SmppTestClient::cString(response->body).empty());

  // Nothing asked for a receipt, so no message id was kept.
  const std::string metrics = test::httpExchange(httpPort_, test::request("GET", "/metrics")).body;
  EXPECT_NE(metrics.find("sysTracker_messageIDMap_size 0"), std::string::npos) << metrics;
}

// --- Admin changes reaching the upstream ----------------------------------

using UpstreamAdminTest = UpstreamEndToEndTest;

TEST_F(UpstreamAdminTest, StatusShowsTheBindAdminDownClosesItAndANewTargetGetsBound) {
  startWith({});
  const json report =
      json::parse(test::httpExchange(httpPort_, test::request("GET", "/status")).body);
  ASSERT_EQ(report["statusReport"].size(), 1u) << report.dump();
  const json& bind = report["statusReport"][0];
  EXPECT_EQ(bind["smsc_name"], "smsc1");
  EXPECT_EQ(bind["connected"], true);
  EXPECT_EQ(bind["bind_state"], 2);
  EXPECT_EQ(bind["port"], simulator_->port());
  EXPECT_EQ(bind["target_set"], "ts");
  EXPECT_EQ(report["summary"]["bindTRX"], 1);

  ASSERT_EQ(adminRequest("PUT", "/targetsets/ts/targets/smsc1", R"({"admindown":true})"), 200);
  ASSERT_TRUE(gateway_->waitForOutput("set to administratively down")) << gateway_->output();
  // The simulator saw the unbind, and no receiver is left for MO traffic.
  ASSERT_TRUE(waitForCount([&] { return simulator_->counts()["unbinds"]; }, "1", 1))
      << simulator_->process().output();
  simulator_->command("mo 447700900555 12345 anyone there");
  EXPECT_TRUE(simulator_->process().waitForOutput("smsc-sim mo failed: no receiver bound"))
      << simulator_->process().output();

  SimulatorProcess second;
  EXPECT_EQ(
      adminRequest("POST", "/targetsets/ts/targets", targetFor("smsc2", second.port()).dump()),
      200);
  EXPECT_TRUE(waitForBinds(second, 1)) << gateway_->output();
  // The first target stays down.
  EXPECT_EQ(test::occurrences(simulator_->process().output(), "smsc-sim bind system_id=gw"), 1u);
}

// --- Metrics read by Prometheus's own parser -------------------------------

using UpstreamMetricsTest = UpstreamEndToEndTest;

TEST_F(UpstreamMetricsTest, ScrapeOfAGatewayThatCarriedTrafficPassesPromtool) {
  startWith({"--receipts", "text"}, 2);
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  // Submits, responses and receipts, so that the labelled series exist.
  for (int i = 0; i < 3; ++i) {
    ASSERT_FALSE(submitForReceipt(esme).empty());
    ASSERT_TRUE(readReceipt(esme).has_value()) << gateway_->output();
  }
  const std::string metrics = test::httpExchange(httpPort_, test::request("GET", "/metrics")).body;
  ASSERT_NE(metrics.find("{esme=\"acme\""), std::string::npos) << metrics;
  dir_.write("scrape.prom", metrics);
  const std::string command = "promtool check metrics < '" + dir_.path() + "/scrape.prom' 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string report;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
    report.append(buffer, n);
  }
  const int status = ::pclose(pipe);
  ASSERT_EQ(report.find("promtool: not found"), std::string::npos)
      << "promtool is missing (Debian package prometheus)";
  // The metric names are fixed as they are: camelCase, and counters without
  // "_total". Those two lint findings are expected; anything else is not.
  size_t findings = 0;
  for (size_t start = 0; start < report.size();) {
    const size_t end = std::min(report.find('\n', start), report.size());
    const std::string line = report.substr(start, end - start);
    start = end + 1;
    if (line.empty()) {
      continue;
    }
    ++findings;
    EXPECT_TRUE(line.find("should be written in 'snake_case' not 'camelCase'") !=
                    std::string::npos ||
                line.find("counter metrics should have \"_total\" suffix") != std::string::npos)
        << line;
  }
  // promtool exits 3 on lint findings alone, 1 when it cannot parse.
  EXPECT_TRUE(status == 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 3 && findings > 0))
      << status << " " << report;
}

// --- Records and concatenation --------------------------------------------

using UpstreamRecordTest = UpstreamEndToEndTest;

TEST_F(UpstreamRecordTest, CorrelateModeWritesOneRowWithBothSides) {
  // The receipt quotes the id in decimal, the response gave it in hex.
  startWith({"--receipts", "text", "--receipt-id-form", "dec"}, 1, json{{"mode", "correlate"}});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  const std::string messageId = submitForReceipt(esme);
  ASSERT_FALSE(messageId.empty());
  ASSERT_TRUE(readReceipt(esme).has_value()) << gateway_->output();
  stopGateway();

  const std::string cdrs = dir_.read("cdrs.csv");
  const auto rows = rowsOf(cdrs, messageId);
  // One row joins the submit (ESME, SMSC) and the receipt (DELIVRD = 2).
  ASSERT_EQ(rows.size(), 1u) << cdrs;
  const auto& row = rows[0];
  ASSERT_EQ(row.size(), kColumns) << cdrs;
  EXPECT_EQ(row[kSubmitStatus], "0") << cdrs;
  EXPECT_EQ(row[kDeliveryStatus], "2") << cdrs;
  EXPECT_EQ(row[kEsmeId], "acme") << cdrs;
  EXPECT_EQ(row[kSmscName], "smsc1") << cdrs;
  EXPECT_FALSE(row[kSubmitTime].empty()) << cdrs;
  EXPECT_FALSE(row[kDlrReceivedTime].empty()) << cdrs;
}

TEST_F(UpstreamRecordTest, ConcatenatedPartsStayOnOneSmsc) {
  simulator_ = std::make_unique<SimulatorProcess>();
  SimulatorProcess second;
  startGateway(
      json::array({targetFor("smsc1", simulator_->port()), targetFor("smsc2", second.port())}));
  ASSERT_TRUE(waitForBinds(*simulator_, 1)) << gateway_->output();
  ASSERT_TRUE(waitForBinds(second, 1)) << gateway_->output();
  ASSERT_TRUE(waitForGatewayBinds(2)) << gateway_->output();

  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  constexpr int kParts = 4;
  for (int part = 1; part <= kParts; ++part) {
    EXPECT_EQ(submitRaw(esme, concatenatedPart(part, kParts)), 0u) << gateway_->output();
  }
  const std::string a = simulator_->counts()["submits"];
  const std::string b = second.counts()["submits"];
  EXPECT_TRUE((a == "4" && b == "0") || (a == "0" && b == "4")) << a << " / " << b;

  // Plain submits do rotate over both targets.
  for (int i = 0; i < 4; ++i) {
    const auto response = esme.submitAndWait({});
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->status, 0u);
  }
  EXPECT_NE(simulator_->counts()["submits"], a);
  EXPECT_NE(second.counts()["submits"], b);
}

TEST_F(UpstreamRecordTest, ConcatenatedPartsMoveWhenTheirSmscGoesAway) {
  // Two targets: with one out of service, the pool's only other bind is
  // still tried after the failing one.
  std::vector<std::unique_ptr<SimulatorProcess>> smscs;
  json targets = json::array();
  for (int i = 0; i < 2; ++i) {
    smscs.push_back(std::make_unique<SimulatorProcess>());
    targets.push_back(targetFor("smsc" + std::to_string(i), smscs.back()->port()));
  }
  startGateway(targets);
  for (auto& smsc : smscs) {
    ASSERT_TRUE(waitForBinds(*smsc, 1)) << gateway_->output();
  }
  ASSERT_TRUE(waitForGatewayBinds(2)) << gateway_->output();
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  const auto submitsOf = [&] {
    std::vector<std::string> counts;
    for (auto& smsc : smscs) {
      counts.push_back(smsc->counts()["submits"]);
    }
    return counts;
  };

  ASSERT_EQ(submitRaw(esme, concatenatedPart(1, 3)), 0u) << gateway_->output();
  const std::vector<std::string> afterFirst = submitsOf();
  const auto took = std::find(afterFirst.begin(), afterFirst.end(), "1") - afterFirst.begin();
  ASSERT_LT(took, 2) << testing::PrintToString(afterFirst);

  // The SMSC of part 1 is taken out of service; the rest of the message
  // moves, together, to another one instead of failing.
  ASSERT_EQ(adminRequest("PUT", "/targetsets/ts/targets/smsc" + std::to_string(took),
                         R"({"admindown":true})"),
            200);
  ASSERT_TRUE(gateway_->waitForOutput("set to administratively down")) << gateway_->output();
  EXPECT_EQ(submitRaw(esme, concatenatedPart(2, 3)), 0u) << gateway_->output();
  EXPECT_EQ(submitRaw(esme, concatenatedPart(3, 3)), 0u) << gateway_->output();
  std::vector<std::string> after = submitsOf();
  EXPECT_EQ(after[static_cast<size_t>(took)], "1");
  after.erase(after.begin() + took);
  EXPECT_EQ(after, (std::vector<std::string>{"2"}));
}

// --- Mobile-originated messages ------------------------------------------

using UpstreamMobileOriginatedTest = UpstreamEndToEndTest;

TEST_F(UpstreamMobileOriginatedTest, Ucs2TextNamingANumberRoutesToItsOwner) {
  startWith({});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  // Sent to a number nobody owns: only the decoded text names acme's number.
  simulator_->command("mo-ucs2 447700900555 99999 call 12345 gr\u00fc\u00dfe \u20ac5");
  ASSERT_TRUE(simulator_->process().waitForOutput("smsc-sim mo sent"))
      << simulator_->process().output();
  const auto parsed = esme.readDeliver(10s);
  ASSERT_TRUE(parsed.has_value()) << gateway_->output();
  EXPECT_EQ(parsed->source, "447700900555");
  EXPECT_EQ(parsed->destination, "99999");
  // The message itself is relayed as the SMSC sent it, in UCS-2.
  std::string ucs2;
  for (const char16_t unit : std::u16string(u"call 12345 gr\u00fc\u00dfe \u20ac5")) {
    ucs2 += static_cast<char>(unit >> 8);
    ucs2 += static_cast<char>(unit & 0xFF);
  }
  EXPECT_EQ(parsed->shortMessage, ucs2);
  // The audit lines of a routed MO and of a submit name no object.
  ASSERT_FALSE(submitForReceipt(esme).empty());
  const std::string audit = dir_.read("audit.log");
  EXPECT_NE(audit.find(" (nil) SMPPUpstream::processDeliverSM esmeSystemID=(acme) "),
            std::string::npos)
      << audit;
  EXPECT_NE(audit.find(" (nil) SMPPUpstream::sendSubmitSM sessionid=0x"), std::string::npos)
      << audit;
}

} // namespace
} // namespace quorvex
