// The upstream side of the real gateway against the SMSC simulator: SMSC
// refusals and dropped binds relayed, message tracking across a kill, targets
// added and taken down through the admin API, concatenated parts kept on one
// SMSC, MO routing, the metrics scrape and correlated call-detail records.
// The status report of live binds is checked in TlsTest.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
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
      std::istringstream fields(row + ",");
      rows.emplace_back();
      for (std::string column; std::getline(fields, column, ',');) {
        rows.back().push_back(column);
      }
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

// The response to `body` sent as a `commandId` request (a submit_sm by
// default), with status 0xFFFFFFFF when none came.
Pdu call(SmppTestClient& esme, const std::vector<uint8_t>& body, uint32_t commandId = 0x04) {
  return esme.request(commandId, body).value_or(Pdu{0, 0xFFFFFFFF, 0, {}});
}

// A gateway whose target set "ts" holds the simulators of the test and whose
// ESME "acme" (password "pw") uses it.
class UpstreamEndToEndTest : public ::testing::Test {
protected:
  // Starts a simulator with `args`, its target "smsc1" of `bindqty` binds
  // and the gateway, and waits until every bind is up.
  void start(std::vector<std::string> args, int bindqty = 1, const json& cdr = json::object()) {
    json config = baseConfig();
    config["base"]["log.audit"] = true;
    config["cdr"] = {{"batch_flush_interval", 1}};
    config["cdr"].update(cdr);
    smscs_.push_back(std::make_unique<SimulatorProcess>(std::move(args)));
    config["targetsets"] =
        json::array({targetSet("ts", json::array({target("smsc1", smsc().port(), bindqty)}))});
    config["esme"] = esmes_;
    gateway_ = std::make_unique<Gateway>(config);
    ASSERT_TRUE(gateway_->ready()) << gateway_->output();
    ASSERT_TRUE(bindsUp(static_cast<size_t>(bindqty)));
  }

  // The gateway has logged `binds` bind responses in all. Only bound binds
  // are offered: the simulator's line comes earlier.
  bool bindsUp(size_t binds) {
    const bool up = eventually([&] { return occurrences(gateway_->output(), ") OK (") >= binds; });
    EXPECT_TRUE(up) << gateway_->output();
    return up;
  }

  SimulatorProcess& smsc(size_t i = 0) { return *smscs_[i]; }

  // A submit asking for a receipt; the SMSC's message id from its response.
  std::string submitForReceipt(SmppTestClient& esme) {
    const std::string id =
        SmppTestClient::acceptedId(esme.submitAndWait({.registeredDelivery = 1}));
    EXPECT_FALSE(id.empty()) << gateway_->output();
    return id;
  }

  // The text of the next receipt delivered to `esme`, acknowledged.
  static std::string receiptText(SmppTestClient& esme, std::chrono::milliseconds timeout = 10s) {
    const auto receipt = esme.readDeliver(timeout);
    EXPECT_TRUE(receipt && (receipt->esmClass & 0x04));
    return receipt ? receipt->shortMessage : std::string();
  }

  json esmes_ =
      json::array({account("acme", "pw", {{"sharedtargetsetid", "ts"}, {"inboundmo", {"12345"}}})});
  std::vector<std::unique_ptr<SimulatorProcess>> smscs_;
  std::unique_ptr<Gateway> gateway_;
};

