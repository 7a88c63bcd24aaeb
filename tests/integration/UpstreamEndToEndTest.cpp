// The upstream side of the real gateway against the SMSC simulator: SMSC
// refusals relayed, message tracking across a kill, admin changes and the
// status report of the upstream binds, correlated call-detail records,
// concatenated parts kept on one SMSC, and MO routing.
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "integration/GatewayFixture.h"
#include "support/ToolProcesses.h"

namespace quorvex::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using tools::test::SimulatorProcess;

// The comma-separated columns of each row of `csv` that starts with `messageId`.
std::vector<std::vector<std::string>> rowsOf(const std::string& csv, const std::string& messageId) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(csv);
  for (std::string row; std::getline(lines, row);) {
    if (row.rfind(messageId + ",", 0) == 0) {
      std::vector<std::string> columns;
      std::istringstream fields(row + ",");
      for (std::string column; std::getline(fields, column, ',');) {
        columns.push_back(column);
      }
      rows.push_back(std::move(columns));
    }
  }
  return rows;
}

// Column positions of a call-detail row.
constexpr size_t kSubmitTime = 3, kDlrReceivedTime = 7, kSubmitStatus = 10, kDeliveryStatus = 13,
                 kEsmeId = 15, kSmscName = 18, kColumns = 27;

// A submit_sm body of part `part` of `total` of a message with UDH reference 0x2A.
std::vector<uint8_t> concatenatedPart(int part, int total) {
  SubmitFields fields;
  fields.text = std::string("\x05\x00\x03\x2A", 4) + static_cast<char>(total) +
                static_cast<char>(part) + "part";
  std::vector<uint8_t> body = SmppTestClient::submitBody(fields);
  // esm_class follows service_type, the two addresses and their TON/NPI.
  body[1 + 2 + fields.source.size() + 1 + 2 + fields.destination.size() + 1] = 0x40;
  return body;
}

// Sends `body` as a submit_sm; the response status, or nothing without a response.
std::optional<uint32_t> submitRaw(SmppTestClient& esme, const std::vector<uint8_t>& body) {
  const uint32_t sequence = esme.nextSequence();
  const auto response =
      esme.send(0x00000004, sequence, body) ? esme.readCommand(kSubmitSMResp) : std::nullopt;
  return response && response->sequence == sequence ? std::optional(response->status)
                                                    : std::nullopt;
}

// A gateway whose target set "ts" holds the simulators of the test and whose
// ESME "acme" (password "pw") uses it.
class UpstreamEndToEndTest : public ::testing::Test {
protected:
  // Starts one simulator per element of `simulatorArgs`, each a target of
  // `bindqty` binds, and the gateway, and waits until every bind is up.
  void start(std::vector<std::vector<std::string>> simulatorArgs, int bindqty = 1,
             const json& cdr = json::object()) {
    json config = baseConfig();
    config["base"]["log.audit"] = true;
    config["cdr"] = {{"batch_flush_interval", 1}};
    config["cdr"].update(cdr);
    json targets = json::array();
    for (auto& args : simulatorArgs) {
      smscs_.push_back(std::make_unique<SimulatorProcess>(std::move(args)));
      targets.push_back(
          target("smsc" + std::to_string(smscs_.size()), smscs_.back()->port(), bindqty));
    }
    config["targetsets"] = json::array(
        {{{"id", "ts"}, {"name", "Test"}, {"submits_enabled", true}, {"targets", targets}}});
    config["esme"] = esmes_;
    gateway_ = std::make_unique<Gateway>(config);
    ASSERT_TRUE(gateway_->ready()) << gateway_->output();
    // Only bound binds are offered: the simulator's line comes earlier.
    const size_t binds = smscs_.size() * static_cast<size_t>(bindqty);
    ASSERT_TRUE(eventually([&] { return occurrences(gateway_->output(), ") OK (") >= binds; }))
        << gateway_->output();
  }

  SimulatorProcess& smsc(size_t i = 0) { return *smscs_[i]; }

  std::unique_ptr<SmppTestClient> bound(const std::string& systemId = "acme") {
    auto esme = gateway_->connect();
    EXPECT_EQ(esme->bind(kBindTransceiver, systemId, "pw"), 0u);
    return esme;
  }

  void TearDown() override {
    if (gateway_ && gateway_->process().running()) {
      EXPECT_EQ(gateway_->stop(), 0) << gateway_->process().errors();
    }
  }

  // A submit asking for a receipt; the SMSC's message id from its response.
  std::string submitForReceipt(SmppTestClient& esme) {
    SubmitFields fields;
    fields.registeredDelivery = 1;
    const auto response = esme.submitAndWait(fields);
    if (!response || response->status != 0) {
      ADD_FAILURE() << "no good submit_sm_resp: " << gateway_->output();
      return {};
    }
    return SmppTestClient::cString(response->body);
  }

