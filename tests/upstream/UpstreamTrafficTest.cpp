// The traffic path against the loopback SMSC: submits placed on a bind,
// responses relayed to the ESME side, receipts and MO messages queued for
// their ESMEs and acknowledged.
#include <gtest/gtest.h>

#include <cstdio>

#include "smpp/SMPPConstants.h"
#include "smpp/SubmitSMRecord.h"
#include "tracker/SmscId.h"
#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {
namespace {

namespace command = smpp::command;

smpp::SubmitSMRecord submitRecord(const std::string& destination = "447700900123") {
  smpp::SubmitSMRecord r;
  r.source_addr = "Quorvex";
  r.destination_addr = destination;
  r.registered_delivery = 1;
  r.short_message = bytes("hello");
  return r;
}

class TrafficTest : public LoopbackSmscTest {
protected:
  static constexpr uint64_t kEsmeSession = 77;

  void SetUp() override {
    id_ = configure(smsc_.port());
    fd_ = bind(id_);
    ASSERT_GE(fd_, 0);
    tracker_.setSessionSystemID(kEsmeSession, "esme1");
    port_.openSessions.insert(kEsmeSession);
  }
  // Sends a submit and returns the upstream frame the SMSC received.
  Frame submit(uint64_t esmeSeq, uint32_t& seqOut, const std::string& destination = "4477") {
    std::string name;
    EXPECT_TRUE(upstream_->sendSubmitSM("esme1", kEsmeSession, id_, esmeSeq,
                                        submitRecord(destination), seqOut, name));
    EXPECT_EQ(name, "A");
    upstream_->upstreamRun(); // the loop's pass writes what was queued
    return FakeSMSC::read(fd_);
  }
  void respond(uint32_t seq, const std::string& messageId, uint32_t status = 0) {
    PduBuilder b;
    if (status == 0) {
      b.cstr(messageId);
    }
    FakeSMSC::write(fd_, b.frame(command::kSubmitSMResp, seq, status));
  }
  // Sends a deliver_sm and returns the SMSC's view of the answer.
  Frame deliver(const PduBuilder& body, uint32_t seq = 900) {
    FakeSMSC::write(fd_, body.frame(command::kDeliverSM, seq));
    runUntil([] { return false; }, 3);
    return FakeSMSC::read(fd_, 200);
  }

