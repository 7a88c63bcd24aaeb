// The upstream side of the real gateway against the SMSC simulator: the
// forms a receipt can take, message tracking across a restart, admin changes
// reaching the upstream binds, reconnection after refused or dropped binds,
// correlated call-detail records and concatenated parts kept on one SMSC.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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
constexpr uint16_t kReceiptedMessageId = 0x001E;
constexpr uint16_t kMessageState = 0x0427;

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// Polls `output` until it holds `what` at least `count` times.
template <typename Output>
bool waitForCount(Output output, const std::string& what, size_t count,
                  std::chrono::milliseconds timeout = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (occurrences(output(), what) >= count) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// One request on 127.0.0.1; the whole reply (the server closes after it).
std::string httpRequest(uint16_t port, const std::string& method, const std::string& path,
                        const std::string& contentType = "", const std::string& body = "",
                        const std::string& token = "") {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: localhost\r\n";
    if (!contentType.empty()) {
      request += "Content-Type: " + contentType + "\r\n";
    }
    if (!token.empty()) {
      request += "Authorization: Bearer " + token + "\r\n";
    }
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    if (::send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      ssize_t n;
      while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) {
        reply.append(buffer, static_cast<size_t>(n));
      }
    }
  }
  ::close(fd);
  return reply;
}

std::string replyBody(const std::string& reply) {
  const size_t at = reply.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : reply.substr(at + 4);
}

json targetFor(const std::string& name, uint16_t port, int bindqty = 1, int weight = 1) {
  return {{"name", name},       {"host", "127.0.0.1"}, {"port", port},
          {"bindqty", bindqty}, {"systemid", "gw"},    {"password", ""},
          {"systemtype", ""},   {"weight", weight},    {"admindown", false}};
}

// The value of TLV `tag` in `deliver`, without a trailing NUL; empty if absent.
std::string tlvText(const test::DeliverSM& deliver, uint16_t tag) {
  for (const auto& [t, value] : deliver.tlvs) {
    if (t == tag) {
      std::string text(value.begin(), value.end());
      if (!text.empty() && text.back() == '\0') {
        text.pop_back();
      }
      return text;
    }
  }
  return {};
}

