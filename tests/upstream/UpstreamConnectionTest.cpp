// The connection manager against a minimal SMSC on a loopback socket: the
// iteration is driven by hand and timers run on a hand-moved clock.
#include <gtest/gtest.h>

#include "smpp/SMPPConstants.h"
#include "tracker/SmscId.h"
#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {
namespace {

namespace command = smpp::command;

using ConnectionTest = LoopbackSmscTest;

TEST_F(ConnectionTest, ConnectsAndBindsAsTransceiverWithTheSlotsCredentials) {
  const uint64_t id = configure(smsc_.port());
  Frame request;
  const int fd = connectAndReadBind(id, request);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(request.header.command_id, command::kBindTransceiver);
  EXPECT_EQ(
      request.body,
      (PduBuilder().cstr("gw").cstr("pw").cstr("").octet(0x34).octet(0).octet(0).cstr("").body()));
  FakeSMSC::write(fd, PduBuilder().cstr("SMSC").frame(command::kBindTransceiverResp,
                                                      request.header.sequence_number));
  ASSERT_TRUE(runUntil([&] { return bindStateOf(id) == smpp::kBoundTransceiver; }));
  EXPECT_EQ(upstream_->boundSessionCount(), 1u);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessionsBound"), 1);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessions"), 1);
  EXPECT_EQ(registry_.counterValue("smppUpstreamBindAttempt{result=\"success\"}"), 1u);
}

TEST_F(ConnectionTest, ReceiveOnlyTargetsSendBindReceiver) {
  const uint64_t id = configure(smsc_.port(), true);
  ASSERT_GE(bind(id, command::kBindReceiverResp), 0);
  EXPECT_EQ(bindStateOf(id), smpp::kBoundReceiver);
}

TEST_F(ConnectionTest, DownSmscIsRetriedOnTheBackOffLadder) {
  const uint16_t port = smsc_.port();
  smsc_.stopListening();
  const uint64_t id = configure(port);
  std::vector<uint64_t> delays;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const uint64_t before = slot(id).attempts;
    ASSERT_TRUE(runUntil([&] { return slot(id).attempts > before && !slot(id).sessionActive; }));
    delays.push_back((slot(id).nextAttempt - testNow()) / 1000000ULL);
    testNow() = slot(id).nextAttempt;
  }
  EXPECT_EQ(delays, (std::vector<uint64_t>{3, 10, 15, 15, 30, 45, 45, 45}));
  EXPECT_EQ(sessionCount(), 0u);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessions"), 0);
}

TEST_F(ConnectionTest, BindRefusalIsRetriedAfterThreeSeconds) {
  const uint64_t id = configure(smsc_.port());
  for (int round = 0; round < 2; ++round) {
    Frame request;
    const int fd = connectAndReadBind(id, request);
    ASSERT_GE(fd, 0);
    FakeSMSC::write(
        fd, PduBuilder().frame(command::kBindTransceiverResp, request.header.sequence_number, 13));
    ASSERT_TRUE(runUntil([&] { return sessionCount() == 0; }));
    // The TCP connect reset the ladder: the next attempt waits 3 s.
    EXPECT_EQ(slot(id).nextAttempt - testNow(), 3000000u);
    testNow() = slot(id).nextAttempt;
  }
  EXPECT_EQ(registry_.counterValue("smppUpstreamBindAttempt{result=\"fail\"}"), 2u);
}

TEST_F(ConnectionTest, BindWithoutResponseIsDroppedAfterThirtySeconds) {
  const uint64_t id = configure(smsc_.port());
  Frame request;
  ASSERT_GE(connectAndReadBind(id, request), 0);
  clock_.advanceSeconds(29);
  upstream_->upstreamRun();
  EXPECT_EQ(sessionCount(), 1u);
  clock_.advanceSeconds(2);
  upstream_->upstreamRun();
  EXPECT_EQ(sessionCount(), 0u);
  EXPECT_FALSE(slot(id).sessionActive);
}