  uint64_t id_ = 0; // smscid of the bind
  int fd_ = -1;     // the SMSC's end of it
};

TEST_F(TrafficTest, SubmitIsResequencedAndItsResponseRelayedWithTheSmscId) {
  uint32_t seqOut = 0;
  const Frame sent = submit(5, seqOut);
  EXPECT_EQ(sent.header.command_id, command::kSubmitSM);
  EXPECT_EQ(sent.header.sequence_number, seqOut);
  EXPECT_NE(seqOut, 5u);
  EXPECT_EQ(registry_.counterValue("smppSubmitSM{esme=\"esme1\",smsc=\"A\"}"), 1u);
  EXPECT_EQ(registry_.counterValue("smppSubmitSM_SMSC_Bind{smsc=\"A\",bind=\"0\"}"), 1u);
  respond(seqOut, "3b9aca00");
  ASSERT_TRUE(runUntil([&] { return !port_.relays.empty(); }));
  EXPECT_EQ(port_.relays[0].sessionId, kEsmeSession);
  EXPECT_EQ(port_.relays[0].sequence, 5u);
  EXPECT_EQ(port_.relays[0].status, 0u);
  EXPECT_EQ(port_.relays[0].messageId, "3b9aca00");
  // The id now leads a receipt on any bind of the target to the ESME.
  EXPECT_EQ(tracker_.getMessageIDMapping(smscId("A", 1, false), "3b9aca00").value_or(""), "esme1");
}

TEST_F(TrafficTest, ResponsesThatMatchNothingAreDropped) {
  smpp::test::LogTail log;
  respond(4242, "x");
  uint32_t seqOut = 0;
  submit(7, seqOut);
  port_.openSessions.clear();
  respond(seqOut, "y");
  runUntil([] { return false; }, 5);
  EXPECT_TRUE(port_.relays.empty());
  EXPECT_TRUE(log.contains("Unable to parse submit_sm_resp from upstream A")) << log.text();
  EXPECT_TRUE(log.contains("Unable to pass submit_sm_resp to ESME 77 from upstream A"));
}

TEST_F(TrafficTest, CandidatesWithoutABoundTransmitterAreRefused) {
  uint32_t seqOut = 0;
  std::string name;
  EXPECT_FALSE(upstream_->sendSubmitSM("esme1", kEsmeSession, smscId("Z", 0, false), 1,
                                       submitRecord(), seqOut, name));
  for (const int state : {smpp::kBoundReceiver, smpp::kBindRequested}) {
    upstream_->inspect([&](const auto& slots, const auto&) {
      for (const auto& [smscid, slot] : slots) {
        slot.session->setBindState(state);
      }
    });
    EXPECT_FALSE(
        upstream_->sendSubmitSM("esme1", kEsmeSession, id_, 1, submitRecord(), seqOut, name));
  }
}

TEST_F(TrafficTest, TpsLimitRefusesTheFourthSubmitWithinOneSecond) {
  config_.confSharedTargetSets["s1"].targets[0].tpsLimit = 3;
  upstream_->reinitUpstreamBinds(true);
  uint32_t seqOut = 0;
  std::string name;
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(
        upstream_->sendSubmitSM("esme1", kEsmeSession, id_, i, submitRecord(), seqOut, name));
  }
  EXPECT_FALSE(
      upstream_->sendSubmitSM("esme1", kEsmeSession, id_, 3, submitRecord(), seqOut, name));
  clock_.advanceMicros(1000001);
  EXPECT_TRUE(upstream_->sendSubmitSM("esme1", kEsmeSession, id_, 4, submitRecord(), seqOut, name));
}

TEST_F(TrafficTest, MissingResponseClosesTheSessionAndTheSubmitIsAnswered) {
  uint32_t seqOut = 0;
  submit(8, seqOut);
  clock_.advanceSeconds(59);
  FakeSMSC::write(fd_, PduBuilder().frame(command::kEnquireLink, 3)); // keeps it active
  runUntil([] { return false; }, 3);
  EXPECT_EQ(sessionCount(), 1u);
  EXPECT_TRUE(port_.relays.empty());
  clock_.advanceSeconds(2);
  upstream_->upstreamRun();
  EXPECT_EQ(sessionCount(), 0u);
  ASSERT_EQ(port_.relays.size(), 1u);
  EXPECT_EQ(port_.relays[0].sequence, 8u);
  EXPECT_EQ(port_.relays[0].requestId, command::kSubmitSM);
  EXPECT_EQ(port_.relays[0].status, 0x08u);
  // The next connection of the bind continues its sequence numbers.
  clock_.advanceSeconds(3);
  fd_ = bind(id_);
  ASSERT_GE(fd_, 0);
  uint32_t next = 0;
  submit(9, next);
  EXPECT_GT(next, seqOut);
}

TEST_F(TrafficTest, TrackedReceiptIsQueuedForItsEsmeAndAcknowledged) {
  tracker_.addMessageIDMapping(id_, "77431", "esme1");
  const PduBuilder body = deliverSMBody(
      0x04, bytes("id:77431 sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 "
                  "stat:DELIVRD err:000 text:"));
  const Frame answer = deliver(body, 901);
  EXPECT_EQ(answer.header.command_id, command::kDeliverSMResp);
  EXPECT_EQ(answer.header.sequence_number, 901u);
  EXPECT_EQ(answer.body, std::vector<uint8_t>{0});
  ASSERT_EQ(port_.pushes.size(), 1u);
  EXPECT_EQ(port_.pushes[0].esme, "esme1");
  EXPECT_EQ(port_.pushes[0].body, body.body());
  EXPECT_EQ(upstream_->deliverSMCount(), 1u);
}