  // The text of the next receipt delivered to `esme`, acknowledged.
  static std::string receiptText(SmppTestClient& esme, std::chrono::milliseconds timeout = 10s) {
    const auto receipt = esme.readDeliver(timeout);
    EXPECT_TRUE(receipt && (receipt->esmClass & 0x04));
    return receipt ? receipt->shortMessage : std::string();
  }

  json esmes_ = json::array({{{"systemid", "acme"},
                              {"sharedtargetsetid", "ts"},
                              {"password", "pw"},
                              {"inboundmo", {"12345"}}}});
  std::vector<std::unique_ptr<SimulatorProcess>> smscs_;
  std::unique_ptr<Gateway> gateway_;
};

TEST_F(UpstreamEndToEndTest, SmscRefusalsReachTheEsmeWithoutMessageId) {
  start({{"--fail", "447700900999=0x0000000B", "--nack", "777=20"}});
  auto esme = bound();
  SubmitFields fields;
  fields.destination = "447700900999";
  const auto response = esme->submitAndWait(fields);
  ASSERT_TRUE(response.has_value()) << gateway_->output();
  EXPECT_EQ(response->status, 0x0000000Bu);
  EXPECT_TRUE(response->body.empty());
  // A generic_nack is answered at once with its reason, not after the bind dies.
  fields.destination = "777";
  EXPECT_EQ(submitRaw(*esme, SmppTestClient::submitBody(fields)), 20u);
}

TEST_F(UpstreamEndToEndTest, ReceiptsAfterAKillReachTheirOwnEsmes) {
  // Two customers share the target, so only the stored message-id mapping can
  // tell whose receipt is whose. The receipts are due long after the
  // responses; with no receiver bound they wait in the simulator until the
  // restarted gateway binds again.
  esmes_.push_back({{"systemid", "zeta"}, {"sharedtargetsetid", "ts"}, {"password", "pw"}});
  start({{"--receipts", "text", "--receipt-delay-ms", "2000"}});
  std::string acmeId, zetaId;
  {
    auto acme = bound();
    auto zeta = bound("zeta");
    acmeId = submitForReceipt(*acme);
    zetaId = submitForReceipt(*zeta);
    ASSERT_FALSE(acmeId.empty() || zetaId.empty());
    // Killed, not stopped: nothing gets a chance to be saved on the way out.
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(gateway_->stop(SIGKILL), 128 + SIGKILL);
  }
  ASSERT_TRUE(eventually([&] { return smsc().counts()["receipts_waiting"] == "2"; }))
      << smsc().process().output();

  gateway_->start();
  auto acme = bound();
  auto zeta = bound("zeta");
  EXPECT_NE(receiptText(*acme, 20s).find("id:" + acmeId + " "), std::string::npos);
  EXPECT_NE(receiptText(*zeta, 20s).find("id:" + zetaId + " "), std::string::npos);
  EXPECT_FALSE(zeta->readCommand(kDeliverSM, 300ms).has_value());
}

TEST_F(UpstreamEndToEndTest, SubmitsInFlightOnADroppedBindAreAnsweredAndTheBindRecovers) {
  // Submits to 999 are never answered; the SMSC drops the bind after the
  // 30th submit, with 29 of them in flight.
  start({{"--silent", "999", "--drop-after", "30"}});
  auto esme = bound();
  SubmitFields fields;
  fields.destination = "999";
  for (int i = 0; i < 29; ++i) {
    ASSERT_TRUE(esme->send(0x00000004, esme->nextSequence(), SmppTestClient::submitBody(fields)));
  }
  fields.destination = "447700900123";
  ASSERT_TRUE(esme->send(0x00000004, esme->nextSequence(), SmppTestClient::submitBody(fields)));
  std::map<uint32_t, int> statuses;
  for (int i = 0; i < 30; ++i) {
    const auto response = esme->readCommand(kSubmitSMResp);
    ASSERT_TRUE(response.has_value()) << i << "\n" << gateway_->output();
    ++statuses[response->status];
  }
  EXPECT_EQ(statuses[0], 1);
  EXPECT_EQ(statuses[0x08], 29); // ESME_RSYSERR: try again
  ASSERT_TRUE(eventually([&] { return occurrences(gateway_->output(), ") OK (") >= 2; }));
  EXPECT_EQ(submitRaw(*esme, SmppTestClient::submitBody(fields)), 0u);
  EXPECT_EQ(gateway_->stop(), 0);
  const auto failed = rowsOf(gateway_->dir().read("cdrs.csv"), "");
  ASSERT_EQ(failed.size(), 29u) << gateway_->dir().read("cdrs.csv");
  EXPECT_EQ(failed[0][kSubmitStatus], "8");
}