bool hasTlv(const test::DeliverSM& deliver, uint16_t tag) {
  for (const auto& entry : deliver.tlvs) {
    if (entry.first == tag) {
      return true;
    }
  }
  return false;
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
          {"auth.client_secret", "s3cret"}}},
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
    // The output of an earlier run must not satisfy the wait below.
    for (const char* name : {"console.out", "console.err"}) {
      if (dir_.exists(name)) {
        ::rename(dir_.file(name).c_str(), (dir_.file(name) + ".earlier").c_str());
      }
    }
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
  std::optional<test::DeliverSM> readReceipt(SmppTestClient& esme,
                                             std::chrono::milliseconds timeout = 10s) {
    const auto pdu = esme.readCommand(kDeliverSM, timeout);
    if (!pdu) {
      return std::nullopt;
    }
    EXPECT_TRUE(esme.deliverSMResp(pdu->sequence));
    auto parsed = SmppTestClient::parseDeliverSM(pdu->body);
    if (parsed) {
      EXPECT_EQ(parsed->esmClass & 0x04, 0x04);
    }
    return parsed;
  }

  std::string token() {
    const std::string reply =
        httpRequest(httpPort_, "POST", "/oauth2/v1/token", "application/x-www-form-urlencoded",
                    "grant_type=client_credentials&client_id=ops&client_secret=s3cret&scope=api");
    const json body = json::parse(replyBody(reply), nullptr, false);
    if (!body.is_object() || !body.contains("access_token")) {
      ADD_FAILURE() << "no token: " << reply;
      return {};
    }
    return body["access_token"].get<std::string>();
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

// --- Receipt forms ---------------------------------------------------------

using UpstreamReceiptFormTest = UpstreamEndToEndTest;

TEST_F(UpstreamReceiptFormTest, TlvReceiptCarriesTheSmscIdToTheEsme) {
  startWith({"--receipts", "tlv"});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  const std::string messageId = submitForReceipt(esme);
  ASSERT_EQ(messageId, "3b9aca00");
  const auto receipt = readReceipt(esme);
  ASSERT_TRUE(receipt.has_value()) << gateway_->output();
  EXPECT_EQ(tlvText(*receipt, kReceiptedMessageId), messageId);
  EXPECT_TRUE(hasTlv(*receipt, kMessageState));
}

TEST_F(UpstreamReceiptFormTest, TextAndTlvReceiptAgreeOnTheId) {
  startWith({"--receipts", "both"});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  const std::string messageId = submitForReceipt(esme);
  ASSERT_FALSE(messageId.empty());
  const auto receipt = readReceipt(esme);
  ASSERT_TRUE(receipt.has_value()) << gateway_->output();
  EXPECT_NE(receipt->shortMessage.find("id:" + messageId), std::string::npos)
      << receipt->shortMessage;
  EXPECT_EQ(tlvText(*receipt, kReceiptedMessageId), messageId);
}

TEST_F(UpstreamReceiptFormTest, DecimalIdsAreMatched) {
  startWith({"--receipts", "text", "--id-form", "dec"});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  const std::string messageId = submitForReceipt(esme);
  ASSERT_EQ(messageId, "1000000000");
  const auto receipt = readReceipt(esme);
  ASSERT_TRUE(receipt.has_value()) << gateway_->output();
  EXPECT_NE(receipt->shortMessage.find("id:1000000000"), std::string::npos)
      << receipt->shortMessage;
  EXPECT_NE(receipt->shortMessage.find("stat:DELIVRD"), std::string::npos);
}

TEST_F(UpstreamReceiptFormTest, ReceiptBeforeResponseStillReachesTheEsme) {
  startWith({"--receipts", "text", "--receipt-before-response"});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  test::SubmitFields fields;
  fields.registeredDelivery = 1;
  const uint32_t sequence = esme.submit(fields);
  const auto response = esme.readCommand(kSubmitSMResp);
  ASSERT_TRUE(response.has_value()) << gateway_->output();
  EXPECT_EQ(response->sequence, sequence);
  EXPECT_EQ(response->status, 0u);
  const std::string messageId = SmppTestClient::cString(response->body);
  ASSERT_EQ(messageId, "3b9aca00");
  const auto receipt = readReceipt(esme);
  ASSERT_TRUE(receipt.has_value()) << gateway_->output();
  EXPECT_NE(receipt->shortMessage.find("id:" + messageId), std::string::npos)
      << receipt->shortMessage;
}

TEST_F(UpstreamReceiptFormTest, ReceiptOverAnotherBindOfTheTarget) {
  startWith({"--receipts", "text", "--receipt-on-other-bind"}, 2);
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  // Several submits, so that whichever bind carries them, their receipts come
  // over the other one.
  std::vector<std::string> ids;
  for (int i = 0; i < 4; ++i) {
    ids.push_back(submitForReceipt(esme));
    ASSERT_FALSE(ids.back().empty());
  }
  std::string texts;
  for (int i = 0; i < 4; ++i) {
    const auto receipt = readReceipt(esme);
    ASSERT_TRUE(receipt.has_value()) << gateway_->output();
    texts += receipt->shortMessage + "\n";
  }
  for (const std::string& id : ids) {
    EXPECT_NE(texts.find("id:" + id + " "), std::string::npos) << texts;
  }
}

// --- Message tracking across a restart ------------------------------------

using UpstreamRestartTest = UpstreamEndToEndTest;

TEST_F(UpstreamRestartTest, ReceiptsAfterARestartReachTheirOwnEsmes) {
  // Two customers share the target, so only the saved message-id mapping can
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
    stopGateway();
  }
  ASSERT_TRUE(dir_.exists("msgtrack")) << testing::PrintToString(dir_.list());
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
}

