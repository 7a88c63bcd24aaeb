// The upstream manager against the real SMSC simulator, started as a child
// process: submits, responses, receipts in their forms, MO messages,
// refused binds and dropped connections. The iteration is driven by hand.
#include <gtest/gtest.h>

#include <memory>

#include "smpp/ReceiptText.h"
#include "smpp/SMPPConstants.h"
#include "smpp/SubmitSMRecord.h"
#include "support/ChildProcess.h"
#include "tracker/SmscId.h"
#include "upstream/DeliverSMView.h"
#include "upstream/ReceiptFields.h"
#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {
namespace {

constexpr uint64_t kEsmeSession = 91;

class SimulatorTest : public UpstreamTest {
protected:
  void startSimulator(std::vector<std::string> args) {
    args.push_back("--port");
    args.push_back("0");
    sim_ = std::make_unique<quorvex::test::ChildProcess>(QUORVEX_SMSC_SIM, args, simDir_.path(),
                                                         "sim");
    const std::string marker = "smsc-sim listening port=";
    ASSERT_TRUE(sim_->waitForOutput(marker)) << sim_->errors();
    const std::string out = sim_->output();
    port_ = static_cast<uint16_t>(std::stoi(out.substr(out.find(marker) + marker.size())));
    tracker_.setSessionSystemID(kEsmeSession, "esme1");
    RecordingPort& recording = UpstreamTest::port_;
    recording.openSessions.insert(kEsmeSession);
  }
  // Configures target "A" with `binds` binds and runs until all are bound.
  bool bindAll(int binds = 1) {
    addSet("s1", {makeTarget("A", port_, binds, 1)});
    upstream_->initialise();
    return runUntil(
        [&] {
          for (int k = 0; k < binds; ++k) {
            if (bindStateOf(smscId("A", k, false)) != smpp::kBoundTransceiver) {
              return false;
            }
          }
          return true;
        },
        5000);
  }
  bool send(uint64_t esmeSeq, const std::string& destination = "447700900123", int bind = 0) {
    smpp::SubmitSMRecord r;
    r.source_addr = "Quorvex";
    r.destination_addr = destination;
    r.registered_delivery = 1;
    r.short_message = {'h', 'i'};
    uint32_t seqOut = 0;
    std::string name;
    return upstream_->sendSubmitSM("esme1", kEsmeSession, smscId("A", bind, false), esmeSeq, r,
                                   seqOut, name);
  }
  RecordingPort& recorded() { return UpstreamTest::port_; }
  bool waitFor(size_t relays, size_t pushes) {
    return runUntil(
        [&] { return recorded().relays.size() >= relays && recorded().pushes.size() >= pushes; },
        5000);
  }
  static ReceiptFields receiptOf(const std::vector<uint8_t>& body) {
    DeliverSMView view;
    EXPECT_TRUE(decodeDeliverSM(body.data(), body.size(), view));
    return readReceipt(view);
  }

