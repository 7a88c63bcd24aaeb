// The traffic path against the loopback SMSC: submits placed on a bind,
// responses relayed to the ESME side, receipts and MO messages queued for
// their ESMEs and acknowledged.
#include "smpp/SubmitSMRecord.h"
#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {
namespace {

using Relay = RecordingPort::Relay;
using Push = RecordingPort::Push;

class TrafficTest : public LoopbackSmscTest {
protected:
  static constexpr uint64_t kEsme = 77; // the ESME's session

  void SetUp() override {
    configure();
    ASSERT_TRUE(bind());
    record_.destination_addr = "447700900123";
    record_.registered_delivery = 1;
    tracker_.setSessionSystemID(kEsme, "esme1");
  }
  bool accepts(uint64_t smscid, uint64_t esmeSeq = 1) {
    return upstream_.sendSubmitSM("esme1", kEsme, smscid, esmeSeq, record_, seqOut_, name_);
  }
  // Sends a submit, which the SMSC receives under its upstream sequence number.
  void submit(uint64_t esmeSeq) {
    EXPECT_TRUE(accepts(id_, esmeSeq));
    EXPECT_EQ(name_, "A");
    upstream_.upstreamRun(); // the loop's pass writes what was queued
    EXPECT_EQ(head(read()), std::pair(command::kSubmitSM, seqOut_));
  }
  // Sends a deliver_sm and returns the SMSC's view of the answer.
  Frame deliver(const PduBuilder& body, uint32_t seq = 900) {
    write(body.frame(command::kDeliverSM, seq));
    run(3);
    return read(200);
  }