// --- Admin changes reaching the upstream ----------------------------------

using UpstreamAdminTest = UpstreamEndToEndTest;

TEST_F(UpstreamAdminTest, AdminDownClosesTheBindAndANewTargetGetsBound) {
  startWith({});
  const std::string bearer = token();
  ASSERT_FALSE(bearer.empty());

  const std::string down = httpRequest(httpPort_, "PUT", "/targetsets/ts/targets/smsc1",
                                       "application/json", R"({"admindown":true})", bearer);
  EXPECT_EQ(down.rfind("HTTP/1.1 200", 0), 0u) << down;
  ASSERT_TRUE(gateway_->waitForOutput("set to administratively down")) << gateway_->output();
  // The simulator saw the unbind, and no receiver is left for MO traffic.
  ASSERT_TRUE(waitForCount([&] { return simulator_->counts()["unbinds"]; }, "1", 1))
      << simulator_->process().output();
  simulator_->command("mo 447700900555 12345 anyone there");
  EXPECT_TRUE(simulator_->process().waitForOutput("smsc-sim mo failed: no receiver bound"))
      << simulator_->process().output();

  SimulatorProcess second;
  const std::string add =
      httpRequest(httpPort_, "POST", "/targetsets/ts/targets", "application/json",
                  targetFor("smsc2", second.port()).dump(), bearer);
  EXPECT_EQ(add.rfind("HTTP/1.1 200", 0), 0u) << add;
  EXPECT_TRUE(waitForBinds(second, 1)) << gateway_->output();
  // The first target stays down.
  EXPECT_EQ(occurrences(simulator_->process().output(), "smsc-sim bind system_id=gw"), 1u);
}

// --- Reconnection ----------------------------------------------------------

using UpstreamReconnectTest = UpstreamEndToEndTest;

TEST_F(UpstreamReconnectTest, RefusedBindIsRetriedAfterTheBackOff) {
  simulator_ = std::make_unique<SimulatorProcess>(std::vector<std::string>{"--refuse-binds"});
  startGateway(json::array({targetFor("smsc1", simulator_->port())}));
  const auto output = [&] { return simulator_->process().output(); };
  ASSERT_TRUE(waitForCount(output, "smsc-sim bind refused system_id=gw", 1)) << gateway_->output();
  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(waitForCount(output, "smsc-sim bind refused system_id=gw", 2, 30s))
      << gateway_->output();
  // Not hammered: the second attempt waits for the back-off.
  EXPECT_GE(std::chrono::steady_clock::now() - first, 2s);
  EXPECT_NE(gateway_->output().find("NAK"), std::string::npos) << gateway_->output();
}

TEST_F(UpstreamReconnectTest, DroppedConnectionIsBoundAgainAndCarriesTraffic) {
  startWith({"--drop-after", "1"});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  const auto response = esme.submitAndWait({});
  ASSERT_TRUE(response.has_value()) << gateway_->output();
  EXPECT_EQ(response->status, 0u);
  ASSERT_TRUE(waitForBinds(*simulator_, 2, 30s)) << gateway_->output();
  // The new bind carries the next submit.
  std::optional<test::Pdu> next;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  do {
    next = esme.submitAndWait({});
  } while ((!next || next->status != 0) && std::chrono::steady_clock::now() < deadline);
  ASSERT_TRUE(next.has_value()) << gateway_->output();
  EXPECT_EQ(next->status, 0u);
}

// --- Records and concatenation --------------------------------------------

using UpstreamRecordTest = UpstreamEndToEndTest;