TEST_F(ConnectionTest, AdminDownUnbindsAndClosesAndOpensNothingUntilCleared) {
  const uint64_t id = configure(smsc_.port());
  const int fd = bind(id);
  ASSERT_GE(fd, 0);
  config_.confSharedTargetSets["s1"].targets[0].adminDown = true;
  touchConfiguration();
  upstream_->upstreamRun();
  EXPECT_EQ(sessionCount(), 0u);
  EXPECT_EQ(FakeSMSC::read(fd).header.command_id, command::kUnbind);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessionsBound"), 0);
  clock_.advanceSeconds(100);
  upstream_->upstreamRun();
  EXPECT_EQ(sessionCount(), 0u);
  config_.confSharedTargetSets["s1"].targets[0].adminDown = false;
  touchConfiguration();
  clock_.advanceSeconds(1); // past the pacing of connection passes
  ASSERT_GE(bind(id), 0);
}

// A name goes to the resolver's thread; the loop connects when it answers.
TEST_F(ConnectionTest, AHostNameIsResolvedOffTheLoopThenConnected) {
  ConfTarget target = makeTarget("A", smsc_.port(), 1, 1);
  target.host = "localhost";
  addSet("s1", {target});
  upstream_->initialise();
  const uint64_t id = smscId("A", 0, false);
  ASSERT_TRUE(runUntil([&] { return sessionCount() == 1; }));
  ASSERT_GE(smsc_.accept(), 0);
  EXPECT_TRUE(runUntil([&] { return bindStateOf(id) == smpp::kBindRequested; }));
}

TEST_F(ConnectionTest, EnquireLinkAfterSilenceThenUnbindThenClose) {
  const uint64_t id = configure(smsc_.port());
  const int fd = bind(id);
  ASSERT_GE(fd, 0);
  clock_.advanceSeconds(61);
  upstream_->upstreamRun();
  EXPECT_EQ(FakeSMSC::read(fd).header.command_id, command::kEnquireLink);
  clock_.advanceSeconds(61);
  upstream_->upstreamRun();
  EXPECT_EQ(FakeSMSC::read(fd).header.command_id, command::kUnbind);
  clock_.advanceSeconds(6);
  upstream_->upstreamRun();
  EXPECT_EQ(sessionCount(), 0u);
}

TEST_F(ConnectionTest, SmscRequestsAreAnsweredAndSplitOrJoinedPdusAreRead) {
  const uint64_t id = configure(smsc_.port());
  const int fd = bind(id);
  ASSERT_GE(fd, 0);
  const std::vector<uint8_t> first = PduBuilder().frame(command::kEnquireLink, 7);
  FakeSMSC::write(fd, std::vector<uint8_t>(first.begin(), first.begin() + 10));
  upstream_->upstreamRun();
  std::vector<uint8_t> rest(first.begin() + 10, first.end());
  const std::vector<uint8_t> second = PduBuilder().frame(command::kUnbind, 8);
  rest.insert(rest.end(), second.begin(), second.end());
  FakeSMSC::write(fd, rest);
  runUntil([] { return false; }, 5);
  const Frame a = FakeSMSC::read(fd);
  const Frame b = FakeSMSC::read(fd);
  EXPECT_EQ(a.header.command_id, command::kEnquireLinkResp);
  EXPECT_EQ(a.header.sequence_number, 7u);
  EXPECT_EQ(b.header.command_id, command::kUnbindResp);
  EXPECT_EQ(b.header.sequence_number, 8u);
  // After its unbind the session waits for the SMSC to close.
  EXPECT_EQ(sessionCount(), 1u);
  smsc_.close(fd);
  ASSERT_TRUE(runUntil([&] { return sessionCount() == 0; }));
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessions"), 0);
  // Reconnected after the 3 s back-off.
  clock_.advanceSeconds(3);
  ASSERT_GE(bind(id), 0);
}

TEST_F(ConnectionTest, OversizedPduKillsTheSession) {
  const uint64_t id = configure(smsc_.port());
  const int fd = bind(id);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> frame = PduBuilder().frame(command::kEnquireLink, 1);
  smpp::PDUHeader{70000, command::kEnquireLink, 0, 1}.encode(frame.data());
  FakeSMSC::write(fd, frame);
  ASSERT_TRUE(runUntil([&] { return sessionCount() == 0; }));
}

} // namespace
} // namespace quorvex::upstream::test