TEST_F(UpstreamEndToEndTest, DataSMIsAnsweredInKindAndNoIdIsKeptWithoutAReceipt) {
  start({{}});
  auto esme = bound();
  // data_sm: service_type, addresses, esm_class, registered_delivery,
  // data_coding, then message_payload.
  std::vector<uint8_t> dataSM{0, 1, 1};
  const std::string source = "447700900001", destination = "447700900123";
  dataSM.insert(dataSM.end(), source.begin(), source.end());
  dataSM.insert(dataSM.end(), {0, 1, 1});
  dataSM.insert(dataSM.end(), destination.begin(), destination.end());
  dataSM.insert(dataSM.end(), {0, 0, 0, 0, 0x04, 0x24, 0, 2, 'h', 'i'});
  const uint32_t sequence = esme->nextSequence();
  ASSERT_TRUE(esme->send(0x00000103, sequence, dataSM));
  const auto response = esme->readCommand(0x80000103);
  ASSERT_TRUE(response.has_value()) << gateway_->output();
  EXPECT_EQ(response->sequence, sequence);
  EXPECT_EQ(response->status, 0u);
  EXPECT_FALSE(SmppTestClient::cString(response->body).empty());
  // Nothing asked for a receipt, so no message id was kept.
  const std::string metrics = gateway_->get("/metrics");
  EXPECT_NE(metrics.find("sysTracker_messageIDMap_size 0"), std::string::npos) << metrics;
}

TEST_F(UpstreamEndToEndTest, StatusShowsTheBindAdminDownClosesItAndANewTargetGetsBound) {
  start({{}});
  const json report = json::parse(gateway_->get("/status"));
  ASSERT_EQ(report["statusReport"].size(), 1u) << report.dump();
  const json& bind = report["statusReport"][0];
  EXPECT_EQ(bind["smsc_name"], "smsc1");
  EXPECT_EQ(bind["connected"], true);
  EXPECT_EQ(bind["bind_state"], 2);
  EXPECT_EQ(bind["port"], smsc().port());
  EXPECT_EQ(bind["target_set"], "ts");
  EXPECT_EQ(report["summary"]["bindTRX"], 1);

  ASSERT_EQ(gateway_->admin("PUT", "/targetsets/ts/targets/smsc1", R"({"admindown":true})").status,
            200);
  // The simulator saw the unbind, and no receiver is left for MO traffic.
  ASSERT_TRUE(eventually([&] { return smsc().counts()["unbinds"] == "1"; }))
      << smsc().process().output();
  smsc().command("mo 447700900555 12345 anyone there");
  EXPECT_TRUE(smsc().process().waitForOutput("smsc-sim mo failed: no receiver bound"))
      << smsc().process().output();

  SimulatorProcess second;
  EXPECT_EQ(gateway_->admin("POST", "/targetsets/ts/targets", target("smsc2", second.port()).dump())
                .status,
            200);
  EXPECT_TRUE(second.process().waitForOutput("smsc-sim bind system_id=gw")) << gateway_->output();
  // The first target stays down.
  EXPECT_EQ(occurrences(smsc().process().output(), "smsc-sim bind system_id=gw"), 1u);
}

TEST_F(UpstreamEndToEndTest, ScrapeOfAGatewayThatCarriedTrafficPassesPromtool) {
  start({{"--receipts", "text"}}, 2);
  auto esme = bound();
  // Submits, responses and receipts, so that the labelled series exist.
  for (int i = 0; i < 3; ++i) {
    ASSERT_FALSE(submitForReceipt(*esme).empty());
    ASSERT_FALSE(receiptText(*esme).empty()) << gateway_->output();
  }
  const std::string metrics = gateway_->get("/metrics");
  ASSERT_NE(metrics.find("{esme=\"acme\""), std::string::npos) << metrics;
  const TempDir& dir = gateway_->dir();
  dir.write("scrape.prom", metrics);
  // The metric names are fixed as they are: camelCase, and counters without
  // "_total". promtool exits 3 on such lint findings alone, 1 when it cannot
  // parse; no other finding may show.
  const std::string check = "cd " + dir.path() +
                            " && { promtool check metrics < scrape.prom > report 2>&1; s=$?; }"
                            " && [ $s -eq 0 -o $s -eq 3 ] && ! grep -v -e \"'snake_case' not "
                            "'camelCase'\" -e '\"_total\" suffix' report";
  EXPECT_EQ(std::system(check.c_str()), 0) << dir.read("report");
}

