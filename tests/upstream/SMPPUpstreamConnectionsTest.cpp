// The connection manager against a minimal SMSC on a loopback socket: the
// iteration is driven by hand and timers run on a hand-moved clock.
#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {

using ConnectionTest = LoopbackSmscTest;

TEST_F(ConnectionTest, BindsWithTheSlotsCredentialsThenProbesASilentSmscUnbindsAndCloses) {
  configure();
  ASSERT_TRUE(bind());
  EXPECT_EQ(
      bindRequest_.body,
      (PduBuilder().cstr("gw").cstr("pw").cstr("").octet(0x34).octet(0).octet(0).cstr("").body()));
  EXPECT_EQ(sessions(), std::vector<int>{smpp::kBoundTransceiver});
  EXPECT_EQ(upstream_.boundSessionCount(), 1u);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessionsBound"), 1);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessions"), 1);
  EXPECT_EQ(registry_.counterValue("smppUpstreamBindAttempt{result=\"success\"}"), 1u);
  after(61);
  EXPECT_EQ(read().header.command_id, command::kEnquireLink);
  after(61);
  EXPECT_EQ(read().header.command_id, command::kUnbind);
  after(6);
  EXPECT_TRUE(sessions().empty());
}

// A name goes to the resolver's thread; the loop connects when it answers.
TEST_F(ConnectionTest, HostNameIsResolvedOffTheLoopAndReceiveOnlyBindsAsReceiver) {
  ConfTarget target = makeTarget("A", smscPort_, 1, 1);
  target.host = "localhost";
  target.useRxOnly = true;
  configure(target);
  ASSERT_TRUE(bind(command::kBindReceiver));
  EXPECT_EQ(sessions(), std::vector<int>{smpp::kBoundReceiver});
}

TEST_F(ConnectionTest, DownSmscIsRetriedOnTheBackOffLadder) {
  configure(makeTarget("A", quorvex::test::freePort(), 1, 1));
  std::vector<uint64_t> delays;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const uint64_t before = slot(id_).attempts;
    ASSERT_TRUE(runUntil([&] { return slot(id_).attempts > before && !slot(id_).sessionActive; }));
    delays.push_back((slot(id_).nextAttempt - clock_.now) / 1000000ULL);
    clock_.now = slot(id_).nextAttempt;
  }
  EXPECT_EQ(delays, (std::vector<uint64_t>{3, 10, 15, 15, 30, 45, 45, 45}));
  EXPECT_TRUE(sessions().empty());
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessions"), 0);
}

TEST_F(ConnectionTest, RefusedBindIsRetriedAfterThreeSecondsAndUnansweredDroppedAfterThirty) {
  configure();
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(connectAndReadBind());
    write(
        PduBuilder().frame(command::kBindTransceiverResp, bindRequest_.header.sequence_number, 13));
    ASSERT_TRUE(runUntil([&] { return sessions().empty(); }));
    // The TCP connect reset the ladder: the next attempt waits 3 s.
    EXPECT_EQ(slot(id_).nextAttempt - clock_.now, 3000000u);
    clock_.now = slot(id_).nextAttempt;
  }
  EXPECT_EQ(registry_.counterValue("smppUpstreamBindAttempt{result=\"fail\"}"), 2u);
  ASSERT_TRUE(connectAndReadBind());
  after(29);
  EXPECT_EQ(sessions().size(), 1u);
  after(2);
  EXPECT_TRUE(sessions().empty());
  EXPECT_FALSE(slot(id_).sessionActive);
}

TEST_F(ConnectionTest, AdminDownUnbindsAndClosesAndOpensNothingUntilCleared) {
  configure();
  ASSERT_TRUE(bind());
  target().adminDown = true;
  config_.configChangeStamp.store(++clock_.now); // as admin operations do
  upstream_.upstreamRun();
  EXPECT_TRUE(sessions().empty());
  EXPECT_EQ(read().header.command_id, command::kUnbind);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessionsBound"), 0);
  after(100);
  EXPECT_TRUE(sessions().empty());
  target().adminDown = false;
  config_.configChangeStamp.store(++clock_.now);
  clock_.advanceSeconds(1); // past the pacing of connection passes
  ASSERT_TRUE(bind());
}

TEST_F(ConnectionTest, SmscRequestsAreAnsweredSplitOrJoinedAndOversizedPdusEndTheSession) {
  configure();
  ASSERT_TRUE(bind());
  const std::vector<uint8_t> first = PduBuilder().frame(command::kEnquireLink, 7);
  write(std::vector<uint8_t>(first.begin(), first.begin() + 10));
  upstream_.upstreamRun();
  std::vector<uint8_t> rest(first.begin() + 10, first.end());
  const std::vector<uint8_t> second = PduBuilder().frame(command::kUnbind, 8);
  rest.insert(rest.end(), second.begin(), second.end());
  write(rest);
  run(5);
  EXPECT_EQ(head(read()), std::pair(command::kEnquireLinkResp, 7u));
  EXPECT_EQ(head(read()), std::pair(command::kUnbindResp, 8u));
  // After its unbind the session waits for the SMSC to close.
  EXPECT_EQ(sessions().size(), 1u);
  ::shutdown(fd_, SHUT_RDWR);
  ASSERT_TRUE(runUntil([&] { return sessions().empty(); }));
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessions"), 0);
  // Reconnected after the 3 s back-off.
  clock_.advanceSeconds(3);
  ASSERT_TRUE(bind());
  std::vector<uint8_t> oversized = PduBuilder().frame(command::kEnquireLink, 1);
  smpp::PDUHeader{70000, command::kEnquireLink, 0, 1}.encode(oversized.data());
  write(oversized);
  ASSERT_TRUE(runUntil([&] { return sessions().empty(); }));
}

} // namespace quorvex::upstream::test