TEST_F(UpstreamRecordTest, CorrelateModeWritesOneRowWithBothSides) {
  startWith({"--receipts", "text"}, 1, json{{"mode", "correlate"}});
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

TEST_F(UpstreamRecordTest, OperationModeWritesASubmitRowAndAReceiptRow) {
  startWith({"--receipts", "text"}, 1, json{{"mode", "operation"}});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  const std::string messageId = submitForReceipt(esme);
  ASSERT_FALSE(messageId.empty());
  ASSERT_TRUE(readReceipt(esme).has_value()) << gateway_->output();
  stopGateway();

  const std::string cdrs = dir_.read("cdrs.csv");
  const auto rows = rowsOf(cdrs, messageId);
  ASSERT_EQ(rows.size(), 2u) << cdrs;
  const auto& submitRow = rows[0][kDeliveryStatus].empty() ? rows[0] : rows[1];
  const auto& receiptRow = rows[0][kDeliveryStatus].empty() ? rows[1] : rows[0];
  ASSERT_EQ(submitRow.size(), kColumns) << cdrs;
  ASSERT_EQ(receiptRow.size(), kColumns) << cdrs;
  EXPECT_EQ(submitRow[kEsmeId], "acme") << cdrs;
  EXPECT_EQ(submitRow[kSubmitStatus], "0") << cdrs;
  EXPECT_FALSE(submitRow[kSubmitTime].empty()) << cdrs;
  EXPECT_EQ(receiptRow[kDeliveryStatus], "2") << cdrs;
  EXPECT_EQ(receiptRow[kSmscName], "smsc1") << cdrs;
  EXPECT_TRUE(receiptRow[kSubmitTime].empty()) << cdrs;
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
  // Three targets, so that with one out of service the pool still offers
  // an attempt beyond the failing one.
  std::vector<std::unique_ptr<SimulatorProcess>> smscs;
  json targets = json::array();
  for (int i = 0; i < 3; ++i) {
    smscs.push_back(std::make_unique<SimulatorProcess>());
    targets.push_back(targetFor("smsc" + std::to_string(i), smscs.back()->port()));
  }
  startGateway(targets);
  for (auto& smsc : smscs) {
    ASSERT_TRUE(waitForBinds(*smsc, 1)) << gateway_->output();
  }
  ASSERT_TRUE(waitForGatewayBinds(3)) << gateway_->output();
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
  ASSERT_LT(took, 3) << testing::PrintToString(afterFirst);

  // The SMSC of part 1 is taken out of service; the rest of the message
  // moves, together, to another one instead of failing.
  const std::string bearer = token();
  const std::string down =
      httpRequest(httpPort_, "PUT", "/targetsets/ts/targets/smsc" + std::to_string(took),
                  "application/json", R"({"admindown":true})", bearer);
  ASSERT_EQ(down.rfind("HTTP/1.1 200", 0), 0u) << down;
  ASSERT_TRUE(gateway_->waitForOutput("set to administratively down")) << gateway_->output();
  EXPECT_EQ(submitRaw(esme, concatenatedPart(2, 3)), 0u) << gateway_->output();
  EXPECT_EQ(submitRaw(esme, concatenatedPart(3, 3)), 0u) << gateway_->output();
  std::vector<std::string> after = submitsOf();
  EXPECT_EQ(after[static_cast<size_t>(took)], "1");
  after.erase(after.begin() + took);
  std::sort(after.begin(), after.end());
  EXPECT_EQ(after, (std::vector<std::string>{"0", "2"}));
}

// --- Pools -----------------------------------------------------------------

using UpstreamPoolTest = UpstreamEndToEndTest;

TEST_F(UpstreamPoolTest, WeightsShareTheSubmits) {
  simulator_ = std::make_unique<SimulatorProcess>();
  SimulatorProcess light;
  startGateway(json::array(
      {targetFor("heavy", simulator_->port(), 1, 3), targetFor("light", light.port(), 1, 1)}));
  ASSERT_TRUE(waitForBinds(*simulator_, 1)) << gateway_->output();
  ASSERT_TRUE(waitForBinds(light, 1)) << gateway_->output();
  ASSERT_TRUE(waitForGatewayBinds(2)) << gateway_->output();
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  for (int i = 0; i < 8; ++i) {
    const auto response = esme.submitAndWait({});
    ASSERT_TRUE(response.has_value()) << gateway_->output();
    EXPECT_EQ(response->status, 0u);
  }
  EXPECT_EQ(simulator_->counts()["submits"], "6");
  EXPECT_EQ(light.counts()["submits"], "2");
}

TEST_F(UpstreamPoolTest, DisabledTargetSetSendsNothingUpstream) {
  submitsEnabled_ = false;
  startWith({});
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  const auto response = esme.submitAndWait({});
  ASSERT_TRUE(response.has_value()) << gateway_->output();
  EXPECT_NE(response->status, 0u);
  EXPECT_EQ(simulator_->counts()["submits"], "0");
}

TEST_F(UpstreamPoolTest, PerBindTpsLimitRefusesTheExcess) {
  simulator_ = std::make_unique<SimulatorProcess>();
  json target = targetFor("smsc1", simulator_->port());
  target["tpslimit"] = 2;
  startGateway(json::array({target}));
  ASSERT_TRUE(waitForBinds(*simulator_, 1)) << gateway_->output();
  ASSERT_TRUE(waitForGatewayBinds(1)) << gateway_->output();
  SmppTestClient esme(smppPort_);
  ASSERT_EQ(esme.bind(kBindTransceiver, "acme", "pw"), 0u);
  // Five at once: the bind's one-second window takes two.
  for (int i = 0; i < 5; ++i) {
    esme.submit({});
  }
  int accepted = 0;
  for (int i = 0; i < 5; ++i) {
    const auto response = esme.readCommand(kSubmitSMResp);
    ASSERT_TRUE(response.has_value()) << gateway_->output();
    accepted += response->status == 0 ? 1 : 0;
  }
  EXPECT_EQ(accepted, 2);
  EXPECT_EQ(simulator_->counts()["submits"], "2");
  // A later window admits submits again.
  std::optional<test::Pdu> later;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  do {
    later = esme.submitAndWait({});
  } while ((!later || later->status != 0) && std::chrono::steady_clock::now() < deadline);
  ASSERT_TRUE(later.has_value());
  EXPECT_EQ(later->status, 0u);
}

TEST_F(UpstreamPoolTest, SmscThatWasDownIsBoundOnceItListens) {
  const uint16_t port = test::freePort();
  startGateway(json::array({targetFor("smsc1", port)}));
  ASSERT_TRUE(gateway_->waitForOutput("Connecting to smsc1")) << gateway_->output();
  TempDir simulatorDir;
  test::ChildProcess late(QUORVEX_SMSC_SIM, {"--port", std::to_string(port)}, simulatorDir.path(),
                          "sim");
  ASSERT_TRUE(late.waitForOutput("smsc-sim listening")) << late.errors();
  EXPECT_TRUE(late.waitForOutput("smsc-sim bind system_id=gw", 30s)) << gateway_->output();
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
  const auto mo = esme.readCommand(kDeliverSM, 10s);
  ASSERT_TRUE(mo.has_value()) << gateway_->output();
  EXPECT_TRUE(esme.deliverSMResp(mo->sequence));
  const auto parsed = SmppTestClient::parseDeliverSM(mo->body);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->source, "447700900555");
  EXPECT_EQ(parsed->destination, "99999");
  // The message itself is relayed as the SMSC sent it, in UCS-2.
  std::string ucs2;
  for (const char16_t unit : std::u16string(u"call 12345 gr\u00fc\u00dfe \u20ac5")) {
    ucs2 += static_cast<char>(unit >> 8);
    ucs2 += static_cast<char>(unit & 0xFF);
  }
  EXPECT_EQ(parsed->shortMessage, ucs2);
}

} // namespace
} // namespace quorvex