TEST_F(UpstreamEndToEndTest, CorrelateModeWritesOneRowWithBothSides) {
  // The receipt quotes the id in decimal, the response gave it in hex.
  start({{"--receipts", "text", "--receipt-id-form", "dec"}}, 1, json{{"mode", "correlate"}});
  auto esme = bound();
  const std::string messageId = submitForReceipt(*esme);
  ASSERT_FALSE(messageId.empty());
  ASSERT_FALSE(receiptText(*esme).empty()) << gateway_->output();
  EXPECT_EQ(gateway_->stop(), 0);

  const std::string cdrs = gateway_->dir().read("cdrs.csv");
  const auto rows = rowsOf(cdrs, messageId);
  // One row joins the submit (ESME, SMSC) and the receipt (DELIVRD = 2).
  ASSERT_EQ(rows.size(), 1u) << cdrs;
  const auto& row = rows[0];
  ASSERT_EQ(row.size(), kColumns) << cdrs;
  EXPECT_EQ(row[kSubmitStatus], "0") << cdrs;
  EXPECT_EQ(row[kDeliveryStatus], "2") << cdrs;
  EXPECT_EQ(row[kEsmeId], "acme") << cdrs;
  EXPECT_EQ(row[kSmscName], "smsc1") << cdrs;
  EXPECT_FALSE(row[kSubmitTime].empty() || row[kDlrReceivedTime].empty()) << cdrs;
}

TEST_F(UpstreamEndToEndTest, ConcatenatedPartsStayTogetherAndMoveWhenTheirSmscGoesAway) {
  // Two targets: with one out of service, the pool's only other bind is
  // still tried after the failing one.
  start({{}, {}});
  auto esme = bound();
  const auto submits = [&] {
    return std::vector<std::string>{smsc(0).counts()["submits"], smsc(1).counts()["submits"]};
  };
  ASSERT_EQ(submitRaw(*esme, concatenatedPart(1, 4)), 0u) << gateway_->output();
  ASSERT_EQ(submitRaw(*esme, concatenatedPart(2, 4)), 0u) << gateway_->output();
  const std::vector<std::string> afterTwo = submits();
  const size_t took = afterTwo[0] == "2" ? 0 : 1;
  ASSERT_EQ(afterTwo[took], "2") << testing::PrintToString(afterTwo);
  ASSERT_EQ(afterTwo[1 - took], "0") << testing::PrintToString(afterTwo);

  // The SMSC of the first parts is taken out of service; the rest of the
  // message moves, together, to the other one instead of failing.
  ASSERT_EQ(gateway_
                ->admin("PUT", "/targetsets/ts/targets/smsc" + std::to_string(took + 1),
                        R"({"admindown":true})")
                .status,
            200);
  ASSERT_TRUE(gateway_->waitFor("set to administratively down")) << gateway_->output();
  EXPECT_EQ(submitRaw(*esme, concatenatedPart(3, 4)), 0u) << gateway_->output();
  EXPECT_EQ(submitRaw(*esme, concatenatedPart(4, 4)), 0u) << gateway_->output();
  std::vector<std::string> expected{"2", "2"};
  EXPECT_EQ(submits(), expected);
}

TEST_F(UpstreamEndToEndTest, Ucs2MoNamingANumberRoutesToItsOwnerAndIsAudited) {
  start({{}});
  auto esme = bound();
  // Sent to a number nobody owns: only the decoded text names acme's number.
  smsc().command("mo-ucs2 447700900555 99999 call 12345 gr\u00fc\u00dfe \u20ac5");
  const auto parsed = esme->readDeliver(10s);
  ASSERT_TRUE(parsed.has_value()) << gateway_->output();
  EXPECT_EQ(parsed->source, "447700900555");
  EXPECT_EQ(parsed->destination, "99999");
  // The message itself is relayed as the SMSC sent it, in UCS-2.
  std::string ucs2;
  for (const char16_t unit : std::u16string(u"call 12345 gr\u00fc\u00dfe \u20ac5")) {
    ucs2 += {static_cast<char>(unit >> 8), static_cast<char>(unit & 0xFF)};
  }
  EXPECT_EQ(parsed->shortMessage, ucs2);
  // The audit lines of a routed MO and of a submit name no object.
  ASSERT_FALSE(submitForReceipt(*esme).empty());
  const std::string audit = gateway_->dir().read("audit.log");
  EXPECT_NE(audit.find(" (nil) SMPPUpstream::processDeliverSM esmeSystemID=(acme) "),
            std::string::npos)
      << audit;
  EXPECT_NE(audit.find(" (nil) SMPPUpstream::sendSubmitSM sessionid=0x"), std::string::npos)
      << audit;
}

} // namespace
} // namespace quorvex::test