TEST_F(TrafficTest, EarlyReceiptIsHeldAndDeliveredWhenItsResponseArrives) {
  // No owner anywhere yet: no mapping, no target->ESME entry.
  PduBuilder body = deliverSMBody(0x04, bytes(""));
  body.tlv(0x001E, bytes(std::string("m-1\0", 4))).tlv(0x0427, {2});
  const Frame answer = deliver(body);
  EXPECT_EQ(answer.header.command_id, command::kDeliverSMResp);
  EXPECT_TRUE(port_.pushes.empty());
  EXPECT_EQ(upstream_->heldReceiptCount(), 1u);

  uint32_t seqOut = 0;
  submit(9, seqOut);
  respond(seqOut, "m-1");
  ASSERT_TRUE(runUntil([&] { return !port_.pushes.empty(); }));
  EXPECT_EQ(port_.relays.size(), 1u);
  EXPECT_EQ(port_.pushes[0].esme, "esme1");
  EXPECT_EQ(port_.pushes[0].body, body.body());
  EXPECT_EQ(upstream_->heldReceiptCount(), 0u);
}

TEST_F(TrafficTest, HeldReceiptsAreDroppedAfterTheCleanupInterval) {
  config_.jconfig["cdr"] = {{"cleanup_interval", 1}};
  upstream_->reinitUpstreamBinds(true);
  PduBuilder body = deliverSMBody(0x04, bytes(""));
  body.tlv(0x001E, bytes("never"));
  deliver(body);
  EXPECT_EQ(upstream_->heldReceiptCount(), 1u);
  clock_.advanceSeconds(1800);
  runUntil([] { return false; }, 2);
  EXPECT_EQ(upstream_->heldReceiptCount(), 1u);
  clock_.advanceSeconds(1801);
  runUntil([] { return false; }, 2);
  EXPECT_EQ(upstream_->heldReceiptCount(), 0u);
  EXPECT_EQ(upstream_->droppedHeldReceipts(), 1u);
}

TEST_F(TrafficTest, MoGoesToTheOwnerOfANumberInItsTextBeforeItsDestination) {
  config_.numberOwners = {{"100", "owner100"}, {"200", "owner200"}};
  deliver(deliverSMBody(0x00, bytes("200"), 0, "100"));
  PduBuilder stop = deliverSMBody(0x00, bytes("STOP"), 0, "100");
  stop.tlv(0x1801, {0xAB, 0xCD});
  // The answer echoes the vendor TLV.
  EXPECT_EQ(deliver(stop).body, (std::vector<uint8_t>{0x00, 0x18, 0x01, 0x00, 0x02, 0xAB, 0xCD}));
  const Frame answer = deliver(deliverSMBody(0x00, bytes("hi"), 0, "999"));
  EXPECT_EQ(answer.header.command_id, command::kDeliverSMResp);
  ASSERT_EQ(port_.pushes.size(), 2u);
  EXPECT_EQ(port_.pushes[0].esme, "owner200");
  EXPECT_EQ(port_.pushes[1].esme, "owner100");
}

TEST_F(TrafficTest, UndecodableDeliverIsNotAcknowledged) {
  smpp::test::LogTail log;
  std::vector<uint8_t> body = deliverSMBody(0x04, bytes("abc")).body();
  body.resize(body.size() - 2);
  FakeSMSC::write(fd_, PduBuilder().raw(body).frame(command::kDeliverSM, 5));
  runUntil([] { return false; }, 3);
  EXPECT_EQ(FakeSMSC::read(fd_, 100).header.command_id, 0u);
  EXPECT_TRUE(log.contains("deliver_sm PARSE ISSUE session=")) << log.text();
}

} // namespace
} // namespace quorvex::upstream::test