  smpp::SubmitSMRecord record_; // asks for a receipt
  uint32_t seqOut_ = 0;         // upstream sequence number of the last submit
  std::string name_;            // target name of the last submit
};

TEST_F(TrafficTest, SubmitIsResequencedAndOnlyItsOwnResponseRelayed) {
  submit(5);
  EXPECT_NE(seqOut_, 5u);
  EXPECT_EQ(registry_.counterValue("smppSubmitSM{esme=\"esme1\",smsc=\"A\"}"), 1u);
  EXPECT_EQ(registry_.counterValue("smppSubmitSM_SMSC_Bind{smsc=\"A\",bind=\"0\"}"), 1u);
  write(PduBuilder().cstr("x").frame(command::kSubmitSMResp, 4242)); // matches no submit
  write(PduBuilder().cstr("3b9aca00").frame(command::kSubmitSMResp, seqOut_));
  ASSERT_TRUE(runUntil([&] { return !port_.relays.empty(); }));
  EXPECT_EQ(port_.relays, (std::vector<Relay>{{kEsme, 5, command::kSubmitSM, 0, "3b9aca00"}}));
  // The id now leads a receipt on any bind of the target to the ESME.
  EXPECT_EQ(tracker_.getMessageIDMapping(smscId("A", 1, false), "3b9aca00").value_or(""), "esme1");
  // The ESME left before the response: counted, and its receipt still finds it.
  port_.esmeConnected = false;
  submit(6);
  write(PduBuilder().cstr("y").frame(command::kSubmitSMResp, seqOut_));
  EXPECT_TRUE(runUntil(
      [&] { return registry_.counterValue("sockets_smpp_DN_SubmitSMResp_sendFail") == 1; }));
  EXPECT_EQ(port_.relays.size(), 1u);
  EXPECT_EQ(tracker_.getMessageIDMapping(id_, "y").value_or(""), "esme1");
}

TEST_F(TrafficTest, RefusedBeyondTheTpsLimitOrWithoutABoundTransmitter) {
  target().tpsLimit = 3;
  upstream_.reinitUpstreamBinds(true);
  EXPECT_EQ((std::vector<bool>{accepts(id_), accepts(id_), accepts(id_), accepts(id_)}),
            (std::vector<bool>{true, true, true, false}));
  clock_.now += 1000001;
  EXPECT_TRUE(accepts(id_));
  EXPECT_FALSE(accepts(smscId("Z", 0, false)));
  const std::pair<int, bool> states[] = {{smpp::kBoundReceiver, false},
                                         {smpp::kBindRequested, false},
                                         {smpp::kBoundTransmitter, true}};
  for (const auto& [state, accepted] : states) {
    upstream_.inspect(
        [&](const auto& slots, const auto&) { slots.at(id_).session->setBindState(state); });
    EXPECT_EQ(accepts(id_), accepted) << state;
  }
}

TEST_F(TrafficTest, MissingResponseClosesTheSessionAndTheSubmitIsAnswered) {
  submit(8);
  const uint32_t seqOut = seqOut_;
  write(PduBuilder().frame(command::kEnquireLink, 3)); // keeps it active
  after(59, 3);
  EXPECT_EQ(sessions().size(), 1u);
  EXPECT_TRUE(port_.relays.empty());
  after(2);
  EXPECT_TRUE(sessions().empty());
  EXPECT_EQ(port_.relays, (std::vector<Relay>{{kEsme, 8, command::kSubmitSM, 0x08, ""}}));
  // The next connection of the bind continues its sequence numbers.
  clock_.advanceSeconds(3);
  ASSERT_TRUE(bind());
  submit(9);
  EXPECT_GT(seqOut_, seqOut);
}

TEST_F(TrafficTest, TrackedReceiptIsQueuedForItsEsmeAndAcknowledgedButNotAnUndecodableOne) {
  std::vector<uint8_t> cut = deliverSMBody(0x04, bytes("abc")).body();
  cut.resize(cut.size() - 2);
  EXPECT_EQ(deliver(PduBuilder().raw(cut), 5).header.command_id, 0u);
  tracker_.addMessageIDMapping(id_, "77431", "esme1");
  const PduBuilder body = deliverSMBody(
      0x04, bytes("id:77431 sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 "
                  "stat:DELIVRD err:000 text:"));
  const Frame answer = deliver(body, 901);
  EXPECT_EQ(head(answer), std::pair(command::kDeliverSMResp, 901u));
  EXPECT_EQ(answer.body, std::vector<uint8_t>{0});
  EXPECT_EQ(port_.pushes, (std::vector<Push>{{"esme1", body.body()}}));
  EXPECT_EQ(upstream_.deliverSMCount(), 2u); // the undecodable one counts
}

TEST_F(TrafficTest, EarlyReceiptIsHeldUntilItsResponseArrivesOrTheCleanupInterval) {
  config_.jconfig["cdr"] = {{"cleanup_interval", 1}};
  upstream_.reinitUpstreamBinds(true);
  // No owner anywhere yet: no mapping, no target->ESME entry.
  PduBuilder body = deliverSMBody(0x04, bytes(""));
  body.tlv(0x001E, bytes(std::string("m-1\0", 4))).tlv(0x0427, {2});
  EXPECT_EQ(deliver(body).header.command_id, command::kDeliverSMResp);
  deliver(deliverSMBody(0x04, bytes("")).tlv(0x001E, bytes("never")));
  EXPECT_TRUE(port_.pushes.empty());
  EXPECT_EQ(upstream_.heldReceiptCount(), 2u);

  submit(9);
  write(PduBuilder().cstr("m-1").frame(command::kSubmitSMResp, seqOut_));
  ASSERT_TRUE(runUntil([&] { return !port_.pushes.empty(); }));
  EXPECT_EQ(port_.relays.size(), 1u);
  EXPECT_EQ(port_.pushes, (std::vector<Push>{{"esme1", body.body()}}));
  EXPECT_EQ(upstream_.heldReceiptCount(), 1u);
  // The other is dropped once older than the cleanup interval (an hour).
  after(1800, 2);
  EXPECT_EQ(upstream_.heldReceiptCount(), 1u);
  after(1801, 2);
  EXPECT_EQ(upstream_.heldReceiptCount(), 0u);
  EXPECT_EQ(upstream_.droppedHeldReceipts(), 1u);
}

TEST_F(TrafficTest, MoGoesToTheOwnerOfANumberInItsTextBeforeItsDestination) {
  config_.numberOwners = {{"100", "owner100"}, {"200", "owner200"}};
  const PduBuilder numbered = deliverSMBody(0x00, bytes("200"), "100");
  deliver(numbered);
  PduBuilder stop = deliverSMBody(0x00, bytes("STOP"), "100");
  stop.tlv(0x1801, {0xAB, 0xCD});
  // The answer echoes the vendor TLV.
  EXPECT_EQ(deliver(stop).body, (std::vector<uint8_t>{0x00, 0x18, 0x01, 0x00, 0x02, 0xAB, 0xCD}));
  // Nobody owns it: answered, not queued.
  EXPECT_EQ(deliver(deliverSMBody(0x00, bytes("hi"), "999")).header.command_id,
            command::kDeliverSMResp);
  EXPECT_EQ(port_.pushes,
            (std::vector<Push>{{"owner200", numbered.body()}, {"owner100", stop.body()}}));
}

} // namespace
} // namespace quorvex::upstream::test