TEST_F(UpstreamEndToEndTest, ReceiptsAfterAKillReachTheirOwnEsmesThenScrapeAndCorrelatedRows) {
  // Two customers share the target, so only the stored message-id mapping can
  // tell whose receipt is whose. The receipts are due long after the
  // responses; with no receiver bound they wait in the simulator until the
  // restarted gateway binds again. They quote in decimal the ids the
  // responses gave in hex.
  esmes_.push_back(account("zeta", "pw", {{"sharedtargetsetid", "ts"}}));
  start({"--receipts", "text", "--receipt-delay-ms", "2000", "--receipt-id-form", "dec"}, 2,
        json{{"mode", "correlate"}});
  std::string acmeId, zetaId;
  {
    auto acme = gateway_->bound("acme");
    auto zeta = gateway_->bound("zeta");
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
  auto acme = gateway_->bound("acme");
  auto zeta = gateway_->bound("zeta");
  for (const auto& [esme, hexId] : {std::pair{acme.get(), acmeId}, std::pair{zeta.get(), zetaId}}) {
    const std::string quoted = "id:" + std::to_string(std::stoull(hexId, nullptr, 16)) + " ";
    EXPECT_NE(receiptText(*esme, 20s).find(quoted), std::string::npos) << quoted;
  }
  EXPECT_FALSE(zeta->readCommand(kDeliverSM, 300ms).has_value());

  // Submits, responses and receipts, so that the labelled series exist.
  std::string messageId;
  for (int i = 0; i < 3; ++i) {
    messageId = submitForReceipt(*acme);
  }
  for (int i = 0; i < 3; ++i) {
    ASSERT_FALSE(receiptText(*acme).empty()) << gateway_->output();
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

  EXPECT_EQ(gateway_->stop(), 0);
  const std::string cdrs = dir.read("cdrs.csv");
  const auto rows = rowsOf(cdrs, messageId);
  // One row joins the submit (ESME, SMSC) and the receipt (DELIVRD = 2).
  ASSERT_EQ(rows.size(), 1u) << cdrs;
  const auto& row = rows[0];
  ASSERT_EQ(row.size(), kColumns) << cdrs;
  EXPECT_EQ((std::vector{row[kSubmitStatus], row[kDeliveryStatus], row[kEsmeId], row[kSmscName]}),
            (std::vector<std::string>{"0", "2", "acme", "smsc1"}))
      << cdrs;
  EXPECT_FALSE(row[kSubmitTime].empty() || row[kDlrReceivedTime].empty()) << cdrs;
}

// One SMSC that refuses 447700900999, nacks 777, never answers 999 and drops
// a bind at its 30th submit; a second one is added through the admin API.
TEST_F(UpstreamEndToEndTest, DroppedBindRefusalsDataSMMoAuditAndPartsMovingOffADownedSmsc) {
  start({"--fail", "447700900999=0x0000000B", "--nack", "777=20", "--silent", "999", "--drop-after",
         "30"});

  // The 29 submits in flight when the bind drops are answered "try again",
  // and the bind comes back.
  auto esme = gateway_->bound("acme");
  SubmitFields fields;
  for (int i = 0; i < 30; ++i) {
    fields.destination = i < 29 ? "999" : "447700900123";
    ASSERT_TRUE(esme->send(0x00000004, esme->nextSequence(), SmppTestClient::submitBody(fields)));
  }
  std::map<uint32_t, int> statuses; // none: counted under 0xFFFFFFFF
  for (int i = 0; i < 30; ++i) {
    ++statuses[SmppTestClient::statusOf(esme->readCommand(kSubmitSMResp))];
  }
  EXPECT_EQ(statuses, (std::map<uint32_t, int>{{0, 1}, {0x08, 29}})); // 8: ESME_RSYSERR
  ASSERT_TRUE(bindsUp(2));
  EXPECT_EQ(call(*esme, SmppTestClient::submitBody(fields)).status, 0u);

  // SMSC refusals reach the ESME at once, without a message id.
  fields.destination = "447700900999";
  const Pdu refused = call(*esme, SmppTestClient::submitBody(fields));
  EXPECT_EQ(refused.status, 0x0000000Bu) << gateway_->output();
  EXPECT_TRUE(refused.body.empty());
  fields.destination = "777";
  EXPECT_EQ(call(*esme, SmppTestClient::submitBody(fields)).status, 20u);

  // data_sm (service_type, addresses, esm_class, registered_delivery,
  // data_coding, message_payload) is answered in kind; nothing asked for a
  // receipt, so no message id was kept.
  const Pdu dataSMResp =
      call(*esme, {0, 1, 1, '1', 0, 1, 1, '2', 0, 0, 0, 0, 0x04, 0x24, 0, 2, 'h', 'i'}, 0x00000103);
  EXPECT_EQ(dataSMResp.status, 0u) << gateway_->output();
  EXPECT_FALSE(SmppTestClient::cString(dataSMResp.body).empty());
  const std::string metrics = gateway_->get("/metrics");
  EXPECT_NE(metrics.find("sysTracker_messageIDMap_size 0"), std::string::npos) << metrics;

  // A UCS-2 MO sent to a number nobody owns: only the decoded text names
  // acme's number. It is relayed as the SMSC sent it.
  smsc().command("mo-ucs2 447700900555 99999 call 12345 gr\u00fc\u00dfe \u20ac5");
  const auto mo = esme->readDeliver(10s);
  ASSERT_TRUE(mo.has_value()) << gateway_->output();
  EXPECT_EQ(mo->source + ">" + mo->destination, "447700900555>99999");
  std::string ucs2;
  for (const char16_t unit : std::u16string(u"call 12345 gr\u00fc\u00dfe \u20ac5")) {
    ucs2 += {static_cast<char>(unit >> 8), static_cast<char>(unit & 0xFF)};
  }
  EXPECT_EQ(mo->shortMessage, ucs2);
  // The audit lines of a routed MO and of a submit name no object.
  const std::string audit = gateway_->dir().read("audit.log");
  for (const char* line : {" (nil) SMPPUpstream::processDeliverSM esmeSystemID=(acme) ",
                           " (nil) SMPPUpstream::sendSubmitSM sessionid=0x"}) {
    EXPECT_NE(audit.find(line), std::string::npos) << audit;
  }

  // A target added through the API is bound.
  smscs_.push_back(std::make_unique<SimulatorProcess>());
  const std::string added = target("smsc2", smsc(1).port()).dump();
  ASSERT_EQ(gateway_->admin("POST", "/targetsets/ts/targets", added).status, 200);
  ASSERT_TRUE(bindsUp(3));
  // Concatenated parts stay on one SMSC: the new one has all or none of the
  // first two. When theirs is taken out of service the rest of the message
  // moves, together, to the other instead of failing.
  const auto onSecond = [&] { return smsc(1).counts()["submits"]; };
  ASSERT_EQ(call(*esme, concatenatedPart(1, 4)).status, 0u) << gateway_->output();
  ASSERT_EQ(call(*esme, concatenatedPart(2, 4)).status, 0u) << gateway_->output();
  const std::string took = onSecond() == "2" ? "smsc2" : "smsc1";
  ASSERT_EQ(onSecond(), took == "smsc2" ? "2" : "0");
  const std::string down = R"({"admindown":true})";
  ASSERT_EQ(gateway_->admin("PUT", "/targetsets/ts/targets/" + took, down).status, 200);
  ASSERT_TRUE(gateway_->waitFor("set to administratively down")) << gateway_->output();
  EXPECT_EQ(call(*esme, concatenatedPart(3, 4)).status, 0u) << gateway_->output();
  EXPECT_EQ(call(*esme, concatenatedPart(4, 4)).status, 0u) << gateway_->output();
  EXPECT_EQ(onSecond(), "2");

  // The submits failed by the dropped bind were recorded.
  EXPECT_EQ(gateway_->stop(), 0);
  const std::string cdrs = gateway_->dir().read("cdrs.csv");
  const auto failed = rowsOf(cdrs, "");
  EXPECT_EQ(std::count_if(failed.begin(), failed.end(),
                          [](const auto& row) { return row[kSubmitStatus] == "8"; }),
            29)
      << cdrs;
}

} // namespace
} // namespace quorvex::test