  quorvex::test::TempDir simDir_;                    // the simulator's working directory
  std::unique_ptr<quorvex::test::ChildProcess> sim_; // the simulator
  uint16_t port_ = 0;                                // its port
};

TEST_F(SimulatorTest, ResponseCarriesTheSmscIdAndTheTextReceiptFollows) {
  startSimulator({});
  ASSERT_TRUE(bindAll());
  ASSERT_TRUE(send(5));
  ASSERT_TRUE(waitFor(1, 1));
  EXPECT_EQ(recorded().relays[0].sequence, 5u);
  EXPECT_EQ(recorded().relays[0].status, 0u);
  EXPECT_EQ(recorded().relays[0].messageId, "3b9aca00");
  EXPECT_EQ(recorded().pushes[0].esme, "esme1");
  const ReceiptFields receipt = receiptOf(recorded().pushes[0].body);
  EXPECT_EQ(receipt.messageId, "3b9aca00");
  EXPECT_EQ(receipt.state, smpp::kStateDelivered);
}

TEST_F(SimulatorTest, TlvReceiptWithDecimalIds) {
  startSimulator({"--receipts", "tlv", "--id-form", "dec"});
  ASSERT_TRUE(bindAll());
  ASSERT_TRUE(send(6));
  ASSERT_TRUE(waitFor(1, 1));
  EXPECT_EQ(recorded().relays[0].messageId, "1000000000");
  EXPECT_EQ(receiptOf(recorded().pushes[0].body).messageId, "1000000000");
}

TEST_F(SimulatorTest, ReceiptBeforeResponseStillReachesTheEsme) {
  startSimulator({"--receipt-before-response"});
  ASSERT_TRUE(bindAll());
  ASSERT_TRUE(send(7));
  ASSERT_TRUE(waitFor(1, 1));
  EXPECT_EQ(recorded().pushes[0].esme, "esme1");
  EXPECT_EQ(recorded().relays[0].sequence, 7u);
}

TEST_F(SimulatorTest, ReceiptOverAnotherBindOfTheTargetIsRouted) {
  startSimulator({"--receipt-on-other-bind"});
  ASSERT_TRUE(bindAll(2));
  ASSERT_TRUE(send(8, "447700900123", 0));
  ASSERT_TRUE(waitFor(1, 1));
  EXPECT_EQ(recorded().pushes[0].esme, "esme1");
  EXPECT_EQ(receiptOf(recorded().pushes[0].body).messageId, recorded().relays[0].messageId);
}

TEST_F(SimulatorTest, ErrorStatusForAChosenDestination) {
  startSimulator({"--fail", "4479=0x58"});
  ASSERT_TRUE(bindAll());
  ASSERT_TRUE(send(9, "4479"));
  ASSERT_TRUE(waitFor(1, 0));
  EXPECT_EQ(recorded().relays[0].status, 0x58u);
  EXPECT_EQ(recorded().relays[0].messageId, "");
}

TEST_F(SimulatorTest, DroppedConnectionIsReopenedAfterTheBackOff) {
  startSimulator({"--drop-after", "1", "--receipts", "none"});
  ASSERT_TRUE(bindAll());
  const uint64_t id = smscId("A", 0, false);
  ASSERT_TRUE(send(10));
  ASSERT_TRUE(runUntil([&] { return sessionCount() == 0; }, 5000));
  clock_.advanceSeconds(2);
  upstream_->upstreamRun();
  EXPECT_EQ(sessionCount(), 0u);
  clock_.advanceSeconds(1);
  ASSERT_TRUE(runUntil([&] { return bindStateOf(id) == smpp::kBoundTransceiver; }, 5000));
  EXPECT_TRUE(send(11));
}

TEST_F(SimulatorTest, RefusedBindIsRetried) {
  startSimulator({"--refuse-binds"});
  addSet("s1", {makeTarget("A", port_, 1, 1)});
  upstream_->initialise();
  smpp::test::LogTail log;
  ASSERT_TRUE(runUntil([&] { return log.contains("NAK (13)"); }, 5000));
  ASSERT_TRUE(runUntil([&] { return sessionCount() == 0; }, 100));
  clock_.advanceSeconds(3);
  ASSERT_TRUE(runUntil(
      [&] { return sim_->output().find("bind refused") != sim_->output().rfind("bind refused"); },
      5000));
}

TEST_F(SimulatorTest, Ucs2MoIsRoutedByItsText) {
  startSimulator({});
  config_.numberOwners = {{"300", "esme3"}, {"555", "esme5"}};
  ASSERT_TRUE(bindAll());
  sim_->writeInput("mo-ucs2 447700900123 555 Gr\xC3\xBC\xC3\x9F"
                   "e 300\n");
  ASSERT_TRUE(runUntil([&] { return !recorded().pushes.empty(); }, 5000));
  EXPECT_EQ(recorded().pushes[0].esme, "esme3");
  sim_->writeInput("mo 447700900123 555 hello\n");
  ASSERT_TRUE(runUntil([&] { return recorded().pushes.size() == 2; }, 5000));
  EXPECT_EQ(recorded().pushes[1].esme, "esme5");
  EXPECT_TRUE(sim_->waitForOutput("smsc-sim mo sent"));
}

} // namespace
} // namespace quorvex::upstream::test
